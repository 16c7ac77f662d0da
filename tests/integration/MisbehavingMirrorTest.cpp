// Mirrors that misbehave beside honest nginx ones: the download ends with the exact bytes at the
// pace of the good mirrors, and the bad one is asked no more than its failures deserve.
#include <gtest/gtest.h>

#include <atomic>
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

// Mirrors answering 503 beside a good one (the task held to 1 MiB/s, so that the download takes
// about four seconds): neither is asked again within its back-off, the one its Retry-After gives
// or a minute without one, although the work it was given waits.
TEST_F(MisbehavingMirrorTest, BusyMirrorsAreAskedAgainOnlyAfterTheirBackOff) {
  MakeContent(4 << 20);
  const auto busy = [](const std::string& retryAfter) {
    return [retryAfter](int fd, const ScriptedRequest&) {
      return WriteAll(fd, "HTTP/1.1 503 Service Unavailable\r\n" + retryAfter + "Content-Length: 0\r\n\r\n");
    };
  };
  ScriptedMirror retryAfter(busy("Retry-After: 30\r\n"));
  ScriptedMirror nominal(busy(""));
  std::vector<std::string> options = Options(10);
  options.insert(options.end(), {"--limit", "1024"});
  for (ScriptedMirror* mirror : {&retryAfter, &nominal}) options.push_back(mirror->Url(std::string("/") + kName));
  options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  ASSERT_GE(lastSeconds_, 3) << "too quick to show a back-off";
  EXPECT_EQ(retryAfter.Requests().size(), 1u);
  EXPECT_EQ(nominal.Requests().size(), 1u);
}

// A mirror whose answers start 16 KiB after the offset asked for, with the bytes of where they say
// they start: asked once, backed off for its failure, instead of being asked again at once for as
// long as the download takes.
TEST_F(MisbehavingMirrorTest, MirrorAnsweringAnotherRangeStartIsNotAskedAgainAndAgain) {
  MakeContent(16 << 20);
  const std::string& content = content_;
  ScriptedMirror late([&content](int fd, const ScriptedRequest& request) {
    const int64_t start = request.rangeStart + 16384;
    return ScriptedMirror::SendRange(fd, content, start, request.rangeEnd);
  });
  std::vector<std::string> options = Options(10);
  options.insert(options.end(), {"--limit", "4096"});  // about four seconds
  options.push_back(late.Url(std::string("/") + kName));
  options.push_back(MirrorUrl(StartMirror()));
  RunBwget(options);
  ExpectTargetIsTheContent();
  EXPECT_EQ(late.Requests().size(), 1u);
}

// The only mirror's first connection sends half of what it was asked and then holds the
// connection without a further byte (its body time-out is 30 s): another connection to it takes
// the work over within seconds.
TEST_F(MisbehavingMirrorTest, OnlyMirrorWhoseConnectionStallsFinishesOverAnotherConnection) {
  MakeContent(1 << 18);  // one piece: the stalled connection's range is all the work
  const std::string& content = content_;
  std::atomic<int> answered{0};
  ScriptedMirror stalling([&content, &answered](int fd, const ScriptedRequest& request) {
    if (answered++ > 0) return ScriptedMirror::SendRange(fd, content, request.rangeStart, request.rangeEnd);
    const int64_t end = request.rangeEnd < 0 ? static_cast<int64_t>(content.size()) - 1 : request.rangeEnd;
    ScriptedMirror::SendRange(fd, content, request.rangeStart, end, -1, (end - request.rangeStart + 1) / 2);
    return ScriptedMirror::Silent(fd, request);
  });
  std::vector<std::string> options = Options(10);
  options.push_back(stalling.Url(std::string("/") + kName));
  RunBwget(options);
  ExpectTargetIsTheContent();
  EXPECT_GE(answered.load(), 2) << "no connection stalled: nothing was tested";
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
