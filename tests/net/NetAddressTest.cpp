#include "engine/net/NetAddress.h"

#include <gtest/gtest.h>

#include "tests/net/FakeResolver.h"

namespace bw {
namespace {

using test::FakeResolver;
using test::Ip;

TEST(IsNonPublicAddress, Table) {
  struct Case {
    uint32_t ip;
    bool nonPublic;
  } cases[] = {
      {Ip(0, 1, 2, 3), true},        {Ip(5, 1, 2, 3), true},         {Ip(6, 255, 255, 255), true},
      {Ip(7, 0, 0, 1), false},       {Ip(10, 9, 8, 7), true},        {Ip(11, 0, 0, 1), false},
      {Ip(127, 0, 1, 1), true},      {Ip(172, 15, 255, 255), false}, {Ip(172, 16, 0, 0), true},
      {Ip(172, 31, 255, 255), true}, {Ip(172, 32, 0, 1), false},     {Ip(192, 168, 0, 1), true},
      {Ip(192, 169, 0, 1), false},   {Ip(169, 254, 3, 4), true},     {Ip(169, 253, 3, 4), false},
      {Ip(8, 8, 8, 8), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNonPublicAddress(c.ip), c.nonPublic) << DottedQuadText(c.ip);
  }
}

TEST(DottedQuad, StrictParseAndText) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t ip;
  } cases[] = {
      {"1.2.3.4", true, Ip(1, 2, 3, 4)},   {"255.255.255.255", true, 0xFFFFFFFFu},
      {"0.0.0.0", true, 0},                {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},             {"256.1.1.1", false, 0},
      {"1.2.3.4x", false, 0},              {"1..3.4", false, 0},
      {"", false, 0},                      {"01234.1.1.1", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t ip = 0;
    EXPECT_EQ(ParseDottedQuad(c.text, &ip), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ip, c.ip) << c.text;
    }
  }
  EXPECT_EQ(DottedQuadText(Ip(192, 168, 10, 254)), "192.168.10.254");
}

class ResolveHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearFailedHosts(); }
  void TearDown() override { ClearFailedHosts(); }
  FakeResolver resolver;
};

TEST_F(ResolveHostTest, DottedQuadNeedsNoLookup) {
  EXPECT_EQ(ResolveHost("10.1.2.3"), Ip(10, 1, 2, 3));
  EXPECT_EQ(ResolveHost(""), kNoAddress);
  EXPECT_EQ(resolver.Lookups("10.1.2.3"), 0);
}

TEST_F(ResolveHostTest, NameStartingWithDigitIsStillLookedUp) {
  resolver.Set("1example.test", {0, {Ip(9, 9, 9, 9), Ip(9, 9, 9, 10)}});
  EXPECT_EQ(ResolveHost("1example.test"), Ip(9, 9, 9, 9));
  EXPECT_EQ(resolver.Lookups("1example.test"), 1);
}

TEST_F(ResolveHostTest, NotFoundIsRememberedUntilCleared) {
  resolver.Set("gone.test", {platform::kWsaHostNotFound, {}});
  EXPECT_EQ(ResolveHost("gone.test"), kNoAddress);
  EXPECT_EQ(ResolveHost("gone.test"), kNoAddress);
  EXPECT_EQ(resolver.Lookups("gone.test"), 1);
  ClearFailedHosts();
  resolver.Set("gone.test", {0, {Ip(1, 2, 3, 4)}});
  EXPECT_EQ(ResolveHost("gone.test"), Ip(1, 2, 3, 4));
  EXPECT_EQ(resolver.Lookups("gone.test"), 2);
}

TEST_F(ResolveHostTest, OtherFailuresAreAskedAgain) {
  resolver.Set("flaky.test", {platform::kWsaTryAgain, {}});
  EXPECT_EQ(ResolveHost("flaky.test"), kNoAddress);
  EXPECT_EQ(ResolveHost("flaky.test"), kNoAddress);
  EXPECT_EQ(resolver.Lookups("flaky.test"), 2);
}

TEST_F(ResolveHostTest, NamesAddedFromOutsideAreFailedAtOnce) {
  AddFailedHost("listed.test");
  EXPECT_EQ(ResolveHost("listed.test"), kNoAddress);
  EXPECT_EQ(resolver.Lookups("listed.test"), 0);
}

TEST(ChooseLocalAddress, PrefersPublicUnlessLastIsPublic) {
  const uint32_t lan = Ip(192, 168, 1, 5), lan2 = Ip(10, 0, 0, 2);
  const uint32_t pub = Ip(8, 8, 4, 4), pub2 = Ip(9, 9, 9, 9);
  struct Case {
    std::vector<uint32_t> list;
    int limit;
    uint32_t expected;
  } cases[] = {
      {{}, -1, kNoAddress},
      {{lan}, -1, lan},
      {{pub, lan}, -1, pub},
      {{lan, pub}, -1, pub},
      {{pub, pub2, lan}, -1, pub2},
      {{pub, lan, pub2}, -1, pub2},
      {{lan, lan2}, -1, lan2},
      {{lan, pub, lan2}, 0, lan},  // only limit + 1 entries count
      {{lan, lan2, pub}, 1, lan2},
      {{lan, pub, lan2}, 5, pub},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseLocalAddress(c.list, c.limit), c.expected) << c.list.size() << " " << c.limit;
  }
}

TEST(PickLocalAddress, NeverAnswersLoopback) {
  const uint32_t ip = PickLocalAddress();
  EXPECT_NE(NetToHost32(ip) >> 24, 127u);
}

}  // namespace
}  // namespace bw
