// A BT task whose first source line names its torrent on an HTTP server, against a real nginx.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/net/NginxServer.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using test::EngineTest;

class TaskFromServedTorrent : public EngineTest {
 protected:
  void SetUp() override {
    if (!test::NginxServer::Installed()) GTEST_SKIP() << "nginx is needed (scripts/deps.sh installs it)";
    EngineTest::SetUp();
  }
};

// The torrent is fetched whole and becomes the metadata once; the content then comes from the
// mirror beside it, every piece checked against the fetched hashes.
TEST_F(TaskFromServedTorrent, TorrentFetchedFromASourceDrivesTheDownload) {
  constexpr int64_t kLength = 3 * 262144 + 1000;
  const std::string content = test::Content(kLength, 5);
  const std::string www = dir.path + "www/";
  std::filesystem::create_directories(www);
  std::ofstream(www + "data.bin", std::ios::binary) << content;
  std::ofstream(www + "data.torrent", std::ios::binary)
      << "d4:info" << test::SingleInfo("data.bin", kLength, 262144, test::PieceHashes(content, 262144)) << "e";
  test::NginxServer mirror(www, dir.path + "nginx");
  ASSERT_TRUE(mirror.Running()) << mirror.ErrorLog();

  TWorkThread* task = nullptr;
  ASSERT_EQ(Create(mirror.Url("/data.torrent") + "\r\n" + mirror.Url("/data.bin"), test::kAppFlags | kTaskFlagBT,
                   "out.bin", "", &task),
            kEngineOk);
  ASSERT_TRUE(test::WaitFor(
      [task] {
        int complete = 0;
        task->IsComplete(&complete);
        return complete == 1;
      },
      30))
      << "status " << Status(task);
  ASSERT_EQ(test::Stop(task), kEngineOk);
  EXPECT_EQ(test::ReadAll(dir.path + "out.bin"), content);
  int torrentFetches = 0;
  for (const test::AccessEntry& e : mirror.Requests()) torrentFetches += e.uri == "/data.torrent" && e.status == 200;
  EXPECT_EQ(torrentFetches, 1) << "the torrent source leaves the pool once the metadata is in";
}

}  // namespace
}  // namespace bw
