#include "reporting/FormEncoding.h"

namespace bw {

std::string EncodeSubmission(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string body = "data=";
  body.reserve(body.size() + text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')) {
      body += c;
    } else if (byte == ' ') {
      body += '_';
    } else {
      body += '%';
      body += kHex[byte >> 4];
      body += kHex[byte & 0xF];
    }
  }
  return body;
}

}  // namespace bw
