// Mirrors that misbehave beside honest nginx ones: the download ends with the exact bytes at the
// pace of the good mirrors, and the bad one is asked no more than its failures deserve.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/integration/DownloadFixture.h"
#include "tests/integration/ScriptedMirror.h"

namespace bw::test {
namespace {

class MisbehavingMirrorTest : public DownloadFixture {
 protected:
  // Options of a P2SP task whose pieces are 256 KiB; it fails once nothing arrives for `stall`
  // seconds.
  std::vector<std::string> Options(int stallSeconds) {
    return {"-t", MakeTorrent(18), "-o", Target(), "--progress", "json", "--timeout", std::to_string(stallSeconds)};
  }
};

// A mirror that takes the connection and never answers holds whatever it was given: the good
// mirrors take its work over instead of waiting for its time-out, and the download never stalls
// (the silent mirror's header time-out is 15 s).
TEST_F(MisbehavingMirrorTest, SilentMirrorBesideTwoGoodOnesNeverStallsTheDownload) {
  MakeContent(32 << 20);
  ScriptedMirror silent(ScriptedMirror::Silent);
  std::vector<std::string> options = Options(5);
  options.push_back(silent.Url(std::string("/") + kName));
  for (int i = 0; i < 2; ++i) options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  EXPECT_GE(silent.Requests().size(), 1u) << "the silent mirror was never asked: nothing was tested";
}

// A slow mirror (200 KB/s) beside a fast one: once the fast one runs out of work it takes over the
// slow one's remaining pieces, fetching again the piece the slow one is on, instead of waiting
// seconds for each piece (1 MiB) the slow mirror still holds.
TEST_F(MisbehavingMirrorTest, SlowMirrorBesideAFastOneNeverHoldsTheDownloadBack) {
  MakeContent(16 << 20);
  std::vector<std::string> options{"-t", MakeTorrent(20), "-o", Target(), "--progress", "json", "--timeout", "4"};
  options.push_back(MirrorUrl(StartMirror("    limit_rate 200k;")));
  options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
}

}  // namespace
}  // namespace bw::test
