#include "engine/storage/TFileLayout.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/storage/TPieces.h"
#include "platform/File.h"
#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

using test::FileSpec;
using test::MultiInfo;
using test::Parse;
using test::SingleInfo;

std::string Hashes(int64_t count) { return std::string(static_cast<size_t>(20 * count), 'h'); }

TEST(TFileLayoutTest, SingleFileOfOddLengthHasShortLastPiece) {
  test::TempDir dir;
  test::FakeTask task;
  TPieces map(task);
  map.SetSaveDirectory(dir.path);
  auto info = Parse(SingleInfo("game.cab", 8299520, 32768, Hashes(254)));
  ASSERT_TRUE(map.LoadInfo(*info));
  EXPECT_EQ(map.PieceCount(), 254);
  EXPECT_EQ(map.Piece(253).Size, 9216);
  EXPECT_EQ(map.Piece(252).Size, 32768);
  EXPECT_EQ(map.Files()[0].Path, dir.path + "game.cab.bwtmp");
  EXPECT_EQ(map.Files()[0].FinalPath, dir.path + "game.cab");
  EXPECT_TRUE(map.IsReady());
  ASSERT_NE(task.Last(TPiecesEvent::kPiecesBuilt), nullptr);
  EXPECT_EQ(task.Last(TPiecesEvent::kPiecesBuilt)->bytes, std::string("\xFE\0\0\0", 4));
}

TEST(TFileLayoutTest, RejectsInconsistentOrUnsafeDictionaries) {
  struct Case {
    const char* what;
    std::string info;
  };
  const Case cases[] = {
      {"one piece too many", SingleInfo("a", 8299520, 32768, Hashes(255))},
      {"one piece too few", SingleInfo("a", 8299520, 32768, Hashes(253))},
      {"piece length not a multiple of 16 KiB", SingleInfo("a", 30000, 30000, Hashes(1))},
      {"piece length above 64 MiB", SingleInfo("a", 128 << 20, 128 << 20, Hashes(1))},
      {"zero piece length", SingleInfo("a", 100, 0, Hashes(1))},
      {"zero length", SingleInfo("a", 0, 16384, Hashes(1))},
      {"hashes not a multiple of 20", SingleInfo("a", 100, 16384, std::string(21, 'h'))},
      {"name ..", SingleInfo("..", 100, 16384, Hashes(1))},
      {"name .", SingleInfo(".", 100, 16384, Hashes(1))},
      {"name with slash", SingleInfo("../x", 100, 16384, Hashes(1))},
      {"name with NUL", SingleInfo(std::string("a\0b", 3), 100, 16384, Hashes(1))},
      {"absolute name", SingleInfo("/etc/passwd", 100, 16384, Hashes(1))},
      {"multi prefix ..", MultiInfo("..", {{{"a"}, 100}}, 16384, Hashes(1))},
      {"multi prefix empty", MultiInfo("", {{{"a"}, 100}}, 16384, Hashes(1))},
      {"component ..", MultiInfo("t", {{{"..", "..", "x"}, 100}}, 16384, Hashes(1))},
      {"component .", MultiInfo("t", {{{".", "x"}, 100}}, 16384, Hashes(1))},
      {"empty inner component", MultiInfo("t", {{{"a", "", "x"}, 100}}, 16384, Hashes(1))},
      {"absolute component", MultiInfo("t", {{{"/etc", "x"}, 100}}, 16384, Hashes(1))},
      {"slash inside", MultiInfo("t", {{{"a/../../x"}, 100}}, 16384, Hashes(1))},
      {"NUL inside", MultiInfo("t", {{{std::string("x\0y", 3)}, 100}}, 16384, Hashes(1))},
      {"escape after a good file", MultiInfo("t", {{{"a"}, 10}, {{".."}, 90}}, 16384, Hashes(1))},
      {"no files", "d5:filesle4:name1:t12:piece lengthi16384e6:pieces20:" + Hashes(1) + "e"},
      {"one path twice", MultiInfo("t", {{{"a"}, 10}, {{"a"}, 10}}, 16384, Hashes(1))},
      {"a file, then a folder of its name", MultiInfo("t", {{{"a"}, 10}, {{"a", "b"}, 10}}, 16384, Hashes(1))},
      {"a folder, then a file of its name", MultiInfo("t", {{{"a", "b", "c"}, 10}, {{"a", "b"}, 10}}, 16384, Hashes(1))},
      {"a file and a folder entry of its name", MultiInfo("t", {{{"a"}, 10}, {{"a", ""}, 0}}, 16384, Hashes(1))},
      {"paths equal once cleaned", MultiInfo("t", {{{"a?"}, 10}, {{"a_"}, 10}}, 16384, Hashes(1))},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::FakeTask task;
    TPieces map(task);
    map.SetSaveDirectory(dir.path);
    auto info = Parse(c.info);
    ASSERT_NE(info, nullptr) << c.what;
    EXPECT_FALSE(map.LoadInfo(*info)) << c.what;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << c.what;
  }
}

TEST(TFileLayoutTest, MultiFileWithEmptyFilesDirectoryAndThreeFileSpan) {
  test::TempDir dir;
  test::FakeTask task;
  TPieces map(task);
  // Already ends with the torrent's name: not extended a second time.
  map.SetSaveDirectory(dir.path + "pack");
  std::filesystem::create_directories(dir.path + "pack");
  const int64_t L = 32768;
  auto info = Parse(MultiInfo("pack",
                              {{{"a.bin"}, 40000},
                               {{"empty1"}, 0},
                               {{"sub", "b?.bin"}, 10000},
                               {{"docs", ""}, 0},
                               {{"empty2"}, 0},
                               {{"c.bin"}, 30000},
                               {{"stop", ""}, 5},
                               {{"ignored"}, 100}},
                              L, Hashes(3)));
  ASSERT_TRUE(map.LoadInfo(*info));
  const auto& files = map.Files();
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(map.TotalLength(), 80000);
  EXPECT_EQ(files[2].RelativePath, "pack/sub/b?.bin");
  EXPECT_EQ(files[2].Path, dir.path + "pack/sub/b_.bin.bwtmp");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path + "pack/docs"));
  EXPECT_EQ(files[2].Offset, 40000);
  EXPECT_EQ(files[2].FirstPiece, 1);
  EXPECT_EQ(files[0].PieceCount, 2);
  EXPECT_EQ(files[1].PieceCount, 0);
  EXPECT_EQ(files[2].PieceCount, 1);
  EXPECT_EQ(files[4].PieceCount, 2);

  std::vector<TPieces::Span> spans;
  ASSERT_TRUE(map.GetPieceFiles(1, &spans));  // bytes 32768..65535
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].file, 0);
  EXPECT_EQ(spans[0].fileOffset, 32768);
  EXPECT_EQ(spans[0].length, 40000 - 32768);
  EXPECT_EQ(spans[1].file, 2);
  EXPECT_EQ(spans[1].length, 10000);
  EXPECT_EQ(spans[2].file, 4);
  EXPECT_EQ(spans[2].fileOffset, 0);
  EXPECT_EQ(spans[2].length, 32768 - 7232 - 10000);
  ASSERT_TRUE(map.GetPieceFiles(2, &spans));
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0].fileOffset, 65536 - 50000);
}

TEST(TFileLayoutTest, NamesOfSingleFiles) {
  test::TempDir dir;
  test::FakeTask task;
  {
    TPieces map(task);
    map.SetSaveDirectory(dir.path);
    ASSERT_TRUE(map.LoadInfo(*Parse(SingleInfo("", 100, 16384, Hashes(1)))));
    EXPECT_EQ(map.Files()[0].Path, dir.path + "strRecommend.bwtmp");
  }
  {
    // An existing final file is used under its own name.
    platform::ReplaceFileDurably(dir.path + "have.bin", "x", 1);
    TPieces map(task);
    map.SetSaveDirectory(dir.path);
    ASSERT_TRUE(map.LoadInfo(*Parse(SingleInfo("have.bin", 100, 16384, Hashes(1)))));
    EXPECT_EQ(map.Files()[0].Path, dir.path + "have.bin");
    EXPECT_FALSE(map.Files()[0].UsesTempName);
  }
  {
    // The task's explicit target path wins over the torrent's name.
    TPieces map(task);
    map.SetSaveDirectory(dir.path);
    map.SetTargetPath(dir.path + "target.exe");
    ASSERT_TRUE(map.LoadInfo(*Parse(SingleInfo("x", 100, 16384, Hashes(1)))));
    EXPECT_EQ(map.Files()[0].Path, dir.path + "target.exe.bwtmp");
  }
}

TEST(TFileLayoutTest, FilePieceCount) {
  EXPECT_EQ(TFileLayout::FilePieceCount(0, 0, 100), 0);
  EXPECT_EQ(TFileLayout::FilePieceCount(0, 100, 100), 1);
  EXPECT_EQ(TFileLayout::FilePieceCount(0, 101, 100), 2);
  EXPECT_EQ(TFileLayout::FilePieceCount(50, 50, 100), 1);
  EXPECT_EQ(TFileLayout::FilePieceCount(50, 51, 100), 2);
  EXPECT_EQ(TFileLayout::FilePieceCount(50, 151, 100), 3);
}

}  // namespace
}  // namespace bw
