#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "engine/net/UdpServerService.h"
#include "engine/task/TWorkThread.h"
#include "engine/task/TaskRegistry.h"
#include "tests/storage/PiecesTestSupport.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using test::EngineTest;
using test::kAppFlags;

constexpr int64_t kPieceLength = 32 * 1024;

// A P2SP task as the application makes it: a "file://" torrent beside one HTTP source line.
class TaskWithTorrent : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    content = test::Content(5 * kPieceLength + 1234);
    const std::string info = test::SingleInfo("game.cab", static_cast<int64_t>(content.size()), kPieceLength,
                                              test::PieceHashes(content, kPieceLength));
    test::WriteFile(dir.path + "game.torrent", "d8:announce27:http://127.0.0.1:9/announce4:info" + info + "e");
  }

  TWorkThread* Start() {
    TWorkThread* task = nullptr;
    EXPECT_EQ(Create("http://127.0.0.1:9/game.cab", kAppFlags | kTaskFlagP2SP, "game.cab",
                     "file://" + dir.path + "game.torrent", &task),
              kEngineOk);
    return task;
  }

  std::string content;
};

TEST_F(TaskWithTorrent, RunsWithItsPieceMapReady) {
  TWorkThread* task = Start();
  ASSERT_NE(task, nullptr);
  ASSERT_TRUE(test::WaitFor([&] { return task->Published().totalBytes != 0; }, 10));
  EXPECT_EQ(task->Published().workState, kWorkRunning);
  EXPECT_EQ(task->Published().totalBytes, content.size());
  EXPECT_EQ(task->Published().pieceCount, 6);
  EXPECT_EQ(task->Published().doneBytes, 0u);
  EXPECT_TRUE(task->HasMetadata());
  EXPECT_EQ(test::Stop(task), kEngineOk);
}

TEST_F(TaskWithTorrent, FindsContentAlreadyOnDiskComplete) {
  test::WriteFile(dir.path + "game.cab", content);
  TWorkThread* task = Start();
  ASSERT_NE(task, nullptr);
  int complete = 0;
  ASSERT_TRUE(test::WaitFor([&] { return task->IsComplete(&complete) == kEngineOk && complete == 1; }, 10));
  TaskProgress progress;
  ASSERT_EQ(task->GetProgress(&progress), kEngineOk);
  EXPECT_EQ(progress.status, kTaskStatusComplete);
  EXPECT_EQ(progress.doneBytes, content.size());
  EXPECT_EQ(test::ReadAll(dir.path + "game.cab"), content);
}

TEST_F(TaskWithTorrent, OversizedTorrentFileIsRefusedUnread) {
  const std::string huge = dir.path + "huge.torrent";
  test::WriteFile(huge, "d");
  std::filesystem::resize_file(huge, TTorrent::kMaxTorrentFile + 1);  // sparse: costs no disk
  TWorkThread* task = nullptr;
  ASSERT_EQ(Create("http://127.0.0.1:9/huge.cab", kAppFlags | kTaskFlagP2SP, "huge.cab", "file://" + huge, &task),
            kEngineOk);
  ASSERT_TRUE(Ends(task, 5));
  EXPECT_EQ(Status(task), kTaskStatusTorrentUnreadable);
}

// Another engine reaches this one over UDP by the tag in its peer id; with no task left the
// transport carries nothing.
TEST_F(TaskWithTorrent, PeerIdCarriesTheUdpIdentityWhileTheUdpServerRuns) {
  for (const bool udp : {false, true}) {
    SCOPED_TRACE(udp ? "UDP server running" : "no UDP server");
    if (udp) {
      UdpServerConfig config;
      // Nobody needs to answer, nor the port to be free: the identity is made at the start.
      config.rendezvousHost = "127.0.0.1";
      config.rendezvousPort = 9;
      config.localPort = 40000 + static_cast<int>(::getpid() % 20000);
      config.timeoutSeconds = 30;
      std::memcpy(config.tag, "\0\0tagtag", kUdpTagSize);
      ASSERT_EQ(StartUdpServer(config), 0);
    }
    TWorkThread* task = Start();
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return task->SwarmHandshake() != nullptr; }, 10));
    const uint8_t* peerId = task->SwarmHandshake() + 48;
    EXPECT_EQ(std::memcmp(peerId, "\x00\x01" "Bw", 4), 0);
    const UdpIdentity wanted = MakeUdpIdentity(reinterpret_cast<const uint8_t*>("\0\0tagtag"));
    EXPECT_EQ(std::memcmp(peerId + 8, wanted.data(), kUdpIdentitySize) == 0, udp);
    if (udp) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(peerId + 8), 8), std::string("\x01\x02tagtag"));
      EXPECT_FALSE(RunningUdpServer()->TransportDisabled());
    }
    TaskRegistry::DestroyAll();
    if (udp) {
      EXPECT_TRUE(RunningUdpServer()->TransportDisabled());
      StopUdpServer();
    }
  }
}

}  // namespace
}  // namespace bw
