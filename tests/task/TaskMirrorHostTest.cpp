// Mirrors the application gives by address with the host name of the site they serve, against a
// real nginx that serves the content only under that name.
#include <gtest/gtest.h>

#include <string>

#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

using TaskMirrorHost = test::NginxEngineTest;

// An HTTP task whose only source is such a mirror: every request names the mirror's host, so the
// virtual host answers with the file; asked as 127.0.0.1 it would refuse (421).
TEST_F(TaskMirrorHost, MirrorGivenByAddressAsksForItsHostName) {
  const std::string content = test::Content(3 * 262144 + 1000, 7);
  test::NginxServer mirror(Publish("data.bin", content), dir.path + "nginx",
                           "    if ($host != mirror.test) { return 421; }");
  ASSERT_TRUE(mirror.Running()) << mirror.ErrorLog();

  TWorkThread* task = nullptr;
  ASSERT_EQ(Create("", test::kAppFlags, "out.bin", "", &task), kEngineOk);
  // Mirrors join a task at its start (and every 15 s after): give it one and start it again.
  ASSERT_EQ(test::Stop(task), kEngineOk);
  task->AddMirrors(mirror.Url("/data.bin").c_str(), "mirror.test");
  ASSERT_EQ(task->ResumeDownload(), kEngineOk);
  ASSERT_TRUE(Completes(task, 30)) << "status " << Status(task);
  ASSERT_EQ(test::Stop(task), kEngineOk);
  EXPECT_EQ(test::ReadAll(dir.path + "out.bin"), content);
  for (const test::AccessEntry& e : mirror.Requests()) EXPECT_NE(e.status, 421) << e.uri << " " << e.range;
}

}  // namespace
}  // namespace bw
