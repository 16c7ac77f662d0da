#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <set>

#include "app/PortChoice.h"
#include "platform/Socket.h"

namespace bw::app {
namespace {

TEST(PortChoice, LocalAddresses) {
  struct Case {
    const char* address;
    bool local;
  } cases[] = {{"0.1.2.3", true},        {"5.6.7.8", true},     {"6.255.0.1", true},
               {"7.0.0.1", false},       {"10.77.0.1", true},   {"11.0.0.1", false},
               {"127.0.1.1", true},      {"128.0.0.1", false},  {"169.254.3.4", true},
               {"169.253.3.4", false},   {"172.15.0.1", false}, {"172.16.0.0", true},
               {"172.31.255.255", true}, {"172.32.0.1", false}, {"192.168.1.20", true},
               {"192.169.1.20", false},  {"100.64.0.1", false}, {"", false},
               {"10.0.0", false},        {"10.0.0.1.5", false}, {"10.0.0.256", false},
               {"-1.0.0.1", false},      {"10..0.1", false},    {"localhost", false}};
  for (const Case& c : cases) EXPECT_EQ(IsLocalAddress(c.address), c.local) << c.address;
}

TEST(PortChoice, SearchSkipsReservedAndBusyPortsAndWraps) {
  struct Case {
    int start;
    std::set<int> busy;
    int chosen;
  } cases[] = {
      {40411, {40411}, 40413},  // 40412 is reserved
      {40420, {40420}, 40424},  // so are 40421 to 40423
      {40412, {}, 40413},       // a reserved start moves on
      {50000, {50000}, 40000},  // past the end: back to the start of the range
      {49999, {49999, 50000, 40000}, 40001},
      {39000, {}, 40000},  // outside the range: its start
      {65535, {40000}, 40001},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseListenPort(c.start, [&](int port) { return c.busy.count(port) > 0; }), c.chosen) << c.start;
  }
}

TEST(PortChoice, EveryPortBusyAsksEachOnceAndGivesNone) {
  std::multiset<int> asked;
  const auto everyPortBusy = [&](int port) {
    asked.insert(port);
    return true;
  };
  EXPECT_EQ(ChooseListenPort(45000, everyPortBusy), 0);
  EXPECT_EQ(asked.size(), 10001u - 8u);
  EXPECT_EQ(std::set<int>(asked.begin(), asked.end()).size(), asked.size());
  for (int port : asked) EXPECT_FALSE(IsReservedPort(port)) << port;
  EXPECT_EQ(*asked.begin(), kFirstListenPort);
  EXPECT_EQ(*asked.rbegin(), kLastListenPort);
}

// A server on the port, as another program would hold it.
class HeldPort {
 public:
  explicit HeldPort(int port) : socket_(platform::OpenTcpSocket()) {
    platform::SockAddrV4 at;
    at.ip = htonl(INADDR_LOOPBACK);
    at.port = static_cast<uint16_t>(port);
    held_ = platform::Bind(socket_, at) == 0 && platform::Listen(socket_, 1) == 0;
  }
  ~HeldPort() { platform::CloseSocket(socket_); }
  bool Held() const { return held_; }

 private:
  platform::SocketHandle socket_;
  bool held_ = false;
};

TEST(PortChoice, PortHeldByAServerIsInUseAndSkipped) {
  // Two neighbouring free ports of the range (other programs may hold some).
  int port = 0;
  for (int p = RandomStartPort(); p < kLastListenPort && port == 0; p += 7) {
    if (!IsReservedPort(p) && !IsReservedPort(p + 1) && !IsPortInUse(p) && !IsPortInUse(p + 1)) port = p;
  }
  ASSERT_NE(port, 0);
  {
    HeldPort held(port);
    ASSERT_TRUE(held.Held());
    EXPECT_TRUE(IsPortInUse(port));
    EXPECT_EQ(ChooseListenPort(port, IsPortInUse), port + 1);
  }
  EXPECT_FALSE(IsPortInUse(port));
  EXPECT_EQ(ChooseListenPort(port, IsPortInUse), port);
}

}  // namespace
}  // namespace bw::app
