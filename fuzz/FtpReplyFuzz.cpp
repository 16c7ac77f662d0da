// Bytes on an FTP control connection: replies read one after another as the source reads them,
// each never longer than what was given nor than the bound, and the answers to PASV, EPSV and
// SIZE read from every reply's text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/sources/FtpReply.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  auto left = static_cast<int64_t>(size);
  while (left > 0) {
    bw::FtpReply reply;
    const int64_t length = bw::ParseFtpReply(text, left, &reply);
    Check(length >= bw::kFtpReplyMalformed && length <= left && length <= bw::kMaxFtpReplySize);
    if (length <= 0) break;
    Check(reply.code >= 100 && reply.code <= 599);
    Check(static_cast<int64_t>(reply.text.size()) < length);
    uint32_t ip = 0;
    int32_t port = 0;
    if (bw::ParsePasvReply(reply.text, &ip, &port)) Check(port >= 1 && port <= 65535);
    if (bw::ParseEpsvReply(reply.text, &port)) Check(port >= 1 && port <= 65535);
    Check(bw::ParseSizeReply(reply.text) >= -1);
    text += length;
    left -= length;
  }
  // The answer readers take any text, not only what a reply carries.
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  int32_t port = 0;
  bw::ParsePasvReply(all, nullptr, &port);
  bw::ParseEpsvReply(all, &port);
  bw::ParseSizeReply(all);
  return 0;
}
