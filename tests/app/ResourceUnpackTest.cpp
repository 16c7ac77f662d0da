#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "app/ResourceUnpack.h"
#include "app/package/Base64.h"
#include "tests/support/TempDir.h"

namespace bw::app {
namespace {

TEST(ResourceUnpack, WritesIntoTheFolderDecodingBase64WhenAsked) {
  bw::test::TempDir dir;
  std::string path;
  EXPECT_EQ(UnpackResource("d4:infodee", false, dir.Path("a/b"), "digest", &path), 0);
  EXPECT_EQ(path, dir.Path("a/b") + "/digest");
  EXPECT_EQ(bw::test::TempDir::Read(path), "d4:infodee");
  EXPECT_EQ(UnpackResource(EncodeBase64("[SubmitEventDownload]\n"), true, dir.Path("a"), "dataupload.bwconf", &path),
            0);
  EXPECT_EQ(bw::test::TempDir::Read(path), "[SubmitEventDownload]\n");
}

// A folder that cannot be made sends the file to a private temporary folder; nothing at all to
// write fails both.
TEST(ResourceUnpack, FallsBackToAPrivateTemporaryFolder) {
  bw::test::TempDir dir;
  std::ofstream(dir.Path("file")) << "not a folder";
  std::string path;
  ASSERT_EQ(UnpackResource("torrent", false, dir.Path("file/sub"), "digest", &path), 1);
  EXPECT_EQ(bw::test::TempDir::Read(path), "torrent");
  struct stat folder {};
  ASSERT_EQ(stat(std::filesystem::path(path).parent_path().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  // Again, over the copy it made before.
  EXPECT_EQ(UnpackResource("torrent 2", false, dir.Path("file/sub"), "digest", &path), 1);
  EXPECT_EQ(bw::test::TempDir::Read(path), "torrent 2");
  std::filesystem::remove(path);

  EXPECT_EQ(UnpackResource("", false, dir.Path("ok"), "empty", &path), -1);
  EXPECT_EQ(UnpackResource("not base64!", true, dir.Path("ok"), "conf", &path), -1);
}

}  // namespace
}  // namespace bw::app
