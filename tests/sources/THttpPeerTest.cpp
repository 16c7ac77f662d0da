#include "engine/sources/THttpPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/net/QSocket.h"
#include "engine/net/TlsSession.h"
#include "engine/sources/SourceAddress.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/NginxServer.h"
#include "tests/net/PythonHttpServer.h"
#include "tests/net/TestCertificate.h"
#include "tests/sources/FakePeerTask.h"
#include "tests/sources/TestResolver.h"
#include "tests/sources/UrlSourceSupport.h"
#include "tests/support/Require.h"

namespace bw {
namespace {

using test::FakePeerTask;

constexpr int64_t kFileLength = 1000000;  // 16 pieces, the last one short
constexpr int64_t kPieceLength = 65536;

using test::Download;
using test::Source;
using test::StepUntilFailure;

TEST(THttpPeerRequestTest, RequestText) {
  EXPECT_EQ(THttpPeer::BuildRequest("example.org", "/d/f.bin?x=1", 0, "http://example.org/d"),
            "GET /d/f.bin?x=1 HTTP/1.1\r\n"
            "Host:example.org\r\n"
            "Accept:*/*\r\n"
            "Referer: http://example.org/d\r\n"
            "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Brightwillow/1.0.3\r\n"
            "Connection:Keep-Alive\r\n"
            "Pragma: no-cache\r\n"
            "Cache-Control: no-cache\r\n"
            "\r\n");
  const std::string ranged = THttpPeer::BuildRequest("h", "/f", 100 * 16384, "r");
  EXPECT_NE(ranged.find("\r\nConnection:Keep-Alive\r\nRange: bytes=1638400-\r\nPragma: no-cache\r\n"),
            std::string::npos);
  EXPECT_NE(THttpPeer::BuildRequest("h", "/f", 5000000000, "r").find("Range: bytes=5000000000-\r\n"),
            std::string::npos);
}

// ---- a real nginx, and python's server that ignores ranges ----

class RealServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(task_.loaded);
    www_ = task_.ServedFolder();
  }

  // With tls, over HTTPS with a certificate of an authority the test makes and trusts.
  void StartNginx(bool tls = false) {
    if (!test::NginxServer::Installed()) GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs it)";
    const std::string tlsFolder = tls ? task_.dir.path + "tls" : "";
    if (tls) {
      ASSERT_TRUE(test::MakeSignedCertificate(task_.dir.path + "ca", tlsFolder));
      ASSERT_TRUE(TlsSession::SetExtraAuthorities(task_.dir.path + "ca/ca.pem"));
      scheme_ = "https";
    }
    nginx_ = std::make_unique<test::NginxServer>(
        www_, task_.dir.path + "nginx",
        "    location = /old { return 302 /data.bin; }\n"
        "    location = /named.bin {\n      alias " + www_ + "data.bin;\n"
        "      add_header Content-Disposition 'attachment; filename=\"../x y.bin\"; size=1';\n    }",
        "127.0.0.1", tlsFolder);
    ASSERT_TRUE(nginx_->Running()) << "nginx did not start: " << nginx_->ErrorLog();
    port_ = nginx_->Port();
  }
  void TearDown() override { TlsSession::SetExtraAuthorities(""); }

  void StartPython() {
    python_ = std::make_unique<test::PythonHttpServer>(www_, task_.dir.path + "python.out");
    ASSERT_TRUE(python_->Running()) << "python3 -m http.server did not start";
    port_ = python_->Port();
  }

  std::string Address(const std::string& path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
  }

  FakePeerTask task_{kFileLength, kPieceLength};
  std::string www_;
  uint16_t port_ = 0;
  std::string scheme_ = "http";
  std::unique_ptr<test::NginxServer> nginx_;
  std::unique_ptr<test::PythonHttpServer> python_;
};

// A task that can hand out work asks a fresh source for its part at once, and only for that
// part. An answer from the start is read on while the wanted piece lies within 128 KiB; further
// ahead a ranged request replaces it; behind the stream piece 0 is asked for again.
TEST_F(RealServerTest, NginxServesRangesIntoThePieceMap) {
  BW_REQUIRE(StartNginx());
  struct Case {
    int32_t firstPiece;
    bool connectUnscheduled;
    int32_t reconnects;
  };
  for (const Case c : {Case{1, true, 1}, Case{8, true, 2}, Case{8, false, 1}}) {
    SCOPED_TRACE(testing::Message() << c.firstPiece << (c.connectUnscheduled ? " unscheduled" : " scheduled"));
    FakePeerTask task(kFileLength, kPieceLength);
    std::ofstream(www_ + "data.bin", std::ios::binary) << task.content;
    const size_t logged = nginx_->Requests().size();
    task.initialRanges = {{c.firstPiece, 15}};
    Source source(Address("/data.bin"));
    ASSERT_TRUE(source.parsed);
    THttpPeer peer(&task);
    EXPECT_TRUE(Download(peer, task, source.id, c.connectUnscheduled));
    EXPECT_EQ(source.Url().fileSize, kFileLength);
    EXPECT_EQ(source.Url().fileName, "data.bin");
    EXPECT_FALSE(source.Url().rangesIgnored);
    EXPECT_EQ(task.kindBytes[SOURCE_HTTP], kFileLength);
    const std::vector<test::AccessEntry> all = nginx_->Requests();
    const std::vector<test::AccessEntry> requests(all.begin() + logged, all.end());
    const auto answered = [&requests](int status) {
      return std::count_if(requests.begin(), requests.end(), [status](const test::AccessEntry& e) { return e.status == status; });
    };
    int64_t sent = 0;
    for (const test::AccessEntry& e : requests) sent += e.bytesSent;
    EXPECT_EQ(answered(200), c.connectUnscheduled ? 1 : 0);
    EXPECT_EQ(answered(206), c.reconnects + (c.connectUnscheduled ? 0 : 1));
    // Piece 0 lies behind the stream at the end: one request from the start again.
    EXPECT_EQ(source.Url().reconnects, c.reconnects);
    // Ranges that end where the work does: the server sends nothing beyond them.
    if (!c.connectUnscheduled) {
      EXPECT_EQ(sent, kFileLength);
    }
  }
}

// A file with some pieces already held (as when a repair finds one bad piece): only the rest is
// sent. A held piece short enough to read over stays inside a request; a longer run of held
// pieces, and the held pieces at the range's end, are never asked for.
TEST_F(RealServerTest, PiecesAlreadyHeldAreNotAskedFor) {
  BW_REQUIRE(StartNginx());
  FakePeerTask task(kFileLength, kPieceLength);
  std::ofstream(www_ + "data.bin", std::ios::binary) << task.content;
  for (int64_t piece : {1, 4, 5, 6, 12, 13, 14, 15}) {
    const int64_t start = piece * kPieceLength;
    const int64_t end = std::min(start + kPieceLength, kFileLength);
    for (int64_t offset = start; offset < end; offset += kBlockSize) {
      const auto length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, end - offset));
      bool accepted = false;
      ASSERT_EQ(task.map.ReceiveBlock(offset / kBlockSize, length, task.Data(offset / kBlockSize), nullptr, &accepted),
                length);
    }
  }
  task.map.FlushPieces();
  const size_t logged = nginx_->Requests().size();
  task.initialRanges = {{0, 15}};
  Source source(Address("/data.bin"));
  THttpPeer peer(&task);
  EXPECT_TRUE(Download(peer, task, source.id));
  const std::vector<test::AccessEntry> all = nginx_->Requests();
  std::vector<std::string> ranges;
  int64_t sent = 0;
  for (size_t k = logged; k < all.size(); ++k) {
    ranges.push_back(all[k].range);
    sent += all[k].bytesSent;
  }
  EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=0-262143", "bytes=458752-786431"}));
  EXPECT_EQ(sent, 9 * kPieceLength);  // the eight missing pieces and piece 1, read over
}

// Connections of one source dialled together all answer while another is open: the size is
// still learned, and each goes on past its first piece to the end of its range.
TEST_F(RealServerTest, ConnectionsDialledTogetherEachFinishTheirRange) {
  BW_REQUIRE(StartNginx());
  FakePeerTask task(kFileLength, kPieceLength);
  std::ofstream(www_ + "data.bin", std::ios::binary) << task.content;
  task.initialRanges = {{0, 7}, {8, 15}};
  Source source(Address("/data.bin"));
  THttpPeer first(&task);
  THttpPeer second(&task);
  ASSERT_TRUE(first.ConnectTo(source.id));
  ASSERT_TRUE(second.ConnectTo(source.id));
  ASSERT_EQ(source.id->activeConnections, 2);
  // A connection whose range is done and finds nothing else lets go (finished).
  bool going[] = {true, true};
  THttpPeer* peers[] = {&first, &second};
  for (int i = 0; i < 5000 && !task.map.IsComplete(); ++i) {
    for (int k = 0; k < 2; ++k) {
      if (going[k] && !peers[k]->DownloadStep()) {
        ASSERT_EQ(peers[k]->workState, TPeerObject::kFinished) << "connection " << k;
        going[k] = false;
      }
    }
    task.map.FlushPieces();
    platform::SleepMs(1);
  }
  EXPECT_EQ(source.Url().fileSize, kFileLength);
  EXPECT_TRUE(task.map.IsComplete());
  first.Reset();
  second.Reset();
}

TEST_F(RealServerTest, ServerIgnoringRangesStillGivesTheRightBytes) {
  StartPython();
  task_.initialRanges = {{8, 15}};
  Source source(Address("/data.bin"));
  THttpPeer peer(&task_);
  EXPECT_TRUE(Download(peer, task_, source.id));
  EXPECT_TRUE(source.Url().rangesIgnored);
  EXPECT_EQ(task_.kindBytes[SOURCE_HTTP], kFileLength);
}

TEST_F(RealServerTest, WholeBodyTakesTheDispositionNameAsAPlainName) {
  BW_REQUIRE(StartNginx());
  Source source(Address("/named.bin"));
  source.Url().wholeBody = true;
  source.Url().sourceClass = 1;
  THttpPeer peer(&task_);
  ASSERT_TRUE(peer.ConnectTo(source.id));
  EXPECT_EQ(task_.taskState, 2);
  for (int i = 0; i < 3000 && !source.Url().downloadComplete; ++i) {
    ASSERT_TRUE(peer.DownloadStep());
    platform::SleepMs(1);
  }
  EXPECT_TRUE(source.Url().downloadComplete);
  EXPECT_TRUE(source.Url().body == task_.content);
  EXPECT_EQ(source.Url().fileName, "x y.bin");
  EXPECT_EQ(task_.kindBytes[SOURCE_HTTP], 0);  // nothing went to the piece map
  peer.Reset();
}

TEST_F(RealServerTest, RedirectAddsTheTargetAndNotFoundRetires) {
  BW_REQUIRE(StartNginx());
  {
    Source source(Address("/old"));
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.id));
    EXPECT_TRUE(StepUntilFailure(peer));
    EXPECT_EQ(peer.workState, TPeerObject::kFinished);
    EXPECT_TRUE(source.Url().redirected);
    ASSERT_EQ(task_.added.size(), 1u);
    EXPECT_EQ(task_.added[0].first, Address("/data.bin"));
    EXPECT_EQ(task_.added[0].second, 28);
    EXPECT_TRUE(task_.removed.empty());
    peer.Reset();
  }
  {
    Source source(Address("/missing.bin"));
    THttpPeer peer(&task_);
    ASSERT_TRUE(peer.ConnectTo(source.id));
    EXPECT_TRUE(StepUntilFailure(peer));
    ASSERT_EQ(task_.removed.size(), 1u);
    EXPECT_EQ(task_.removed[0], source.id);
    peer.Reset();
  }
}

// Over HTTPS the same: ranges into the piece map, a relative redirect that stays on https; and
// a certificate no authority vouches for ends the source with the task told why.
TEST_F(RealServerTest, HttpsMirrorServesRedirectsAndRefuses) {
  BW_REQUIRE(StartNginx(true));
  {
    Source source(Address("/data.bin"));
    ASSERT_TRUE(source.Url().tls);
    THttpPeer peer(&task_);
    EXPECT_TRUE(Download(peer, task_, source.id));
    EXPECT_EQ(task_.kindBytes[SOURCE_HTTP], kFileLength);
  }
  {
    FakePeerTask task(kFileLength, kPieceLength);
    Source source(Address("/old"));
    THttpPeer peer(&task);
    ASSERT_TRUE(peer.ConnectTo(source.id));
    EXPECT_TRUE(StepUntilFailure(peer));
    ASSERT_EQ(task.added.size(), 1u);
    EXPECT_EQ(task.added[0].first, Address("/data.bin"));
    peer.Reset();
  }
  ASSERT_TRUE(TlsSession::SetExtraAuthorities(""));
  {
    FakePeerTask task(kFileLength, kPieceLength);
    Source source(Address("/data.bin"));
    THttpPeer peer(&task);
    // On loopback the handshake may end within the connect's first send.
    if (peer.ConnectTo(source.id)) {
      EXPECT_TRUE(StepUntilFailure(peer));
    }
    EXPECT_EQ(task.errorCode, THttpPeer::kCertificateRefused);
    ASSERT_EQ(task.removed.size(), 1u);
    EXPECT_EQ(task.removed[0], source.id);
    EXPECT_EQ(peer.workState, TPeerObject::kFinished);
    peer.Reset();
  }
}

// ---- a scripted server for answers real servers do not give on request ----

class ScriptedServerTest : public ::testing::Test {
 protected:
  // Serves `reply` to every request; closes the connection afterwards when asked to.
  void Serve(std::string reply, bool close) {
    reply_ = std::move(reply);
    server_ = std::make_unique<test::LoopbackServer>([this, close](int fd) {
      const std::string request = test::ReadUntil(fd, "\r\n\r\n");
      {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
      }
      test::WriteAll(fd, reply_);
      if (close) ::shutdown(fd, SHUT_RDWR);
    });
    source_ = std::make_unique<Source>("http://127.0.0.1:" + std::to_string(server_->Port()) + "/d/f.bin");
    ASSERT_TRUE(source_->parsed);
  }
  void TearDown() override {
    peer_.Reset();
    task_.map.Reset();  // pieces in progress hold the peer, which lives in this fixture
    server_.reset();
  }
  std::string Port() const { return std::to_string(server_->Port()); }

  FakePeerTask task_{kFileLength, kPieceLength};
  THttpPeer peer_{&task_};
  std::string reply_;
  std::mutex lock_;
  std::vector<std::string> requests_;
  std::unique_ptr<test::LoopbackServer> server_;
  std::unique_ptr<Source> source_;
};

TEST_F(ScriptedServerTest, FirstRequestNamesPathHostAndReferer) {
  Serve("HTTP/1.1 404 Not Found\r\n\r\n", false);
  task_.canSchedule = false;  // a fresh source of a task that does not know its size yet
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  std::lock_guard<std::mutex> g(lock_);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].rfind("GET /d/f.bin HTTP/1.1\r\nHost:127.0.0.1\r\n", 0), 0u) << requests_[0];
  EXPECT_NE(requests_[0].find("Referer: http://127.0.0.1:" + Port() + "/d\r\n"), std::string::npos);
  EXPECT_EQ(requests_[0].find("Range:"), std::string::npos);
}

TEST_F(ScriptedServerTest, RelativeRedirectBecomesAbsoluteWithThePort) {
  Serve("HTTP/1.1 302 Found\r\nLocation: new/f.exe\r\n\r\n", false);
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  ASSERT_EQ(task_.added.size(), 1u);
  EXPECT_EQ(task_.added[0].first, "http://127.0.0.1:" + Port() + "/new/f.exe");
}

TEST_F(ScriptedServerTest, RepeatedOrEndlessRedirectsRemoveTheSource) {
  Serve("HTTP/1.1 302 Found\r\nLocation: /same\r\n\r\n", false);
  int attempts = 0;
  while (task_.removed.empty() && attempts < 10) {
    ++attempts;
    ASSERT_TRUE(peer_.ConnectTo(source_->id));
    EXPECT_TRUE(StepUntilFailure(peer_));
    peer_.Reset();
  }
  EXPECT_EQ(attempts, 4);  // the first sets the target; the fourth is its third repeat
  EXPECT_EQ(task_.added.size(), 3u);

  // A chain of ever new targets ends too: every hop carries the count on.
  task_.removed.clear();
  task_.added.clear();
  Source hop("http://127.0.0.1:" + Port() + "/hop");
  hop.Url().redirectCount = THttpPeer::kMaxRedirects;
  ASSERT_TRUE(peer_.ConnectTo(hop.id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  EXPECT_EQ(task_.removed.size(), 1u);
  EXPECT_TRUE(task_.added.empty());
}

TEST_F(ScriptedServerTest, RedirectToAHostThatDoesNotResolve) {
  test::TestResolver();  // nosuch.test is unknown to it
  Serve("HTTP/1.1 301 Moved\r\nLocation: http://nosuch.test/f.exe\r\n\r\n", false);
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  EXPECT_EQ(task_.errorCode, THttpPeer::kRedirectLookupFailed);
  EXPECT_EQ(task_.lookupFailures, 1);
  EXPECT_TRUE(task_.added.empty());
}

TEST_F(ScriptedServerTest, FailingAnswersPenaliseTheSource) {
  struct Case {
    std::string reply;
    int32_t backOff;  // 0: none
  };
  std::string huge = "HTTP/1.1 200 OK\r\n";
  while (huge.size() < 20000) huge += "X-Filler: 0123456789012345678901234567890123456789\r\n";
  const Case cases[] = {
      {"HTTP/1.1 503 Busy\r\n\r\n", 60},
      {"HTTP/1.1 503 Busy\r\nRetry-After: 5\r\n\r\n", 5},
      {"HTTP/1.1 503 Busy\r\nRetry-After: 0\r\n\r\n", 1},
      {"HTTP/1.1 503 Busy\r\nRetry-After: 999999\r\n\r\n", 3600},
      {"HTTP/1.1 429 Slow Down\r\nRetry-After: 7\r\n\r\n", 7},
      {"HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n", 60},  // not the task's size
      {"HTTP/1.1 200 OK\r\n\r\n", 0},                          // no length at all
      {"HTTP/1.1 206 Partial\r\nTransfer-Encoding: chunked\r\nContent-Range: bytes 0-9/" +
           std::to_string(kFileLength) + "\r\n\r\n",
       60},  // framing inside the body
      {"HTTP/1.1 101 Switching\r\n\r\n", 0},
      {huge, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 40));
    task_.penalties.clear();
    Serve(c.reply, false);
    ASSERT_TRUE(peer_.ConnectTo(source_->id));
    EXPECT_TRUE(StepUntilFailure(peer_));
    if (c.backOff) {
      ASSERT_EQ(task_.penalties.size(), 1u);
      EXPECT_EQ(task_.penalties[0].second, c.backOff);
    } else {
      EXPECT_TRUE(task_.penalties.empty());
    }
    peer_.Reset();
    server_.reset();
  }
}

TEST_F(ScriptedServerTest, SilentServerTimesOut) {
  Serve("", false);
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  ASSERT_TRUE(peer_.DownloadStep());
  task_.now += 16;
  EXPECT_FALSE(peer_.DownloadStep());
  EXPECT_EQ(peer_.workState, TPeerObject::kTimedOut);
  ASSERT_EQ(task_.penalties.size(), 1u);
  EXPECT_EQ(task_.penalties[0].second, 15);
}

// A server may answer with less than the range asked for: the rest is asked for anew from where
// its answer ended, instead of waiting for bytes that never come.
TEST_F(ScriptedServerTest, ShortRangeAnswerIsFollowedByANewRequest) {
  const std::string block = task_.content.substr(0, kBlockSize);
  Serve("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-16383/" + std::to_string(kFileLength) +
            "\r\nContent-Length: 16384\r\n\r\n" + block,
        false);
  task_.initialRanges = {{0, 15}};
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  for (int i = 0; i < 3000; ++i) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (requests_.size() >= 2) break;
    }
    if (!peer_.DownloadStep()) break;
    platform::SleepMs(1);
  }
  std::lock_guard<std::mutex> g(lock_);
  ASSERT_GE(requests_.size(), 2u);
  EXPECT_NE(requests_[0].find("Range: bytes=0-" + std::to_string(kFileLength - 1) + "\r\n"), std::string::npos)
      << requests_[0];
  EXPECT_NE(requests_[1].find("Range: bytes=16384-"), std::string::npos) << requests_[1];
  EXPECT_TRUE(task_.map.HasBlock(0, 0, kBlockSize));
}

// An answer whose range starts elsewhere than asked would start there again: the source is
// backed off by a minute, and retired when it does so a second time.
TEST_F(ScriptedServerTest, AnswerStartingElsewhereThanAskedIsAFailureOfTheSource) {
  Serve("HTTP/1.1 206 Partial\r\nContent-Range: bytes 16384-32767/" + std::to_string(kFileLength) +
            "\r\nContent-Length: 16384\r\n\r\n" + task_.content.substr(16384, 16384),
        false);
  task_.initialRanges = {{0, 15}};
  for (int answer = 1; answer <= 2; ++answer) {
    SCOPED_TRACE(answer);
    ASSERT_TRUE(peer_.ConnectTo(source_->id));
    EXPECT_TRUE(StepUntilFailure(peer_));
    peer_.Reset();
  }
  std::lock_guard<std::mutex> g(lock_);
  EXPECT_EQ(requests_.size(), 2u) << "no request beyond one per connection";
  ASSERT_EQ(task_.penalties.size(), 1u);
  EXPECT_EQ(task_.penalties[0].second, 60);
  ASSERT_EQ(task_.removed.size(), 1u);
  EXPECT_EQ(task_.removed[0], source_->id);
  EXPECT_FALSE(task_.map.HasBlock(1, 0, kBlockSize)) << "nothing of the answer was taken";
}

// Another connection completes the piece this one is receiving (the end game gives a piece to
// two): it goes on with its next piece at once, or lets go when there is none, instead of
// holding its range and its source's connection silent until it times out.
TEST_F(ScriptedServerTest, PieceCompletedElsewhereMidRunMovesTheConnectionOn) {
  Serve("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-" + std::to_string(kFileLength - 1) + "/" +
            std::to_string(kFileLength) + "\r\nContent-Length: " + std::to_string(kFileLength) + "\r\n\r\n" +
            task_.content.substr(0, kBlockSize),
        false);
  struct Case {
    const char* name;
    int32_t rangeLast;
    bool goesOn;
  };
  for (const Case& c : {Case{"more work in its range", 15, true}, Case{"nothing left in the task", 0, false}}) {
    SCOPED_TRACE(c.name);
    task_.map.Reset();
    task_.Load(kFileLength, kPieceLength, test::PieceHashes(task_.content, kPieceLength));
    task_.ranges.clear();
    task_.initialRanges = {{0, c.rangeLast}};
    for (int64_t piece = c.rangeLast + 1; !c.goesOn && piece < task_.map.PieceCount(); ++piece) {
      ASSERT_TRUE(task_.map.SetPieceState(piece, true));
    }
    ASSERT_TRUE(peer_.ConnectTo(source_->id));
    for (int i = 0; i < 3000 && !task_.map.HasBlock(0, 0, kBlockSize); ++i) {
      ASSERT_TRUE(peer_.DownloadStep());
      platform::SleepMs(1);
    }
    ASSERT_TRUE(task_.map.HasBlock(0, 0, kBlockSize));
    for (int64_t block = 1; block < kPieceLength / kBlockSize; ++block) {
      bool accepted = false;
      task_.map.ReceiveBlock(block, kBlockSize, task_.Data(block), nullptr, &accepted);
    }
    ASSERT_TRUE(task_.map.Piece(0).Verified);
    peer_.CancelPiece(0);
    const bool stepped = peer_.DownloadStep();
    EXPECT_EQ(stepped, c.goesOn);
    if (c.goesOn) {
      ASSERT_FALSE(peer_.Requests().empty());
      EXPECT_EQ(peer_.Requests().front().block, kPieceLength / kBlockSize) << "the first block of piece 1";
    } else {
      EXPECT_EQ(peer_.workState, TPeerObject::kFinished);
    }
    peer_.Reset();
  }
}

// Once its work is done and the task has none left for it, the source lets its connection go
// instead of idling on it into a time-out; that is no failure of the source.
TEST_F(ScriptedServerTest, SourceWithNothingLeftLetsItsConnectionGo) {
  Serve("HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-" + std::to_string(kFileLength - 1) + "/" +
            std::to_string(kFileLength) + "\r\nContent-Length: " + std::to_string(kFileLength) + "\r\n\r\n" +
            task_.content,
        false);
  task_.initialRanges = {{0, static_cast<int32_t>(task_.map.PieceCount() - 1)}};
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  EXPECT_EQ(peer_.workState, TPeerObject::kFinished);
  EXPECT_TRUE(task_.penalties.empty());
  EXPECT_TRUE(task_.map.AllVerified());
}

// The body waits while the task's budget for the cycle is spent; the header is read regardless.
TEST_F(ScriptedServerTest, BodyWaitsForTheDownloadBudget) {
  Serve("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false);
  source_->Url().wholeBody = true;
  task_.budget = 0;
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  for (int i = 0; i < 3000 && !peer_.headerReceived; ++i) {
    ASSERT_TRUE(peer_.DownloadStep());
    platform::SleepMs(1);
  }
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(peer_.DownloadStep());
  EXPECT_TRUE(source_->Url().body.empty());
  task_.budget = 1 << 20;
  ASSERT_TRUE(peer_.DownloadStep());
  EXPECT_TRUE(source_->Url().downloadComplete);
  EXPECT_EQ(source_->Url().body, "hello");
}

// A body received straight into the piece memory: bursts that end inside blocks and cross
// piece ends, and a first connection that drops inside a block, still give the exact file; the
// source is asked again from the block the drop cut short.
TEST_F(ScriptedServerTest, BodyInBurstsAndADropMidBlockGiveTheExactFile) {
  constexpr size_t kDropAfter = 100000;  // inside piece 1, inside its third block
  const std::string& content = task_.content;
  server_ = std::make_unique<test::LoopbackServer>([this, &content](int fd) {
    const bool dropping = server_->Connections() == 1;
    for (;;) {
      const std::string request = test::ReadUntil(fd, "\r\n\r\n");
      if (request.empty()) return;
      {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
      }
      size_t first = 0;
      size_t last = content.size() - 1;
      if (const size_t at = request.find("Range: bytes="); at != std::string::npos) {
        std::istringstream range(request.substr(at + 13));
        char dash = 0;
        range >> first >> dash;
        if (range.peek() != '\r') range >> last;
      }
      if (!test::WriteAll(fd, "HTTP/1.1 206 Partial\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                  std::to_string(last) + "/" + std::to_string(content.size()) +
                                  "\r\nContent-Length: " + std::to_string(last + 1 - first) + "\r\n\r\n")) {
        return;
      }
      const size_t end = dropping ? std::min(last + 1, first + kDropAfter) : last + 1;
      const size_t bursts[] = {7001, 1, 20000, 16384, 333, 40000};
      for (size_t at = first, i = 0; at < end; ++i) {
        const size_t n = std::min(bursts[i % std::size(bursts)], end - at);
        if (!test::WriteAll(fd, content.substr(at, n))) return;
        at += n;
        platform::SleepMs(1);
      }
      if (dropping) {
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
    }
  });
  source_ = std::make_unique<Source>("http://127.0.0.1:" + Port() + "/d/f.bin");
  task_.initialRanges = {{0, static_cast<int32_t>(task_.map.PieceCount() - 1)}};
  // Stepped with a pause each time, as the server's bursts come: the helpers that step at once
  // while data flows would give up before the trickle ends.
  ASSERT_TRUE(peer_.ConnectTo(source_->id));
  for (int i = 0; i < 10000 && !task_.map.IsComplete(); ++i) {
    if (!peer_.DownloadStep() && peer_.workState != TPeerObject::kFinished) {
      peer_.Reset();
      ASSERT_TRUE(peer_.ConnectTo(source_->id));
    }
    task_.map.FlushPieces();
    platform::SleepMs(1);
  }
  peer_.Reset();
  task_.map.CloseFiles(true, true);
  EXPECT_TRUE(test::ReadFile(task_.dir.path + "data.bin") == content);
  std::lock_guard<std::mutex> g(lock_);
  ASSERT_GE(requests_.size(), 2u);
  EXPECT_NE(requests_[1].find("Range: bytes=" + std::to_string(kDropAfter / kBlockSize * kBlockSize) + "-"),
            std::string::npos)
      << requests_[1];
}

// Whole-body mode: complete at the length, or at the close without one; never beyond the cap.
TEST_F(ScriptedServerTest, WholeBodyEndsAtTheCloseAndStaysBounded) {
  const std::string body = test::Content(50000, 7);
  const std::string tooLong(static_cast<size_t>(THttpPeer::kMaxWholeBody) + 100000, 'x');
  struct Case {
    std::string reply;
    bool complete;
  };
  const Case cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\n" + body, true},
      {"HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n" + body, true},
      {"HTTP/1.0 200 OK\r\nContent-Length: 60000\r\n\r\n" + body, false},  // cut short
      {"HTTP/1.0 200 OK\r\nContent-Length: 100000000\r\n\r\n" + body, false},
      {"HTTP/1.0 200 OK\r\n\r\n" + tooLong, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 50));
    Serve(c.reply, true);
    source_->Url().wholeBody = true;
    ASSERT_TRUE(peer_.ConnectTo(source_->id));
    for (int i = 0; i < 5000 && !source_->Url().downloadComplete && peer_.DownloadStep(); ++i) {
      if (!peer_.stats.hasData) platform::SleepMs(1);
    }
    EXPECT_EQ(source_->Url().downloadComplete, c.complete);
    if (c.complete) {
      EXPECT_TRUE(source_->Url().body == body);
    }
    EXPECT_LE(static_cast<int64_t>(source_->Url().body.size()), THttpPeer::kMaxWholeBody);
    peer_.Reset();
    server_.reset();
  }
}

}  // namespace
}  // namespace bw
