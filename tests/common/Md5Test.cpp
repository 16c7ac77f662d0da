#include "engine/common/Md5.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace bw {
namespace {

std::string Digest(Md5& md5) {
  uint8_t d[Md5::kDigestSize];
  md5.Final(d);
  return Md5::Hex(d);
}

TEST(Md5, KnownDigests) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      // RFC 1321 test suite
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // lengths around the padding boundary, and a long message
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : cases) {
    uint8_t d[Md5::kDigestSize];
    Md5::Hash(c.message.data(), c.message.size(), d);
    EXPECT_EQ(Md5::Hex(d), c.digest) << c.message.size() << " bytes";
  }
}

TEST(Md5, RandomSplitsMatchOneShot) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(20000);
  for (auto& b : data) b = uint8_t(rng());
  for (int round = 0; round < 40; ++round) {
    const size_t length = rng() % data.size();
    uint8_t whole[Md5::kDigestSize];
    Md5::Hash(data.data(), length, whole);

    Md5 md5;
    for (size_t at = 0; at < length;) {
      const size_t n = std::min<size_t>(rng() % 150, length - at);
      md5.Update(data.data() + at, n);
      at += n;
    }
    EXPECT_EQ(Digest(md5), Md5::Hex(whole)) << "length " << length;
  }
}

TEST(Md5, FinalStartsOver) {
  Md5 md5;
  md5.Update("message ", 8);
  md5.Update("digest", 6);
  EXPECT_EQ(Digest(md5), "f96b697d7cb7938d525a2f31aaf161d0");
  md5.Update("abc", 3);
  EXPECT_EQ(Digest(md5), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace bw
