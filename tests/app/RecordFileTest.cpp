#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "app/RecordFile.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

// The controller, the windows and their workers write the record at once: no write is lost.
TEST(RecordFile, WritesFromManyThreadsAllLand) {
  bw::test::TempDir dir;
  const RecordFile record(dir.Path("id.bwconf"));
  std::vector<std::thread> writers;
  for (int t = 0; t < 6; ++t) {
    writers.emplace_back([&record, t] {
      for (int k = 0; k < 20; ++k) {
        record.Write("BrightwillowTask", "Key" + std::to_string(t) + "_" + std::to_string(k), std::to_string(k));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  for (int t = 0; t < 6; ++t) {
    for (int k = 0; k < 20; ++k) {
      EXPECT_EQ(record.Read("BrightwillowTask", "Key" + std::to_string(t) + "_" + std::to_string(k)),
                std::to_string(k));
    }
  }
}

TEST(RecordFile, ValuesComeBackAsWrittenAndLineBreaksAreRefused) {
  bw::test::TempDir dir;
  const RecordFile record(dir.Path("id.bwconf"));
  EXPECT_FALSE(record.Exists());
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskSavePath"), "");
  for (const std::string value : {"/home/u/ spaced folder ", "\"quoted\"", "a=b", "游戏"}) {
    ASSERT_TRUE(record.Write("BrightwillowTask", "BrightwillowTaskSavePath", value));
    EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskSavePath"), value);
  }
  EXPECT_FALSE(record.Write("BrightwillowTask", "BrightwillowTaskSavePath", "/x\n[BrightwillowTask]\nInjected=1"));
  EXPECT_EQ(record.Read("BrightwillowTask", "Injected"), "");
  EXPECT_EQ(record.Read("BrightwillowTask", "BrightwillowTaskSavePath"), "游戏");
}

// Every change replaces the file by a rename; an unchanged value replaces nothing.
TEST(RecordFile, ChangesReplaceTheFileWholeAndRepeatsDoNot) {
  bw::test::TempDir dir;
  const RecordFile record(dir.Path("id.bwconf"));
  record.Write("BrightwillowTask", "BrightwillowTaskDownloadTime", "1");
  const ino_t first = InodeOf(record.Path());
  record.Write("BrightwillowTask", "BrightwillowTaskDownloadTime", "1");
  EXPECT_EQ(InodeOf(record.Path()), first);
  record.Write("BrightwillowTask", "BrightwillowTaskDownloadTime", "2");
  EXPECT_NE(InodeOf(record.Path()), first);
  EXPECT_FALSE(std::filesystem::exists(record.Path() + ".tmp"));
  record.Remove();
  EXPECT_FALSE(record.Exists());
}

}  // namespace
}  // namespace bw::app
