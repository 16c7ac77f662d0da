#include "platform/DiskSpace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace platform {
namespace {

class DiskSpaceTest : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir = std::filesystem::temp_directory_path() / ("bwplatform-" + std::to_string(random()));
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string Path(const char* name) const { return (dir / name).string(); }
  std::filesystem::path dir;
};

TEST_F(DiskSpaceTest, FreeBytesOfAFolderNotYetCreatedComeFromItsNearestAncestor) {
  const int64_t here = DiskFreeBytes(dir.c_str());
  EXPECT_GT(here, 0);
  EXPECT_GT(DiskFreeBytes(Path("a/b/c").c_str()), 0);
  std::ofstream(Path("file")) << "x";
  EXPECT_GT(DiskFreeBytes(Path("file/below").c_str()), 0) << "a file on the way up is climbed past";
  EXPECT_GT(DiskFreeBytes("/"), 0);
}

TEST_F(DiskSpaceTest, RelativePathsAreAskedFromTheCurrentFolder) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const int64_t here = DiskFreeBytes(".");
  const int64_t relative = DiskFreeBytes("not/yet/made");
  const int64_t bare = DiskFreeBytes("name");
  std::filesystem::current_path(before);
  EXPECT_GT(here, 0);
  EXPECT_GT(relative, 0);
  EXPECT_GT(bare, 0);
  EXPECT_EQ(DiskFreeBytes(""), -1);
}

TEST_F(DiskSpaceTest, AllocatedSizeCountsBlocksNotLength) {
  const std::string sparse = Path("sparse");
  std::ofstream(sparse).close();
  std::filesystem::resize_file(sparse, 64ull << 20);
  uint64_t bytes = 1;
  ASSERT_EQ(AllocatedSize(sparse.c_str(), &bytes), SizeQuery::kOk);
  EXPECT_LT(bytes, 64ull << 20);

  const std::string full = Path("full");
  std::ofstream(full, std::ios::binary) << std::string(100000, 'f');
  ASSERT_EQ(AllocatedSize(full.c_str(), &bytes), SizeQuery::kOk);
  EXPECT_GE(bytes, 100000u);
  EXPECT_EQ(bytes % 512, 0);

  EXPECT_EQ(AllocatedSize(Path("missing").c_str(), &bytes), SizeQuery::kNotFound);
}

}  // namespace
}  // namespace platform
