#include "engine/common/Sha1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace bw {
namespace {

using Engine = Sha1::Engine;
using State = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
  return s;
}

std::string Digest(Sha1& sha) {
  uint8_t d[Sha1::kDigestSize];
  EXPECT_EQ(sha.Result(d), Sha1::kSuccess);
  return Hex(d, sizeof d);
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

State Export(const Sha1& sha) {
  State s(Sha1::kStateSize);
  sha.ExportState(s.data());
  return s;
}

void PutLe32(State& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = uint8_t(v >> (8 * i));
}

// Every behaviour runs on both compression paths; the SHA-extension one only where present.
class Sha1Paths : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::kShaNi && !Sha1::HasShaExtensions())
      GTEST_SKIP() << "CPU without SHA extensions";
  }
  Sha1 Make() const { return Sha1(GetParam()); }
};

TEST_P(Sha1Paths, KnownDigests) {
  const std::string sevenSixtyFour = [] {
    std::string s;
    for (int i = 0; i < 80; ++i) s += "01234567";
    return s;
  }();
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {sevenSixtyFour, "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
      // lengths around the padding boundary
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
      {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
  };
  for (const auto& c : cases) {
    Sha1 sha = Make();
    ASSERT_EQ(sha.Input(c.message.data(), c.message.size()), Sha1::kSuccess);
    EXPECT_EQ(Digest(sha), c.digest) << c.message.size() << " bytes";
  }
  // The million "a" fed one byte at a time, as in the RFC's test driver.
  Sha1 sha = Make();
  for (int i = 0; i < 1000000; ++i) sha.Input("a", 1);
  EXPECT_EQ(Digest(sha), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1Paths, RandomSplitsMatchOneShotAndOtherPath) {
  const std::vector<uint8_t> data = RandomBytes(20000, 1);
  std::mt19937 rng(2);
  for (int round = 0; round < 40; ++round) {
    const size_t length = rng() % data.size();
    Sha1 whole(Engine::kPortable);
    whole.Input(data.data(), length);
    const std::string expected = Digest(whole);

    Sha1 pieces = Make();
    for (size_t at = 0; at < length;) {
      const size_t n = std::min<size_t>(rng() % 150, length - at);
      ASSERT_EQ(pieces.Input(data.data() + at, n), Sha1::kSuccess);
      at += n;
    }
    EXPECT_EQ(pieces.InputBytes(), length);
    EXPECT_EQ(Digest(pieces), expected) << "length " << length;
  }
}

TEST_P(Sha1Paths, ExportedStateResumesInFreshObject) {
  const std::vector<uint8_t> data = RandomBytes(5000, 3);
  Sha1 reference = Make();
  reference.Input(data.data(), data.size());
  const std::string expected = Digest(reference);

  for (size_t stop : {0, 1, 3, 55, 56, 63, 64, 65, 127, 1000, 4097, 4999}) {
    Sha1 before = Make();
    before.Input(data.data(), stop);
    const State state = Export(before);

    // The state carries over between paths as well.
    for (Engine engine : {Engine::kPortable, GetParam()}) {
      Sha1 after(engine);
      ASSERT_TRUE(after.ImportState(state.data(), state.size())) << "stop " << stop;
      EXPECT_EQ(after.InputBytes(), stop);
      after.Input(data.data() + stop, data.size() - stop);
      EXPECT_EQ(Digest(after), expected) << "stop " << stop;
    }
  }
}

TEST_P(Sha1Paths, FinishedStateRefusesInput) {
  Sha1 sha = Make();
  sha.Input("abc", 3);
  EXPECT_EQ(Digest(sha), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest(sha), "a9993e364706816aba3e25717850c26c9cd0d89d");  // once computed, stays
  EXPECT_EQ(sha.Input("d", 1), Sha1::kStateError);
  uint8_t d[Sha1::kDigestSize];
  EXPECT_EQ(sha.Result(d), Sha1::kStateError);  // the misuse marks the state
  sha.Reset();
  sha.Input("abc", 3);
  EXPECT_EQ(Digest(sha), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1Paths, ::testing::Values(Engine::kPortable, Engine::kShaNi),
                         [](const auto& info) {
                           return info.param == Engine::kPortable ? "Portable" : "ShaNi";
                         });

TEST(Sha1State, LayoutIsLittleEndianRunningContext) {
  Sha1 sha;
  const std::vector<uint8_t> data = RandomBytes(67, 4);
  sha.Input(data.data(), data.size());
  const State s = Export(sha);

  EXPECT_EQ(s[20], 67 * 8 % 256);  // bit length, low word
  EXPECT_EQ(s[21], 67 * 8 / 256);
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 22, s.begin() + 28), std::vector<uint8_t>(6, 0));
  EXPECT_EQ(s[28], 3);  // block index, then two zero bytes
  EXPECT_EQ(s[29], 0);
  EXPECT_EQ(s[30], 0);
  EXPECT_EQ(s[31], 0);
  EXPECT_EQ(std::memcmp(s.data() + 32, data.data() + 64, 3), 0);  // block starts with the tail
  EXPECT_EQ(std::vector<uint8_t>(s.begin() + 96, s.end()), std::vector<uint8_t>(8, 0));

  Sha1 fresh;
  const State initial = Export(fresh);
  const State words = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC,
                       0xBA, 0x98, 0x76, 0x54, 0x32, 0x10, 0xF0, 0xE1, 0xD2, 0xC3};
  EXPECT_EQ(State(initial.begin(), initial.begin() + 20), words);

  uint8_t d[Sha1::kDigestSize];
  sha.Result(d);
  const State done = Export(sha);
  EXPECT_EQ(done[96], 1);  // computed flag
}

TEST(Sha1State, LengthHighWordRoundTrips) {
  Sha1 start;
  State s = Export(start);
  PutLe32(s, 20, 5 * 8);  // 2^32 bits + 5 bytes: the block index must be 5
  PutLe32(s, 24, 1);
  s[28] = 5;
  Sha1 sha;
  ASSERT_TRUE(sha.ImportState(s.data(), s.size()));
  EXPECT_EQ(sha.InputBytes(), (uint64_t(1) << 29) + 5);
  EXPECT_EQ(Export(sha), s);
}

TEST(Sha1State, RejectsMalformedStateAndKeepsOwn) {
  Sha1 source;
  source.Input("hello world", 11);
  const State good = Export(source);

  const struct {
    const char* what;
    size_t at;
    uint32_t value;
  } cases[] = {
      {"index at block end", 28, 64},
      {"index far past block", 28, 0xFFFF},
      {"index disagrees with length", 28, 10},
      {"length not whole bytes", 20, 11 * 8 + 3},
      {"length disagrees with index", 20, (11 + 64 + 1) * 8},
      {"computed flag", 96, 1},
      {"corruption code", 100, Sha1::kStateError},
  };
  for (const auto& c : cases) {
    State bad = good;
    if (c.at == 28) {
      bad[28] = uint8_t(c.value);
      bad[29] = uint8_t(c.value >> 8);
    } else {
      PutLe32(bad, c.at, c.value);
    }
    Sha1 sha;
    sha.Input("abc", 3);
    EXPECT_FALSE(sha.ImportState(bad.data(), bad.size())) << c.what;
    // A refused state changes nothing; feeding more never touches memory outside the block.
    sha.Input(std::string(200, 'x').data(), 200);
    Sha1 plain;
    plain.Input(("abc" + std::string(200, 'x')).data(), 203);
    EXPECT_EQ(Digest(sha), Digest(plain)) << c.what;
  }
  Sha1 sha;
  EXPECT_FALSE(sha.ImportState(good.data(), Sha1::kStateSize - 1));
  EXPECT_FALSE(sha.ImportState(nullptr, Sha1::kStateSize));
  // A longer value is accepted: only its first 104 bytes are the state.
  State longer = good;
  longer.resize(200, 0xEE);
  EXPECT_TRUE(sha.ImportState(longer.data(), longer.size()));
  EXPECT_EQ(Export(sha), good);
}

TEST(Sha1Errors, NullAndTooLongInput) {
  Sha1 sha;
  EXPECT_EQ(sha.Input(nullptr, 0), Sha1::kSuccess);
  EXPECT_EQ(sha.Input(nullptr, 1), Sha1::kNull);
  EXPECT_EQ(sha.Result(nullptr), Sha1::kNull);

  // A running state 512 bits short of the 2^64-bit limit.
  State s = Export(sha);
  PutLe32(s, 20, 0xFFFFFE00);
  PutLe32(s, 24, 0xFFFFFFFF);
  ASSERT_TRUE(sha.ImportState(s.data(), s.size()));
  const std::string block(64, 'z');
  EXPECT_EQ(sha.Input(block.data(), 63), Sha1::kSuccess);
  EXPECT_EQ(sha.Input(block.data(), 1), Sha1::kInputTooLong);
  EXPECT_EQ(sha.Input("a", 0), Sha1::kSuccess);
  EXPECT_EQ(sha.Input(block.data(), 1), Sha1::kInputTooLong);
  uint8_t d[Sha1::kDigestSize];
  EXPECT_EQ(sha.Result(d), Sha1::kInputTooLong);
  const State marked = Export(sha);
  EXPECT_EQ(marked[100], Sha1::kInputTooLong);
  Sha1 other;
  EXPECT_FALSE(other.ImportState(marked.data(), marked.size()));
}

}  // namespace
}  // namespace bw
