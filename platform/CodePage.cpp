#include "platform/CodePage.h"

#include <iconv.h>

#include <cerrno>

namespace platform {
namespace {

std::string IconvName(int32_t codePage) {
  switch (codePage) {
    case 0:
    case 65001:
      return "UTF-8";
    case 936:
      return "CP936";  // GBK with the Windows additions
    default:
      return "CP" + std::to_string(codePage);
  }
}

}  // namespace

bool ConvertCodePage(std::string_view in, int32_t fromCodePage, int32_t toCodePage,
                     std::string& out) {
  out.clear();
  if (fromCodePage < 0 || toCodePage < 0) return false;
  iconv_t cd = iconv_open(IconvName(toCodePage).c_str(), IconvName(fromCodePage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;

  // iconv wants a mutable input pointer but never writes through it.
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  out.resize(in.size() * 2 + 16);
  size_t done = 0;
  bool ok = true;
  bool flushing = srcLeft == 0;
  for (;;) {
    char* dst = out.data() + done;
    size_t dstLeft = out.size() - done;
    // After the input, a call without input writes any pending shift sequence.
    const size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                              : iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    done = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) {
      if (flushing) break;
      flushing = true;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;  // EILSEQ or EINVAL: invalid or truncated input
      break;
    }
    out.resize(out.size() * 2);
  }
  iconv_close(cd);
  if (ok) {
    out.resize(done);
  } else {
    out.clear();
  }
  return ok;
}

}  // namespace platform
