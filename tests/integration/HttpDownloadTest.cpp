// HTTP tasks (no torrent: the size comes from the sources, nothing is hashed) and the answers of
// real servers that a download must get through: redirects, 404, a server that ignores Range.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/net/PythonHttpServer.h"

namespace bw::test {
namespace {

constexpr int64_t kSize = (3 << 20) + 12345;  // the last piece short

class HttpDownloadTest : public DownloadFixture {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (!IsSkipped()) MakeContent(kSize);
  }
};

// With -d the file is named after the URL.
TEST_F(HttpDownloadTest, SizeComesFromContentLength) {
  NginxServer& mirror = StartMirror();
  RunBwget({"-d", dir_.Path("out"), "--progress", "none", MirrorUrl(mirror)});
  ExpectTargetIsTheContent();
  EXPECT_NE(lastOutput_.find("not verified"), std::string::npos) << "the user is told nothing is hashed";
}

// A server names the file; with -d it lands in the folder under a plain name, whatever it says.
TEST_F(HttpDownloadTest, ServerChosenNameStaysInsideTheSaveFolder) {
  const std::string names[] = {"../escape.bin", dir_.Path("absolute.bin"), "..", "sub/dir/x.bin"};
  std::string locations;
  for (size_t i = 0; i < std::size(names); ++i) {
    locations += "    location = /named" + std::to_string(i) + " {\n      alias " + dir_.Path("www/") + kName +
                 ";\n      add_header Content-Disposition 'attachment; filename=\"" + names[i] + "\"';\n    }\n";
  }
  NginxServer& mirror = StartMirror(locations);
  for (size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i]);
    const std::string folder = dir_.Path("saved" + std::to_string(i));
    std::filesystem::create_directories(folder);
    RunBwget({"-d", folder, "--progress", "none", mirror.Url("/named" + std::to_string(i))});
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) saved.push_back(entry.path());
    ASSERT_EQ(saved.size(), 1u) << "one file, straight in the folder";
    EXPECT_EQ(saved[0].parent_path(), std::filesystem::path(folder));
    EXPECT_TRUE(TempDir::Read(saved[0].string()) == content_) << saved[0];
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("escape.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("absolute.bin")));
}

// To another server, and to another path of the same server (a source of its own).
TEST_F(HttpDownloadTest, RedirectIsFollowed) {
  NginxServer& target = StartMirror();
  NginxServer& moved =
      StartMirror("    location = /moved.bin { return 302 " + MirrorUrl(target) + "; }", "empty");
  NginxServer& renamed = StartMirror(std::string("    location = /renamed.bin { return 302 /") + kName + "; }");
  for (const std::string& url : {moved.Url("/moved.bin"), renamed.Url("/renamed.bin")}) {
    SCOPED_TRACE(url);
    std::filesystem::remove_all(dir_.Path("out"));
    RunBwget({"-o", Target(), "--progress", "none", "--timeout", "20", url});
    ExpectTargetIsTheContent();
  }
  StopMirrors();
  EXPECT_GE(Answers(moved, 302), 1);
  EXPECT_GE(target.BytesSent(), kSize);
  EXPECT_GE(Answers(renamed, 302), 1);
  EXPECT_GE(renamed.BytesSent(), kSize);
}

// The mirror that answers 404 is retired: asked once, never again.
TEST_F(HttpDownloadTest, MirrorAnsweringNotFoundBesideAGoodOne) {
  NginxServer& empty = StartMirror("", "empty");
  NginxServer& good = StartMirror();
  RunBwget({"-t", MakeTorrent(18), "-o", Target(), "--progress", "none", "--timeout", "20",
            MirrorUrl(empty), MirrorUrl(good)});
  ExpectTargetIsTheContent();
  StopMirrors();
  EXPECT_EQ(Answers(empty, 404), 1);
}

TEST_F(HttpDownloadTest, ServerIgnoringRangeBesideNginxStillGivesTheExactBytes) {
  PythonHttpServer python(dir_.Path("www"), dir_.Path("python.log"));
  ASSERT_TRUE(python.Running()) << "/usr/bin/python3 -m http.server did not start";
  NginxServer& nginx = StartMirror();
  RunBwget({"-o", Target(), "--progress", "none", python.Url(std::string("/") + kName), MirrorUrl(nginx)});
  ExpectTargetIsTheContent();
  EXPECT_NE(python.Log().find("GET /data.bin"), std::string::npos) << "python's server was never asked";
}

// Without a torrent no peer can come: once every source is gone the task fails after its 15 s.
class HttpDownloadSlow : public HttpDownloadTest {};
TEST_F(HttpDownloadSlow, EveryMirrorNotFoundEndsWithNoSources) {
  std::vector<std::string> options{"-o", Target(), "--progress", "none"};
  for (int i = 0; i < 3; ++i) options.push_back(MirrorUrl(StartMirror("", "empty")));
  RunBwget(options, 2, 90000);
  EXPECT_GE(lastSeconds_, 14);
  EXPECT_NE(lastOutput_.find("bwget: 20214: "), std::string::npos) << lastOutput_;
  EXPECT_FALSE(std::filesystem::exists(Target()));
  StopMirrors();
  for (const auto& mirror : mirrors_) EXPECT_GE(Answers(*mirror, 404), 1) << mirror->Url("/");
}

}  // namespace
}  // namespace bw::test
