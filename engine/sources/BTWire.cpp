#include "engine/sources/BTWire.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace bw::btwire {

uint32_t ReadU32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | uint32_t{at[3]};
}

void WriteU32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

void AppendU32(std::string& out, uint32_t value) {
  uint8_t bytes[4];
  WriteU32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), 4);
}

size_t WritePieceHeader(uint8_t* at, uint32_t index, uint32_t begin, uint32_t length) {
  WriteU32(at, 9 + length);
  at[4] = static_cast<uint8_t>(kPiece);
  WriteU32(at + 5, index);
  WriteU32(at + 9, begin);
  return kPieceHeaderSize;
}

void AppendHeader(std::string& out, MessageId id, uint32_t payloadSize) {
  AppendU32(out, payloadSize + 1);
  out.push_back(static_cast<char>(id));
}

void AppendBlockMessage(std::string& out, MessageId id, uint32_t index, uint32_t begin, uint32_t length) {
  AppendHeader(out, id, 12);
  AppendU32(out, index);
  AppendU32(out, begin);
  AppendU32(out, length);
}

Parse ParseMessage(const uint8_t* data, size_t len, uint32_t maxLength, Message* out, size_t* consumed) {
  if (len < 4) return Parse::kNeedMore;
  const uint32_t length = ReadU32(data);
  if (length == 0) {
    *out = Message{};
    *consumed = 4;
    return Parse::kMessage;
  }
  if (length > maxLength) return Parse::kError;
  if (len - 4 < length) return Parse::kNeedMore;
  out->id = data[4];
  out->payload = data + 5;
  out->size = length - 1;
  *consumed = 4 + size_t{length};
  return Parse::kMessage;
}

int64_t DisguiseLength(const uint8_t* data, size_t len) {
  const std::string_view held(reinterpret_cast<const char*>(data), len);
  for (std::string_view prefix : {"HTTP", "POST", "GET"}) {
    if (held.empty()) return -1;
    if (held.front() != prefix.front()) continue;
    if (held.size() < prefix.size()) return -1;
    if (held.substr(0, prefix.size()) != prefix) return 0;
    const std::string_view window = held.substr(0, kDisguiseMax + prefix.size());
    // The first blank line ends it, whichever way its lines end.
    const size_t crlf = window.find("\r\n\r\n");
    const size_t lf = window.find("\n\n");
    const size_t end = std::min(crlf == std::string_view::npos ? crlf : crlf + 4, lf == std::string_view::npos ? lf : lf + 2);
    if (end != std::string_view::npos) return static_cast<int64_t>(end);
    // A header that does not end within the window is no disguise: the handshake check refuses it.
    return window.size() == kDisguiseMax + prefix.size() ? 0 : -1;
  }
  return 0;
}

std::string RequestDisguise(uint32_t ip, int port, bool withUserAgent) {
  uint8_t b[4];
  std::memcpy(b, &ip, 4);
  std::string text = "GET / HTTP/1.0\r\n";
  if (withUserAgent) text += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
  text += "Host: " + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
          std::to_string(b[3]) + ":" + std::to_string(port % 6881) + "\r\n\r\n";
  return text;
}

std::string ReplyDisguise(uint64_t clock) {
  const bool even = clock % 2 == 0;
  std::string text = "HTTP/1.0 200 OK\r\nConnection: ";
  text += even ? "Keep-Alive\r\nContent-Encoding: none\r\n" : "Close\r\n";
  return text + "\r\n";
}

bool NamesHash(const uint8_t* data, size_t len, const uint8_t* infoHash) {
  static constexpr char kProtocol[] = "BitTorrent protocol";
  return len >= kPeerIdAt && data[0] == 19 && std::memcmp(data + 1, kProtocol, 19) == 0 &&
         std::memcmp(data + kHashAt, infoHash, 20) == 0;
}

}  // namespace bw::btwire
