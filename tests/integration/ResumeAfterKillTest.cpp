// The download tool killed outright (no chance to save anything) and run again with the same
// command: the run continues from what reached the disk instead of starting over.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/integration/DownloadFixture.h"

namespace bw::test {
namespace {

class ResumeAfterKillTest : public DownloadFixture {};

// Done bytes at the start of a run: the first report once data flows, which is no less than
// what the run took over from the last one.
int64_t DoneAtStart(const BwgetProcess& run) {
  for (const ProgressLine& line : run.Progress()) {
    if (line.httpBytes > 0) return line.doneBytes;
  }
  return run.DoneBytes();
}

TEST_F(ResumeAfterKillTest, SameCommandFinishesAfterThreeKillsFetchingLittleAgain) {
  const int64_t size = 24 << 20;
  MakeContent(size);
  std::vector<std::string> options{"-t", MakeTorrent(18), "-o", Target(), "--progress", "json",
                                   "--timeout", "20", "--limit", "2400"};  // about ten seconds
  for (int i = 0; i < 3; ++i) options.push_back(MirrorUrl(StartMirror()));

  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> spread(0.0, 0.2);
  const double killAt[] = {0.15 + spread(random), 0.4 + spread(random), 0.65 + spread(random)};

  std::ostringstream story;
  story << "seed " << seed << "\n";
  int64_t sentBefore = 0;
  int64_t unsaved = 0;  // sent by the mirrors to the killed runs but not reported done by them
  for (const double fraction : killAt) {
    std::unique_ptr<BwgetProcess> bwget = StartBwget(options);
    ASSERT_TRUE(bwget->WaitForDone(static_cast<int64_t>(size * fraction), 60000)) << story.str() << bwget->Tail() << MirrorRequests();
    platform::SleepMs(random() % 1000);  // anywhere between two progress reports
    bwget->Signal(SIGKILL);
    ASSERT_EQ(bwget->Wait(10000), 128 + SIGKILL);
    platform::SleepMs(500);  // the mirrors log a request once they see its connection closed
    const int64_t sent = SentByAll() - sentBefore;
    sentBefore += sent;
    const int64_t start = DoneAtStart(*bwget);
    const int64_t done = bwget->DoneBytes();
    unsaved += sent - (done - start);
    story << "run from " << start << " killed at " << done << " done, mirrors sent " << sent << "\n";
  }
  RunBwget(options);
  ExpectTargetIsTheContent();
  StopMirrors();
  const int64_t fetchedAgain = SentByAll() - size;
  story << "final run, mirrors sent " << SentByAll() - sentBefore << "; fetched again " << fetchedAgain
        << ", unsaved at the kills " << unsaved;
  EXPECT_LT(fetchedAgain, size / 2) << story.str();
  // Room for the pieces fetched twice in the end game and what sat in socket buffers at the end.
  EXPECT_LE(fetchedAgain, unsaved + size / 8) << story.str();
}

}  // namespace
}  // namespace bw::test
