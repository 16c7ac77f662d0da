#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bw::btwire {

enum MessageId : int32_t {
  kKeepAlive = -1,
  kChoke = 0,
  kUnchoke = 1,
  kInterested = 2,
  kNotInterested = 3,
  kHave = 4,
  kBitfield = 5,
  kRequest = 6,
  kPiece = 7,
  kCancel = 8,
};

constexpr size_t kHandshakeSize = 68;
constexpr size_t kHashAt = 28;
constexpr size_t kPeerIdAt = 48;
constexpr int32_t kBlock = 16384;
// A piece message carrying one whole block: id, index, begin and the block.
constexpr uint32_t kPieceMessageMax = 9 + kBlock;
// Length, id, index and begin.
constexpr size_t kPieceHeaderSize = 13;
// How far the search for the end of a disguising HTTP header goes.
constexpr size_t kDisguiseMax = 1024;

struct Message {
  int32_t id = kKeepAlive;
  const uint8_t* payload = nullptr;
  uint32_t size = 0;
};

enum class Parse { kNeedMore, kMessage, kError };

// One message from the front of data. maxLength bounds the length field (id and payload): a
// longer one is an error, so a peer cannot make us hold more than that.
Parse ParseMessage(const uint8_t* data, size_t len, uint32_t maxLength, Message* out, size_t* consumed);

// The bytes of an HTTP header ("GET", "POST" or "HTTP" up to its blank line) that a remote side
// sent before its handshake; 0 when there is none, -1 while more bytes are needed.
int64_t DisguiseLength(const uint8_t* data, size_t len);

// The HTTP request a dialling side may put before its handshake: to a.b.c.d (network order) and
// the remote port, with a browser's User-Agent line when asked.
std::string RequestDisguise(uint32_t ip, int port, bool withUserAgent);
// The answer to a disguised request, varied by the engine clock.
std::string ReplyDisguise(uint64_t clock);

// The 19-byte protocol text, the info hash, both present in at least 48 bytes.
bool NamesHash(const uint8_t* data, size_t len, const uint8_t* infoHash);

uint32_t ReadU32(const uint8_t* at);
void WriteU32(uint8_t* at, uint32_t value);
void AppendU32(std::string& out, uint32_t value);
// The header of a piece message whose block of `length` bytes follows it; returns its size.
size_t WritePieceHeader(uint8_t* at, uint32_t index, uint32_t begin, uint32_t length);
// Length prefix and id of a message with payloadSize bytes after its id.
void AppendHeader(std::string& out, MessageId id, uint32_t payloadSize);
// request and cancel: index, begin, length.
void AppendBlockMessage(std::string& out, MessageId id, uint32_t index, uint32_t begin, uint32_t length);

}  // namespace bw::btwire
