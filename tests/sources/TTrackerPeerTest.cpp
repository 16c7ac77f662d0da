#include "engine/sources/TTrackerPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/sources/TrackerReply.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"
#include "tests/sources/OpentrackerServer.h"
#include "tests/sources/UrlSourceSupport.h"
#include "tests/support/Require.h"

namespace bw {
namespace {

using test::Source;

// A task that announces fixed facts and keeps what its trackers answered.
class AnnouncingTask : public test::FakePeerTask {
 public:
  AnnouncingTask(const uint8_t (&infoHash)[20], char idLetter, int32_t listenPort) : FakePeerTask(16384, 16384) {
    std::memcpy(facts.infoHash, infoHash, 20);
    std::memset(facts.peerId, idLetter, 20);
    facts.listenPort = listenPort;
    facts.left = 16384;
  }
  bool GetAnnounceFacts(TAnnounceFacts* out) override {
    *out = facts;
    return true;
  }
  void TrackerAnswered(int64_t interval, const std::string& report) override {
    intervals.push_back(interval);
    reports.push_back(report);
  }

  TAnnounceFacts facts;
  std::vector<int64_t> intervals;
  std::vector<std::string> reports;
};

// Steps the announce as the task's pool does, a few seconds at most. False when a step failed
// before an answer was used.
bool Announce(TTrackerPeer& peer, TPeerId* tracker) {
  if (!peer.ConnectTo(tracker)) return false;
  for (int i = 0; i < 3000 && peer.workState != TPeerObject::kFinished; ++i) {
    if (!peer.DownloadStep()) return peer.workState == TPeerObject::kFinished;
    platform::SleepMs(1);
  }
  return peer.workState == TPeerObject::kFinished;
}

std::string Hex(const uint8_t (&bytes)[20]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

class TTrackerPeerOpentrackerTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr uint8_t kListed[20] = {0x16, 0x10, 0x8f, 0x86, 0xc3, 0x3a, 0xbd, 0x30, 0xcb, 0x31,
                                          0x7d, 0xf9, 0xd7, 0x5e, 0x07, 0x74, 0xa6, 0xb4, 0x43, 0xd4};

  void StartTracker() {
    if (!test::OpentrackerServer::Installed()) GTEST_SKIP() << "opentracker is needed (scripts/deps.sh installs it)";
    tracker_ = std::make_unique<test::OpentrackerServer>(dir_.Path("tracker"), std::vector<std::string>{Hex(kListed)});
    ASSERT_TRUE(tracker_->Serving()) << test::TempDir::Read(dir_.Path("tracker/opentracker.log"));
  }

  std::string TrackerLine() const {
    return "tracker://" + (GetParam() ? tracker_->UdpAnnounce() : tracker_->HttpAnnounce());
  }

  test::TempDir dir_;
  std::unique_ptr<test::OpentrackerServer> tracker_;
};

// The second of two announcers of one torrent learns where the first listens, with the
// tracker's own interval.
TEST_P(TTrackerPeerOpentrackerTest, AnnouncersFindEachOther) {
  BW_REQUIRE(StartTracker());
  Source line(TrackerLine());
  ASSERT_TRUE(line.parsed);
  AnnouncingTask first(kListed, 'A', 7001);
  AnnouncingTask second(kListed, 'B', 7002);
  TTrackerPeer firstPeer(&first, TTrackerPeer::kStarted);
  TTrackerPeer secondPeer(&second, TTrackerPeer::kStarted);
  ASSERT_TRUE(Announce(firstPeer, line.id));
  ASSERT_TRUE(Announce(secondPeer, line.id));

  bool foundFirst = false;
  for (const auto& [address, priority] : second.added) foundFirst |= address == "btnode://127.0.0.1:7001";
  std::string added;
  for (const auto& [address, priority] : second.added) added += address + " ";
  EXPECT_TRUE(foundFirst) << added << (second.reports.empty() ? "no report" : second.reports.back());
  ASSERT_EQ(second.intervals.size(), 1u);
  EXPECT_GT(second.intervals[0], kMinTrackerInterval);
  EXPECT_NE(second.intervals[0], kDefaultTrackerInterval) << "the tracker's interval was not read";
  EXPECT_NE(second.reports[0].find(" peers, interval "), std::string::npos) << second.reports[0];
}

// A torrent the tracker does not serve: its words reach the report, and nobody is added.
TEST_P(TTrackerPeerOpentrackerTest, RefusalReachesTheReport) {
  BW_REQUIRE(StartTracker());
  Source line(TrackerLine());
  const uint8_t unlisted[20] = {1, 2, 3};
  AnnouncingTask task(unlisted, 'C', 7003);
  TTrackerPeer peer(&task, TTrackerPeer::kStarted);
  ASSERT_TRUE(Announce(peer, line.id));
  EXPECT_TRUE(task.added.empty());
  ASSERT_EQ(task.reports.size(), 1u);
  EXPECT_NE(task.reports[0].find("failure reason \""), std::string::npos) << task.reports[0];
}

INSTANTIATE_TEST_SUITE_P(OverHttpAndUdp, TTrackerPeerOpentrackerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Udp" : "Http"; });

// Misbehaviour a real tracker does not show, from a scripted one.

const uint8_t kAnyHash[20] = {9, 8, 7};

std::string BigEndian(uint64_t value, int bytes) {
  std::string out;
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
  return out;
}

std::string CompactPeers(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += BigEndian(0x0A000000u + static_cast<uint32_t>(i) + 1, 4) + BigEndian(6881, 2);
  return out;
}

TEST(TTrackerPeerScriptedTest, HttpAnswersThatCannotBeUsed) {
  struct Case {
    const char* what;
    std::string reply;  // sent after the request, then the connection closes
    bool used;          // the announce ends with an answer
    size_t added;
    std::string report = "";
  };
  const std::string many = CompactPeers(1000);
  const std::string manyBody = "d8:intervali1800e5:peers" + std::to_string(many.size()) + ":" + many + "e";
  const std::string head = "HTTP/1.0 200 OK\r\n";
  const Case cases[] = {
      {"no HTTP at all", "garbage\r\n\r\nd5:peers6:" + CompactPeers(1) + "e", false, 0},
      {"a thousand peers", head + "Content-Length: " + std::to_string(manyBody.size()) + "\r\n\r\n" + manyBody, true,
       kMaxTrackerPeers},
      {"no length: the close ends it", head + "\r\nd5:peers6:" + CompactPeers(1) + "e", true, 1},
      {"a body that is no bencode", "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", true, 0,
       "failure reason \"HTTP status 404: answer is no bencoded dictionary\""},
      {"a refusal with its reason", "HTTP/1.0 503 Service Unavailable\r\n\r\nd14:failure reason4:busye", true, 0,
       "failure reason \"HTTP status 503: busy\""},
      {"a refusal under status 200", head + "\r\nd14:failure reason4:busye", true, 0, "failure reason \"busy\""},
      {"cut short by the close", head + "Content-Length: 100\r\n\r\nd5:peers6:", false, 0},
      {"a body above the bound", head + "\r\n" + std::string(static_cast<size_t>(kMaxTrackerBody) + 10, 'x'), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::LoopbackServer server([&c](int fd) {
      test::ReadUntil(fd, "\r\n\r\n");
      test::WriteAll(fd, c.reply);
      ::shutdown(fd, SHUT_WR);
    });
    Source line("tracker://http://127.0.0.1:" + std::to_string(server.Port()) + "/announce");
    AnnouncingTask task(kAnyHash, 'D', 7004);
    TTrackerPeer peer(&task, TTrackerPeer::kStarted);
    EXPECT_EQ(Announce(peer, line.id), c.used);
    EXPECT_EQ(task.added.size(), c.added);
    ASSERT_EQ(task.reports.size(), c.used ? 1u : 0u);
    if (c.used) {
      EXPECT_NE(task.reports[0].find(c.report), std::string::npos) << task.reports[0];
    }
  }
}

// The request names the torrent, the peer and its figures on the tracker's path alone, and asks
// for nothing compressed: no answer needs undoing.
TEST(TTrackerPeerScriptedTest, HttpAnnounceRequest) {
  std::mutex lock;
  std::string request;
  test::LoopbackServer server([&](int fd) {
    const std::string got = test::ReadUntil(fd, "\r\n\r\n");
    {
      std::lock_guard<std::mutex> guard(lock);
      request = got;
    }
    test::WriteAll(fd, "HTTP/1.0 200 OK\r\n\r\nd8:intervali900ee");
    ::shutdown(fd, SHUT_WR);
  });
  const std::string port = std::to_string(server.Port());
  Source line("tracker://http://127.0.0.1:" + port + "/tr/announce?passkey=abc");
  AnnouncingTask task(kAnyHash, 'G', 7007);
  task.facts.uploaded = 5;
  task.facts.downloaded = 6;
  TTrackerPeer peer(&task, TTrackerPeer::kStarted);
  ASSERT_TRUE(Announce(peer, line.id));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(request,
            "GET /tr/announce?info_hash=%09%08%07%00%00%00%00%00%00%00%00%00%00%00%00%00%00%00%00%00"
            "&peer_id=GGGGGGGGGGGGGGGGGGGG&port=7007&uploaded=5&downloaded=6&left=16384&event=started"
            "&key=3800&compact=1&numwant=200 HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: 127.0.0.1:" + port +
                "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(task.intervals, std::vector<int64_t>{900});
}

// A tracker that takes the request and never answers is given up once the answer time has passed.
TEST(TTrackerPeerScriptedTest, SilentHttpTrackerIsGivenUp) {
  test::LoopbackServer server([](int fd) { test::ReadUntil(fd, "never sent"); });
  Source line("tracker://http://127.0.0.1:" + std::to_string(server.Port()) + "/announce");
  AnnouncingTask task(kAnyHash, 'E', 7005);
  TTrackerPeer peer(&task, TTrackerPeer::kStarted);
  ASSERT_TRUE(peer.ConnectTo(line.id));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(peer.DownloadStep());
    platform::SleepMs(1);
  }
  task.now += TTrackerPeer::kAnswerTimeout + 1;
  EXPECT_FALSE(peer.DownloadStep());
  EXPECT_TRUE(task.added.empty());
}

// A UDP tracker played by the test, datagram by datagram.
class ScriptedUdpTracker {
 public:
  ScriptedUdpTracker() : fd_(Bound()), other_(Bound()) {}
  ~ScriptedUdpTracker() {
    ::close(fd_);
    ::close(other_);
  }

  int Port() const { return PortOf(fd_); }

  // The next datagram from the client, "" when none comes within `ms`.
  std::string Receive(int ms = 2000) {
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[2048];
    socklen_t length = sizeof client_;
    const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client_), &length);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

  // To the client, from the tracker's address or from another port of the same host.
  void Send(const std::string& datagram, bool fromElsewhere = false) {
    ::sendto(fromElsewhere ? other_ : fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&client_),
             sizeof client_);
  }

 private:
  static int Bound() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
  }
  static int PortOf(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
  }

  int fd_;
  int other_;
  sockaddr_in client_{};
};

std::string TransactionOf(const std::string& request) { return request.substr(12, 4); }

// Only the answer to the latest request, from the tracker asked, moves the exchange on; silence
// brings the request again under a new transaction id.
TEST(TTrackerPeerScriptedTest, UdpRepliesMustMatchTheRequest) {
  ScriptedUdpTracker tracker;
  Source line("tracker://udp://127.0.0.1:" + std::to_string(tracker.Port()));
  AnnouncingTask task(kAnyHash, 'F', 7006);
  TTrackerPeer peer(&task, TTrackerPeer::kStarted);
  auto step = [&] {
    platform::SleepMs(20);
    return peer.DownloadStep();
  };
  ASSERT_TRUE(peer.ConnectTo(line.id));
  std::string connect = tracker.Receive();
  ASSERT_EQ(connect.size(), 16u);
  EXPECT_EQ(connect.substr(0, 12), BigEndian(TTrackerPeer::kUdpProtocolId, 8) + BigEndian(kUdpConnect, 4));

  const std::string connectionId = "CONNID01";
  tracker.Send(BigEndian(kUdpConnect, 4) + BigEndian(~0u, 4) + connectionId);  // another transaction
  tracker.Send(BigEndian(kUdpConnect, 4) + TransactionOf(connect) + connectionId, true);
  ASSERT_TRUE(step());
  EXPECT_EQ(tracker.Receive(200), "") << "an announce followed a reply that did not match";

  task.now += TTrackerPeer::kRepeatSeconds;
  ASSERT_TRUE(step());
  const std::string again = tracker.Receive();
  ASSERT_EQ(again.size(), 16u);
  EXPECT_NE(TransactionOf(again), TransactionOf(connect));
  tracker.Send(BigEndian(kUdpConnect, 4) + TransactionOf(again) + connectionId);
  ASSERT_TRUE(step());
  const std::string announce = tracker.Receive();
  ASSERT_EQ(announce.size(), 104u);
  EXPECT_EQ(announce.substr(0, 12), connectionId + BigEndian(kUdpAnnounce, 4));
  EXPECT_EQ(announce.substr(16, 20), std::string(reinterpret_cast<const char*>(kAnyHash), 20));
  EXPECT_EQ(announce.substr(36, 20), std::string(20, 'F'));
  // Event, address 0 (the tracker takes the sender's), key, wanted peers, port, zeros.
  EXPECT_EQ(announce.substr(80, 24), BigEndian(TTrackerPeer::kStarted, 4) + BigEndian(0, 8) +
                                         BigEndian(TTrackerPeer::kWantedPeers, 4) + BigEndian(7006, 2) +
                                         std::string(6, '\0'));

  const std::string peers = CompactPeers(2);
  tracker.Send(BigEndian(kUdpAnnounce, 4) + BigEndian(~0u, 4) + BigEndian(1800, 4) + BigEndian(0, 8) + peers);
  tracker.Send(BigEndian(kUdpAnnounce, 4) + TransactionOf(announce) + BigEndian(1800, 4) + BigEndian(0, 8) + peers, true);
  ASSERT_TRUE(step());
  EXPECT_TRUE(task.added.empty());
  EXPECT_NE(peer.workState, TPeerObject::kFinished);

  task.now += TTrackerPeer::kRepeatSeconds;
  ASSERT_TRUE(step());
  const std::string repeated = tracker.Receive();
  ASSERT_EQ(repeated.size(), 104u);
  EXPECT_NE(TransactionOf(repeated), TransactionOf(announce));
  tracker.Send(BigEndian(kUdpAnnounce, 4) + TransactionOf(repeated) + BigEndian(1800, 4) + BigEndian(0, 8) + peers);
  step();
  EXPECT_EQ(peer.workState, TPeerObject::kFinished);
  EXPECT_EQ(task.added.size(), 2u);
  EXPECT_EQ(task.intervals, std::vector<int64_t>{1800});
}

}  // namespace
}  // namespace bw
