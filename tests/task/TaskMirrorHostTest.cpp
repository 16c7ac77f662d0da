// Mirrors the application gives by address with the host name of the site they serve, against a
// real nginx that serves the content only under that name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/net/NginxServer.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using test::EngineTest;

class TaskMirrorHost : public EngineTest {
 protected:
  void SetUp() override {
    if (!test::NginxServer::Installed()) GTEST_SKIP() << "nginx is needed (scripts/deps.sh installs it)";
    EngineTest::SetUp();
  }
};

// An HTTP task whose only source is such a mirror: every request names the mirror's host, so the
// virtual host answers with the file; asked as 127.0.0.1 it would refuse (421).
TEST_F(TaskMirrorHost, MirrorGivenByAddressAsksForItsHostName) {
  constexpr int64_t kLength = 3 * 262144 + 1000;
  const std::string content = test::Content(kLength, 7);
  const std::string www = dir.path + "www/";
  std::filesystem::create_directories(www);
  std::ofstream(www + "data.bin", std::ios::binary) << content;
  test::NginxServer mirror(www, dir.path + "nginx", "    if ($host != mirror.test) { return 421; }");
  ASSERT_TRUE(mirror.Running()) << mirror.ErrorLog();

  TWorkThread* task = nullptr;
  ASSERT_EQ(Create("", test::kAppFlags, "out.bin", "", &task), kEngineOk);
  // Mirrors join a task at its start (and every 15 s after): give it one and start it again.
  ASSERT_EQ(StopDownloadTask(task, false), kEngineOk);
  ASSERT_EQ(AddTaskMirror(task, mirror.Url("/data.bin").c_str(), "mirror.test"), kEngineOk);
  ASSERT_EQ(ResumeDownloadTask(task), kEngineOk);
  ASSERT_TRUE(test::WaitFor(
      [task] {
        int complete = 0;
        IsTaskComplete(task, &complete);
        return complete == 1;
      },
      30))
      << "status " << Status(task);
  ASSERT_EQ(StopDownloadTask(task, false), kEngineOk);
  EXPECT_EQ(test::ReadAll(dir.path + "out.bin"), content);
  for (const test::AccessEntry& e : mirror.Requests()) EXPECT_NE(e.status, 421) << e.uri << " " << e.range;
}

}  // namespace
}  // namespace bw
