#include "engine/sources/HostResolution.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "engine/net/NetAddress.h"
#include "tests/sources/TestResolver.h"

namespace bw {
namespace {

using test::Ip;
using Clock = std::chrono::steady_clock;

test::FakeResolver& Resolver() { return test::TestResolver(); }

struct Events {
  std::mutex lock;
  std::vector<std::string> texts;
} gEvents;

void Record(const char* code, const char* message, int) {
  std::lock_guard<std::mutex> g(gEvents.lock);
  gEvents.texts.push_back(std::string(code) + " " + message);
}

class HostResolutionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Resolver().Set("ok.test", {0, {Ip(10, 0, 0, 1)}});
    std::vector<uint32_t> list;
    ASSERT_EQ(ResolveHostList("ok.test", list, 1000), 1);  // a success re-arms the report
    previous_ = SetEventReporter(Record);
    std::lock_guard<std::mutex> g(gEvents.lock);
    gEvents.texts.clear();
  }
  void TearDown() override {
    SetEventReporter(previous_);
    ClearFailedHosts();
  }
  std::vector<std::string> Reported() {
    std::lock_guard<std::mutex> g(gEvents.lock);
    return gEvents.texts;
  }

  EventReporter previous_ = nullptr;
};

TEST(ReadDottedQuad, Table) {
  struct Case {
    const char* text;
    uint32_t ip;
  } cases[] = {
      {"1.2.3.4", Ip(1, 2, 3, 4)},   {"1.2.3", Ip(1, 2, 3, 0)},      {"10", Ip(10, 0, 0, 0)},
      {"0.0.0.0", kNoAddress},       {"", kNoAddress},               {"0.256.0.1", Ip(1, 0, 0, 1)},
      {"1.2.3.4.5", Ip(1, 2, 3, 4)}, {"0x7f.0.0.1", Ip(127, 0, 0, 1)}, {"1..3.4", Ip(1, 0, 3, 4)},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadDottedQuad(c.text), c.ip) << c.text;
}

TEST_F(HostResolutionTest, DottedQuadsNeedNoLookup) {
  std::vector<uint32_t> list{Ip(9, 9, 9, 9)};
  EXPECT_EQ(ResolveHostList("", list), 0);
  EXPECT_EQ(ResolveHostList("0.0.0.0", list), 0);
  EXPECT_EQ(ResolveHostList("1.2.3", list), 1);
  EXPECT_EQ(list, (std::vector<uint32_t>{Ip(9, 9, 9, 9), Ip(1, 2, 3, 0)}));
  EXPECT_EQ(Resolver().Lookups("1.2.3"), 0);
}

TEST_F(HostResolutionTest, NamesAppendEveryValidAddressInResolverOrder) {
  Resolver().Set("multi.test", {0, {Ip(1, 1, 1, 1), 0, Ip(2, 2, 2, 2), kNoAddress, Ip(3, 3, 3, 3)}});
  std::vector<uint32_t> list;
  EXPECT_EQ(ResolveHostList("multi.test", list), 3);
  EXPECT_EQ(list, (std::vector<uint32_t>{Ip(1, 1, 1, 1), Ip(2, 2, 2, 2), Ip(3, 3, 3, 3)}));
  Resolver().Set("zero.test", {0, {0}});
  EXPECT_EQ(ResolveHostList("zero.test", list), 0);
}

TEST_F(HostResolutionTest, FailuresEnterTheFailedSetOnlyForMissingNames) {
  const std::pair<const char*, int> cases[] = {
      {"nx.test", platform::kWsaHostNotFound},
      {"nodata.test", platform::kWsaNoData},
      {"again.test", platform::kWsaTryAgain},
  };
  for (const auto& [host, error] : cases) {
    Resolver().Set(host, {error, {}});
    std::vector<uint32_t> list;
    EXPECT_EQ(ResolveHostList(host, list, 50), -1) << host;
    EXPECT_TRUE(list.empty());
    const int before = Resolver().Lookups(host);
    ResolveHost(host);  // the socket layer's lookup skips names in the set
    EXPECT_EQ(Resolver().Lookups(host) - before, error == platform::kWsaTryAgain ? 1 : 0) << host;
  }
}

TEST_F(HostResolutionTest, OneDiagnosticEventPerRunOfFailures) {
  Resolver().SetNameServers({"10.0.0.53", "10.0.0.54"});
  Resolver().Set("bad.test", {platform::kWsaHostNotFound, {}});
  std::vector<uint32_t> list;
  EXPECT_EQ(ResolveHostList("bad.test", list, 50), -1);
  EXPECT_EQ(ResolveHostList("bad.test", list, 50), -1);
  ASSERT_EQ(Reported().size(), 1u);
  EXPECT_EQ(Reported()[0],
            "11500106 ErrCode : (11001) Host : (bad.test) , DNS : (10.0.0.53), "
            "备用 DNS : (10.0.0.54)");
  EXPECT_EQ(ResolveHostList("ok.test", list, 1000), 1);
  Resolver().SetNameServers({});
  EXPECT_EQ(ResolveHostList("bad.test", list, 50), -1);
  ASSERT_EQ(Reported().size(), 2u);
  EXPECT_EQ(Reported()[1], "11500106 ErrCode : (11001) Host : (bad.test) , no DNS");
}

TEST_F(HostResolutionTest, FailedLookupReturnsOnlyAtTheLimit) {
  Resolver().Set("fast-fail.test", {platform::kWsaHostNotFound, {}});
  LookupResult result;
  const auto start = Clock::now();
  EXPECT_FALSE(LookupWithTimeout("fast-fail.test", 200, &result));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(result.error, platform::kWsaHostNotFound);
}

TEST_F(HostResolutionTest, LateAnswerIsDropped) {
  Resolver().Set("slow.test", {0, {Ip(4, 4, 4, 4)}, 300});
  LookupResult result;
  EXPECT_FALSE(LookupWithTimeout("slow.test", 50, &result));
  EXPECT_TRUE(result.addresses.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the worker answers into nothing
  EXPECT_TRUE(LookupWithTimeout("ok.test", 1000, &result));
  EXPECT_EQ(result.addresses, std::vector<uint32_t>{Ip(10, 0, 0, 1)});
}

TEST_F(HostResolutionTest, BadArgumentsFailAtOnce) {
  LookupResult result;
  EXPECT_FALSE(LookupWithTimeout("", 1000, &result));
  EXPECT_EQ(result.error, kLookupBadArgument);
  EXPECT_FALSE(LookupWithTimeout("ok.test", 0, &result));
  EXPECT_EQ(result.error, kLookupBadArgument);
}

TEST_F(HostResolutionTest, AtMost256AddressesAreKept) {
  std::vector<uint32_t> many(300, Ip(5, 5, 5, 5));
  Resolver().Set("many.test", {0, many});
  LookupResult result;
  EXPECT_TRUE(LookupWithTimeout("many.test", 1000, &result));
  EXPECT_EQ(result.addresses.size(), 256u);
}

std::string NumberedHost(int i) {
  std::string name = "h";
  name += std::to_string(i);
  name += ".test";
  return name;
}

TEST_F(HostResolutionTest, ConcurrentLookupsEachGetTheirOwnAnswer) {
  for (int i = 0; i < 8; ++i) {
    Resolver().Set(NumberedHost(i), {0, {Ip(10, 1, 0, static_cast<uint8_t>(i))}});
  }
  std::vector<std::thread> threads;
  std::atomic<int> right{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &right] {
      LookupResult r;
      if (LookupWithTimeout(NumberedHost(i), 2000, &r) &&
          r.addresses == std::vector<uint32_t>{Ip(10, 1, 0, static_cast<uint8_t>(i))}) {
        ++right;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(right.load(), 8);
}

}  // namespace
}  // namespace bw
