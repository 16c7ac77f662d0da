#include "engine/storage/CodePageText.h"

#include "platform/CodePage.h"

namespace bw {
namespace {

bool IsPlainAscii(std::string_view bytes) {
  for (const char c : bytes) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

std::string Convert(std::string_view in, int32_t from, int32_t to, int32_t codePage) {
  if (codePage == 0 || IsPlainAscii(in)) return std::string(in);
  std::string out;
  platform::ConvertCodePage(in, from, to, out);
  return out;
}

}  // namespace

std::string TextFromCodePage(std::string_view bytes, int32_t codePage) {
  return Convert(bytes, codePage, 0, codePage);
}

std::string TextToCodePage(std::string_view text, int32_t codePage) {
  return Convert(text, 0, codePage, codePage);
}

}  // namespace bw
