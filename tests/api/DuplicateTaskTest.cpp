#include <gtest/gtest.h>

#include <string>

#include "engine/api/EngineApi.h"
#include "tests/task/TaskTestSupport.h"

namespace bw {
namespace {

// Real tasks created through the entry points, which refuse a task that repeats another.
class DuplicateTasks : public test::EngineTest {
 protected:
  void SetUp() override { ASSERT_EQ(InitEngine(dir.path.c_str()), kEngineOk); }
  void TearDown() override { EXPECT_EQ(UninitEngine(), kEngineOk); }

  int Create(const std::string& sources, uint32_t flags, const std::string& target, const std::string& contentId = "",
             TaskInterface** task = nullptr) {
    TaskParams params = Params(sources, flags, target, contentId);
    const int result = CreateDownloadTask(&params);
    if (task) *task = static_cast<TaskInterface*>(params.handle);
    return result;
  }
};

TEST_F(DuplicateTasks, RulesOnRealTasks) {
  TaskInterface* first = nullptr;
  ASSERT_EQ(Create("http://127.0.0.1:9/a\nhttp://127.0.0.1:9/b\nhttp://127.0.0.1:9/c", test::kAppFlags, "f.cab", "",
                   &first),
            kEngineOk);
  // Same full target path.
  EXPECT_EQ(Create("http://127.0.0.1:9/other", test::kAppFlags, "f.cab"), kEngineDuplicateTask);
  TaskParams forced = Params("http://127.0.0.1:9/other", test::kAppFlags, "f.cab");
  EXPECT_EQ(RecoverDownloadTask(&forced, true), kEngineOk);
  // Source share: 3 / 1 = 3 is not a duplicate, 3 / 2 = 1 is.
  EXPECT_EQ(Create("http://127.0.0.1:9/a\nhttp://127.0.0.1:9/x\nhttp://127.0.0.1:9/y", test::kAppFlags, "g.cab"),
            kEngineOk);
  EXPECT_EQ(Create("http://127.0.0.1:9/a\nhttp://127.0.0.1:9/b\nhttp://127.0.0.1:9/z", test::kAppFlags, "h.cab"),
            kEngineDuplicateTask);
  // Same content identifier.
  const std::string id = "file://" + dir.path + "same.torrent";
  EXPECT_EQ(Create("http://127.0.0.1:9/p", test::kAppFlags | kTaskFlagP2SP, "p.cab", id), kEngineOk);
  EXPECT_EQ(Create("http://127.0.0.1:9/q", test::kAppFlags | kTaskFlagP2SP, "q.cab", id), kEngineDuplicateTask);
  EXPECT_TRUE(first->IsRunning()) << "the first task is left alone";
}


}  // namespace
}  // namespace bw
