#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Clock.h"
#include "platform/Socket.h"

namespace platform {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order on this host

// A run sent with as few calls as the system allows arrives as the same datagrams in the same
// order: segmented or one by one, taken joined (cut by the slot's segment) or one at a time.
// Equal lengths past the most one segmented send carries, a shorter one that ends a segment run,
// and runs of other lengths after it.
TEST(DatagramRunTest, RunArrivesAsTheSameDatagramsInOrder) {
  std::vector<int> lengths(50, 1384);
  lengths.push_back(700);
  lengths.insert(lengths.end(), {100, 100, 100});
  lengths.insert(lengths.end(), 5, 1384);
  std::vector<std::vector<uint8_t>> sent;
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::vector<uint8_t> d(static_cast<size_t>(lengths[i]));
    for (size_t k = 0; k < d.size(); ++k) d[k] = static_cast<uint8_t>(i * 7 + k);
    sent.push_back(d);
  }
  std::vector<const uint8_t*> run;
  for (const auto& d : sent) run.push_back(d.data());

  for (const bool segmenting : {true, false}) {
    for (const bool joining : {true, false}) {
      const SocketHandle receiver = OpenUdpSocket();
      const SocketHandle sender = OpenUdpSocket();
      ASSERT_NE(receiver, kNoSocket);
      ASSERT_NE(sender, kNoSocket);
      SockAddrV4 at;
      at.ip = kLoopback;
      ASSERT_EQ(Bind(receiver, at), 0);
      ASSERT_EQ(GetSockName(receiver, &at), 0);
      SetReceiveBufferSize(receiver, 1 << 20);
      if (joining) EnableDatagramJoining(receiver);
      bool stillSegmenting = segmenting;
      EXPECT_EQ(SendToRun(sender, run.data(), lengths.data(), static_cast<int>(run.size()), at, &stillSegmenting),
                static_cast<int>(run.size()));

      std::vector<std::vector<uint8_t>> got;
      std::vector<uint8_t> buffers(8 * 65536);
      DatagramSlot slots[8];
      for (int i = 0; i < 8; ++i) {
        slots[i].buffer = buffers.data() + i * 65536;
        slots[i].capacity = 65536;
      }
      const uint32_t start = TickCountMs();
      while (got.size() < sent.size() && TickCountMs() - start < 5000) {
        const int n = RecvFromBatch(receiver, slots, 8);
        if (n <= 0) {
          WaitSocket(receiver, kWaitRead, 100);
          continue;
        }
        for (int i = 0; i < n; ++i) {
          const auto* bytes = static_cast<const uint8_t*>(slots[i].buffer);
          const int64_t step = slots[i].segment > 0 ? slots[i].segment : slots[i].length;
          for (int64_t off = 0; off < slots[i].length; off += step) {
            got.emplace_back(bytes + off, bytes + std::min(off + step, slots[i].length));
          }
        }
      }
      EXPECT_TRUE(got == sent) << "segmenting " << segmenting << ", joining " << joining << ": "
                               << got.size() << " datagrams read of " << sent.size();
      CloseSocket(sender);
      CloseSocket(receiver);
    }
  }
}

}  // namespace
}  // namespace platform
