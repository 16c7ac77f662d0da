#include "engine/task/TaskInterface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/task/LoopingTask.h"

namespace bw {
namespace {

using test::LoopingTask;

std::unique_ptr<TaskParams> Params(const char* sources, uint32_t flags, const char* target = "/data/setup.exe",
                                   const char* contentId = "") {
  auto p = std::make_unique<TaskParams>();
  std::memset(p.get(), 0, sizeof *p);
  p->sources = sources;
  p->flags = flags;
  std::strcpy(p->target, target);
  std::strcpy(p->contentId, contentId);
  std::strcpy(p->infoPath, "/data/setup.exe.bwinfo");
  return p;
}

std::vector<std::string> Texts(const LoopingTask& task) {
  std::vector<std::string> texts;
  for (const TaskSource& s : task.sources) texts.push_back(s.text);
  return texts;
}

TEST(TaskDescribe, SourceLinesSplitAtEveryLineEndAndAreTrimmed) {
  struct Case {
    const char* sources;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"  http://a/x  \r\n\r\nhttp://b/y", {"http://a/x", "", "http://b/y"}},
      {"a\rb\nc\r\n", {"a", "b", "c"}},
      {"\t\x01 one \x1f", {"one"}},
      {"\xe4\xb8\x8b", {"\xe4\xb8\x8b"}},  // bytes above 127 are text, not blanks
      {"   ", {""}},
      {"\n", {""}},
      {"", {}},
      {nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sources ? c.sources : "(null)");
    LoopingTask task;
    task.Describe(*Params(c.sources, 0), true);
    EXPECT_EQ(Texts(task), c.lines);
  }
}

TEST(TaskDescribe, FlagsPickContentIdTypeAndPaths) {
  LoopingTask http;
  http.Describe(*Params("http://h/f", 0, "/save/here"), true);
  EXPECT_STREQ(http.TypeName(), "HTTP Task");
  EXPECT_EQ(http.saveFolder, "/save/here");
  EXPECT_EQ(http.TargetFile(), "");
  EXPECT_EQ(http.contentId, "");
  EXPECT_EQ(http.infoPath, "/data/setup.exe.bwinfo");
  EXPECT_EQ(http.pendingBlockPath, "/data/setup.exe.bwinfodf");

  LoopingTask bt;
  bt.Describe(*Params("file:///t/a.torrent\nhttp://h/f", kTaskFlagBT | kTaskFlagFullPath, "/games/a/setup.exe"),
              true);
  EXPECT_STREQ(bt.TypeName(), "BT Task");
  EXPECT_EQ(bt.contentId, "file:///t/a.torrent");
  EXPECT_EQ(bt.sources[0].mark, kSourceTorrent);
  EXPECT_EQ(bt.sources[1].mark, kSourceIdle);
  EXPECT_EQ(bt.TargetFile(), "/games/a/setup.exe");
  EXPECT_EQ(bt.saveFolder, "/games/a/");

  LoopingTask p2sp;
  const uint32_t all = kTaskFlagP2SP | kTaskFlagBT | kTaskFlagStored | kTaskFlagPieceMapOption;
  p2sp.Describe(*Params("http://h/f", all, "/x", "file:///t/b.torrent"), true);
  EXPECT_STREQ(p2sp.TypeName(), "P2SP Task");
  EXPECT_EQ(p2sp.contentId, "file:///t/b.torrent");
  EXPECT_EQ(p2sp.sources[0].mark, kSourceIdle);
  EXPECT_TRUE(p2sp.storedFlag);
  EXPECT_TRUE(p2sp.pieceMapOption);

  LoopingTask recovered;
  recovered.Describe(*Params("http://h/f", kTaskFlagStored, "nofolder"), false);
  EXPECT_FALSE(recovered.storedFlag);
}

TEST(TaskDescribe, UnterminatedTextFieldsAreReadToTheirSizeOnly) {
  auto params = Params("", kTaskFlagP2SP | kTaskFlagFullPath);
  std::memset(params->contentId, 'c', sizeof params->contentId);
  std::memset(params->target, 't', sizeof params->target);
  std::memset(params->infoPath, 'i', sizeof params->infoPath);
  LoopingTask task;
  task.Describe(*params, true);
  EXPECT_EQ(task.contentId, std::string(kTextSize, 'c'));
  EXPECT_EQ(task.TargetFile(), std::string(kTextSize, 't'));
  EXPECT_EQ(task.infoPath, std::string(kTextSize, 'i'));
}

TEST(TaskDuplicates, RulesOfTargetContentAndSharedSources) {
  struct Case {
    const char* name;
    const char* firstSources;
    uint32_t firstFlags;
    const char* firstTarget;
    const char* firstContent;
    const char* secondSources;
    uint32_t secondFlags;
    const char* secondTarget;
    const char* secondContent;
    bool duplicate;
  };
  const uint32_t full = kTaskFlagFullPath;
  const Case cases[] = {
      {"same full target", "http://a", full, "/d/f", "", "http://b", full, "/d/f", "", true},
      {"same target, one not full path", "http://a", full, "/d/f", "", "http://b", 0, "/d/f", "", false},
      {"target compared case-sensitively", "http://a", full, "/d/f", "", "http://b", full, "/d/F", "", false},
      {"same P2SP content", "http://a", kTaskFlagP2SP, "/d/", "file:///t", "http://b", kTaskFlagP2SP, "/e/",
       "file:///t", true},
      {"P2SP and BT with one content", "http://a", kTaskFlagP2SP, "/d/", "file:///t", "file:///t", kTaskFlagBT,
       "/e/", "", true},
      {"HTTP task ignores content", "http://a", 0, "/d/", "file:///t", "http://b", kTaskFlagP2SP, "/e/",
       "file:///t", false},
      {"one of three sources shared", "http://s1\nhttp://x", 0, "/d/", "", "http://s1\nhttp://n2\nhttp://n3", 0,
       "/e/", "", false},
      {"two of three sources shared", "http://s1\nhttp://s2", 0, "/d/", "", "http://s1\nhttp://s2\nhttp://n3", 0,
       "/e/", "", true},
      {"sources compared case-sensitively", "http://S1", 0, "/d/", "", "http://s1", 0, "/e/", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopingTask first;
    first.Describe(*Params(c.firstSources, c.firstFlags, c.firstTarget, c.firstContent), true);
    LoopingTask second;
    second.Describe(*Params(c.secondSources, c.secondFlags, c.secondTarget, c.secondContent), true);
    EXPECT_EQ(second.Duplicates(first), c.duplicate);
  }
}

TEST(TaskProgressFill, ReportsFromThePublishedBlock) {
  LoopingTask task;
  TaskProgress out;
  std::memset(&out, 0x5a, sizeof out);

  task.published.name = "setup.exe";
  task.published.status = kTaskStatusNoSources;
  ASSERT_EQ(task.GetProgress(&out), kEngineOk);
  EXPECT_STREQ(out.name, "setup.exe");
  EXPECT_EQ(out.progress, 0) << "unknown total";
  EXPECT_EQ(out.status, kTaskStatusNoSources);
  EXPECT_EQ(out.totalKiB, 0);
  EXPECT_EQ(out.name[sizeof out.name - 1], 0) << "the record is zeroed first";

  task.published = {"big", kTaskStatusNoSources, 10'000'000'000ull, 10'000'000'000ull, 7, 8, 1234, 56};
  ASSERT_EQ(task.GetProgress(&out), kEngineOk);
  EXPECT_EQ(out.progress, 10000);
  EXPECT_EQ(out.status, kTaskStatusComplete) << "a finished task reports complete whatever it published";
  EXPECT_EQ(out.totalKiB, 9765625);
  EXPECT_EQ(out.httpBytes, 7u);
  EXPECT_EQ(out.p2pBytes, 8u);
  EXPECT_EQ(out.speed, 1234);
  EXPECT_EQ(out.remaining, 56);
  EXPECT_EQ(out.doneBytes, 10'000'000'000ull);
  int complete = 0;
  EXPECT_EQ(task.IsComplete(&complete), kEngineOk);
  EXPECT_EQ(complete, 1);

  task.published.doneBytes = 9'999'000'000ull;  // 99.99 %
  task.GetProgress(&out);
  EXPECT_EQ(out.progress, 9999);
  EXPECT_EQ(out.status, kTaskStatusNoSources);
  task.IsComplete(&complete);
  EXPECT_EQ(complete, 0);

  task.published.name.assign(5000, 'n');
  task.GetProgress(&out);
  EXPECT_EQ(std::strlen(out.name), sizeof out.name - 1);
}

TEST(TaskMirrors, AddSplitsAtLineBreaksAndClearEmpties) {
  LoopingTask task;
  task.AddMirrors("http://m1/f\r\nhttp://m2/f", "m1.example\nm2.example");
  task.AddMirrors(nullptr, nullptr);
  EXPECT_EQ(task.mirrors, (std::vector<std::string>{"http://m1/f", "http://m2/f"}));
  EXPECT_EQ(task.mirrorHosts, (std::vector<std::string>{"m1.example", "m2.example"}));
  EXPECT_TRUE(task.mirrorsChanged);
  task.ClearMirrors();
  EXPECT_TRUE(task.mirrors.empty());
  EXPECT_TRUE(task.mirrorHosts.empty());
  EXPECT_FALSE(task.mirrorsChanged);
}

}  // namespace
}  // namespace bw
