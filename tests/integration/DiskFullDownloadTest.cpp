// The download tool on a disk that is or becomes full (a tmpfs the test mounts and resizes): the
// user is told the disk is full and that the same command resumes, the task keeps its state, and
// the same command finishes once there is room.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

#include "tests/integration/DownloadFixture.h"
#include "tests/support/TmpfsMount.h"

namespace bw::test {
namespace {

class DiskFullDownloadTest : public DownloadFixture {
 protected:
  // The output folder on a tmpfs of `size`.
  bool MountOutput(const std::string& size) {
    disk_ = std::make_unique<TmpfsMount>(dir_.Path("out"), size);
    return disk_->Mounted();
  }

  // Takes every byte left on the output's file system.
  void FillTheDisk() {
    const int fd = ::open(dir_.Path("out/filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(dir_.Path("out").c_str(), &fs), 0);
    ::posix_fallocate(fd, 0, static_cast<off_t>(fs.f_bavail * fs.f_frsize));
    const std::string page(4096, 'f');
    while (::write(fd, page.data(), page.size()) > 0) {
    }
    ::close(fd);
  }

  std::string InfoFile() const { return Target() + ".bwinfo"; }

  std::unique_ptr<TmpfsMount> disk_;
};

TEST_F(DiskFullDownloadTest, TooSmallADiskSaysSoAndTheSameCommandFinishesOnceThereIsRoom) {
  MakeContent(8 << 20);
  if (!MountOutput("4m")) GTEST_SKIP() << "cannot mount a tmpfs here";
  NginxServer& mirror = StartMirror();
  const std::vector<std::string> options{"-t",   MakeTorrent(18),  "-o", Target(), "--progress",
                                         "none", MirrorUrl(mirror)};
  RunBwget(options, 2);
  EXPECT_NE(lastOutput_.find("bwget: 20210: the disk is full; the same command resumes from " + InfoFile()),
            std::string::npos)
      << lastOutput_;
  ASSERT_TRUE(disk_->Resize("16m"));
  RunBwget(options);
  ExpectTargetIsTheContent();
}

// The disk fills up under a running download (its file was allocated whole before), and the user
// stops it: the state it had saved stays, and the same command fetches again only the pieces
// that were still arriving.
TEST_F(DiskFullDownloadTest, StopOnAFullDiskKeepsTheStateSavedBefore) {
  const int64_t size = 16 << 20;
  MakeContent(size);
  if (!MountOutput("24m")) GTEST_SKIP() << "cannot mount a tmpfs here";
  const int pieceLog = 18;
  NginxServer& mirror = StartMirror("    limit_rate 2m;");
  // One connection: the slow mirror leaves the run time to meet the full disk.
  const std::vector<std::string> options{"-t",   MakeTorrent(pieceLog), "-o", Target(), "--progress",
                                         "json", "--max-sources", "1", MirrorUrl(mirror)};
  std::unique_ptr<BwgetProcess> first = StartBwget(options);
  ASSERT_TRUE(first->WaitForReceived(size / 2, 30000)) << first->Tail();
  FillTheDisk();
  platform::SleepMs(300);
  first->Signal(SIGTERM);
  ASSERT_EQ(first->Wait(30000), 130) << first->Tail();
  EXPECT_NE(TempDir::Read(InfoFile()).find("4:bits"), std::string::npos) << "the record saved before stays";

  std::filesystem::remove(dir_.Path("out/filler"));
  platform::SleepMs(500);  // the mirror logs a request once it sees its connection closed
  const int64_t sentToTheFirst = mirror.BytesSent();
  std::unique_ptr<BwgetProcess> second = StartBwget(options);
  ASSERT_EQ(second->Wait(60000), 0) << second->Tail();
  ExpectTargetIsTheContent();
  StopMirrors();
  // What the first run had was found again: the second fetched the rest, and the pieces that
  // were arriving at the stop. Counted from what the first read, not from what the mirror sent:
  // a slow stop leaves megabytes unread in the socket buffers.
  const int64_t readByTheFirst = first->Progress().back().httpBytes;
  EXPECT_LE(mirror.BytesSent() - sentToTheFirst, size - readByTheFirst + (2 << pieceLog) + (2 << 20))
      << first->Tail() << second->Tail();
}

}  // namespace
}  // namespace bw::test
