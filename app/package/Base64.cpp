#include "app/package/Base64.h"

#include <cstdint>

namespace bw::app {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (n > 2) group |= static_cast<uint8_t>(bytes[i + 2]);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    text += n > 2 ? kAlphabet[group & 63] : '=';
  }
  return text;
}

std::string DecodeBase64(std::string_view text, size_t maxBytes) {
  if (text.size() % 4 != 0) return {};
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 4) {
    const int a = SextetOf(text[i]);
    const int b = SextetOf(text[i + 1]);
    const bool twoPadded = text[i + 2] == '=';
    const bool onePadded = text[i + 3] == '=';
    const int c = twoPadded ? 0 : SextetOf(text[i + 2]);
    const int d = onePadded ? 0 : SextetOf(text[i + 3]);
    if (a < 0 || b < 0 || c < 0 || d < 0 || (twoPadded && !onePadded)) return {};
    const uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
    const size_t count = twoPadded ? 1 : onePadded ? 2 : 3;
    for (size_t k = 0; k < count && bytes.size() < maxBytes; ++k) bytes += static_cast<char>(group >> (16 - 8 * k));
    if (count < 3) break;
  }
  return bytes;
}

}  // namespace bw::app
