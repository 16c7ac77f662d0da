#include "tools/bwpack/FileDigests.h"

#include <fstream>
#include <memory>
#include <openssl/evp.h>
#include <vector>

namespace bwpack {
namespace {

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Context NewContext(const EVP_MD* kind) {
  Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (context && EVP_DigestInit_ex(context.get(), kind, nullptr) != 1) context.reset();
  return context;
}

std::string Finish(EVP_MD_CTX* context) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  return std::string(reinterpret_cast<char*>(digest), length);
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace

bool DigestFile(const std::string& path, uint64_t pieceLength, FileDigests* out) {
  std::ifstream in(path, std::ios::binary);
  Context md5 = NewContext(EVP_md5());
  Context sha1 = NewContext(EVP_sha1());
  if (!in || !md5 || !sha1 || pieceLength == 0) return false;
  FileDigests digests;
  std::vector<char> buffer(1 << 20);
  uint64_t inPiece = 0;
  for (;;) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<uint64_t>(in.gcount());
    if (got == 0) break;
    EVP_DigestUpdate(md5.get(), buffer.data(), got);
    for (uint64_t used = 0; used < got;) {
      const uint64_t take = std::min(got - used, pieceLength - inPiece);
      EVP_DigestUpdate(sha1.get(), buffer.data() + used, take);
      used += take;
      inPiece += take;
      if (inPiece == pieceLength) {
        digests.pieceHashes += Finish(sha1.get());
        EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr);
        inPiece = 0;
      }
    }
    digests.size += got;
  }
  if (in.bad()) return false;
  if (inPiece > 0) digests.pieceHashes += Finish(sha1.get());
  digests.md5Hex = Hex(Finish(md5.get()));
  *out = std::move(digests);
  return true;
}

}  // namespace bwpack
