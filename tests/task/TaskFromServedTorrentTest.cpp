// A BT task whose first source line names its torrent on an HTTP server, against a real nginx.
#include <gtest/gtest.h>

#include <string>

#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using TaskFromServedTorrent = test::NginxEngineTest;

// The torrent is fetched whole and becomes the metadata once; the content then comes from the
// mirror beside it, every piece checked against the fetched hashes.
TEST_F(TaskFromServedTorrent, TorrentFetchedFromASourceDrivesTheDownload) {
  constexpr int64_t kLength = 3 * 262144 + 1000;
  const std::string content = test::Content(kLength, 5);
  Publish("data.bin", content);
  const std::string www = Publish("data.torrent", "d4:info" + test::SingleInfo("data.bin", kLength, 262144,
                                                                               test::PieceHashes(content, 262144)) +
                                                      "e");
  test::NginxServer mirror(www, dir.path + "nginx");
  ASSERT_TRUE(mirror.Running()) << mirror.ErrorLog();

  TWorkThread* task = nullptr;
  ASSERT_EQ(Create(mirror.Url("/data.torrent") + "\r\n" + mirror.Url("/data.bin"), test::kAppFlags | kTaskFlagBT,
                   "out.bin", "", &task),
            kEngineOk);
  ASSERT_TRUE(Completes(task, 30)) << "status " << Status(task);
  ASSERT_EQ(test::Stop(task), kEngineOk);
  EXPECT_EQ(test::ReadAll(dir.path + "out.bin"), content);
  int torrentFetches = 0;
  for (const test::AccessEntry& e : mirror.Requests()) torrentFetches += e.uri == "/data.torrent" && e.status == 200;
  EXPECT_EQ(torrentFetches, 1) << "the torrent source leaves the pool once the metadata is in";
}

}  // namespace
}  // namespace bw
