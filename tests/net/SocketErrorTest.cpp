#include <gtest/gtest.h>

#include <cerrno>

#include "platform/Socket.h"

namespace platform {
namespace {

TEST(SocketErrors, ErrnoMapsToTheCodesTheEngineTests) {
  const std::pair<int, int> cases[] = {
      {EAGAIN, kWsaEwouldblock},       {EINPROGRESS, kWsaEwouldblock},
      {ECONNREFUSED, kWsaEconnrefused}, {ECONNRESET, kWsaEconnreset},
      {EPIPE, kWsaEshutdown},          {ENOTCONN, kWsaEnotconn},
      {EADDRINUSE, kWsaEaddrinuse},    {ETIMEDOUT, kWsaEtimedout},
      {ENETUNREACH, kWsaEnetunreach},  {EBADF, kWsaEnotsock},
      {0, kSockOk},
  };
  for (const auto& [err, code] : cases) EXPECT_EQ(MapErrno(err), code) << err;
}

TEST(SocketErrors, StartupAlwaysSucceedsWithVersionTwo) {
  int version = 0;
  EXPECT_TRUE(SocketStartup(&version));
  EXPECT_EQ(version, 2);
}

TEST(SocketErrors, FailedCallLeavesItsCode) {
  SetLastSocketError(kWsaEwouldblock);
  EXPECT_LT(Send(kNoSocket, "x", 1), 0);
  EXPECT_EQ(LastSocketError(), kWsaEnotsock);
}

}  // namespace
}  // namespace platform
