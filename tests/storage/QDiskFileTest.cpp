#include "engine/storage/QDiskFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/storage/PiecesTestSupport.h"

namespace bw {
namespace {

// Written data leaves the page cache once it is on disk; what is read back, through the same
// handle or after closing, must still be every byte written, last write winning.
TEST(QDiskFile, WritesFarBeyondTheWriteBehindWindowReadBackWhole) {
  constexpr int64_t kUnit = 1 << 20;
  constexpr int kUnits = 40;
  test::TempDir dir;
  const std::string path = dir.path + "data.bin";
  const std::string content = test::Content(kUnits * kUnit);
  std::string expected = content;
  QDiskFile file;
  ASSERT_TRUE(file.Open(path, QDiskFile::kReadWrite));
  // Whole units out of order, then small rewrites into ranges already pushed out.
  for (int i = 0; i < kUnits; ++i) {
    const int64_t at = (i * 7 % kUnits) * kUnit;
    ASSERT_EQ(file.Write(content.data() + at, kUnit, at), kUnit);
  }
  const std::string patch = test::Content(16384, 7);
  for (int64_t at : {int64_t{0}, 5 * kUnit + 100, (kUnits - 1) * kUnit + 4096}) {
    ASSERT_EQ(file.Write(patch.data(), 16384, at), 16384);
    expected.replace(static_cast<size_t>(at), patch.size(), patch);
  }
  std::string back(expected.size(), '\0');
  ASSERT_EQ(file.Read(back.data(), static_cast<int64_t>(back.size()), 0), static_cast<int64_t>(back.size()));
  EXPECT_TRUE(back == expected);
  file.Close();
  EXPECT_TRUE(test::ReadAll(path) == expected);
}

}  // namespace
}  // namespace bw
