#include "engine/sources/TFtpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/common/Sha1.h"
#include "engine/net/QProxyInfo.h"
#include "engine/net/QSocket.h"
#include "engine/sources/FtpReply.h"
#include "engine/sources/TUrlInfo.h"
#include "tests/net/FtpServer.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"
#include "tests/sources/UrlSourceSupport.h"

namespace bw {
namespace {

using test::FakePeerTask;
using test::Source;
using test::StepUntilFailure;

constexpr int64_t kFileLength = 1000000;  // 16 pieces, the last one short
constexpr int64_t kPieceLength = 65536;

TEST(TFtpPeerCommandTest, CommandsNameWhatTheAddressGave) {
  TUrlInfo url;
  url.user = "u";
  url.password = "p w";
  url.path = "/dir/sub/f.bin";
  url.fileName = "f.bin";
  struct Case {
    int32_t state;
    int64_t streamPos;
    bool epsvRefused;
    std::string text;
  };
  const Case cases[] = {
      {TFtpPeer::kSendUser, 0, false, "user u\r\n"},
      {TFtpPeer::kSendPass, 0, false, "pass p w\r\n"},
      {TFtpPeer::kSendCwd, 0, false, "cwd /dir/sub\r\n"},
      {TFtpPeer::kSendType, 0, false, "type i\r\n"},
      {TFtpPeer::kSendSize, 0, false, "size f.bin\r\n"},
      {TFtpPeer::kSendPassive, 0, false, "epsv\r\n"},
      {TFtpPeer::kSendPassive, 0, true, "pasv\r\n"},
      {TFtpPeer::kRestSent, 0, false, "rest 0\r\n"},
      {TFtpPeer::kRestSent, 5368725504, false, "rest 5368725504\r\n"},  // every digit above 4 GiB
      {TFtpPeer::kRetrSent, 0, false, "retr /dir/sub/f.bin\r\n"},
      {TFtpPeer::kTransfer, 0, false, ""},
      {TFtpPeer::kAwaitTransferEnd, 0, false, ""},
  };
  for (const Case& c : cases) {
    url.epsvRefused = c.epsvRefused;
    EXPECT_EQ(TFtpPeer::CommandText(c.state, url, c.streamPos), c.text) << c.state;
  }
  EXPECT_EQ(TFtpPeer::Directory("/f.bin"), "/");
  EXPECT_EQ(TFtpPeer::Directory("/a/b/f.bin"), "/a/b");
  EXPECT_EQ(TFtpPeer::Directory("/"), "/");
  EXPECT_EQ(TFtpPeer::Directory("/a/"), "/a");
}

// ---- real servers ----

class RealFtpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(task_.loaded);
    www_ = task_.ServedFolder();
  }
  void TearDown() override {
    peer_.Reset();
    task_.map.Reset();  // pieces in progress hold the peer, which lives in this fixture
  }

  bool StartVsftpd() {
    if (!test::VsftpdServer::Installed()) return false;
    vsftpd_ = std::make_unique<test::VsftpdServer>(www_, task_.dir.path + "vsftpd");
    return vsftpd_->Running();
  }
  bool StartPyftpd(const std::string& user = "", const std::string& password = "") {
    if (!test::PyFtpServer::Installed()) return false;
    pyftpd_ = std::make_unique<test::PyFtpServer>(www_, task_.dir.path + "pyftpd.log", user, password);
    return pyftpd_->Running();
  }

  FakePeerTask task_{kFileLength, kPieceLength};
  TFtpPeer peer_{&task_};
  std::string www_;
  std::unique_ptr<test::VsftpdServer> vsftpd_;
  std::unique_ptr<test::PyFtpServer> pyftpd_;
};

// Each data cycle starts at the first wanted byte: the run from piece 8 first, then, the stream
// having ended with the file, a new cycle from piece 0.
TEST_F(RealFtpServerTest, VsftpdServesEachRunFromItsFirstWantedByte) {
  if (!StartVsftpd()) GTEST_SKIP() << "vsftpd is needed (scripts/deps.sh installs it)";
  task_.initialRanges = {{8, 15}};
  Source source(vsftpd_->FtpUrl("/data.bin"));
  ASSERT_TRUE(source.parsed);
  EXPECT_TRUE(test::Download(peer_, task_, source.id));
  EXPECT_EQ(source.Url().fileSize, kFileLength);
  EXPECT_EQ(task_.kindBytes[SOURCE_FTP], kFileLength);
  EXPECT_TRUE(task_.penalties.empty());
  EXPECT_EQ(vsftpd_->Commands("USER"), std::vector<std::string>{"anonymous"});
  EXPECT_EQ(vsftpd_->Commands("CWD"), std::vector<std::string>{"/"});
  EXPECT_EQ(vsftpd_->Commands("SIZE"), std::vector<std::string>{"data.bin"});
  EXPECT_EQ(vsftpd_->Commands("REST"), (std::vector<std::string>{"524288", "0"}));
  EXPECT_EQ(vsftpd_->Commands("RETR"), (std::vector<std::string>{"/data.bin", "/data.bin"}));
}

// Wanted data far ahead of the stream ends the data cycle early (the server answers the cut-off
// transfer), and the next REST names the exact offset.
TEST_F(RealFtpServerTest, JumpAheadEndsTheCycleAtEitherServer) {
  for (const bool vsftpd : {true, false}) {
    SCOPED_TRACE(vsftpd ? "vsftpd" : "pyftpdlib");
    FakePeerTask task(kFileLength, kPieceLength);
    const std::string www = task.ServedFolder();
    std::unique_ptr<test::VsftpdServer> vs;
    std::unique_ptr<test::PyFtpServer> py;
    std::string address;
    if (vsftpd) {
      if (!test::VsftpdServer::Installed()) continue;
      vs = std::make_unique<test::VsftpdServer>(www, task.dir.path + "vsftpd");
      address = vs->FtpUrl("/data.bin");
    } else {
      if (!test::PyFtpServer::Installed()) continue;
      py = std::make_unique<test::PyFtpServer>(www, task.dir.path + "pyftpd.log");
      address = py->FtpUrl("/data.bin");
    }
    task.initialRanges = {{0, 3}, {8, 15}};
    Source source(address);
    TFtpPeer peer(&task);
    EXPECT_TRUE(test::Download(peer, task, source.id));
    EXPECT_TRUE(task.penalties.empty());
    if (vs) {
      EXPECT_EQ(vs->Commands("REST"), (std::vector<std::string>{"0", "524288", "262144"}));
    }
  }
}

TEST_F(RealFtpServerTest, LoginWithTheUserAndPasswordOfTheAddress) {
  if (!StartPyftpd("user", "secret")) GTEST_SKIP() << "python3-pyftpdlib is needed (scripts/deps.sh installs it)";
  Source source(pyftpd_->FtpUrl("/data.bin", "user:secret"));
  EXPECT_TRUE(test::Download(peer_, task_, source.id));
  EXPECT_EQ(pyftpd_->Logins(), 1);
}

// An anonymous-only vsftpd refuses any other user at once.
TEST_F(RealFtpServerTest, RefusedLoginRetiresTheSource) {
  if (!StartVsftpd()) GTEST_SKIP() << "vsftpd is needed (scripts/deps.sh installs it)";
  Source source("ftp://someone:pw@127.0.0.1:" + std::to_string(vsftpd_->Port()) + "/data.bin");
  ASSERT_TRUE(peer_.ConnectTo(source.id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  EXPECT_EQ(peer_.workState, TPeerObject::kFinished) << "finished, not backed off for another try";
  EXPECT_EQ(task_.removed, std::vector<TPeerId*>{source.id});
  EXPECT_TRUE(task_.penalties.empty());
  EXPECT_EQ(vsftpd_->Commands("PASS").size(), 0u);
}

// Both connections take the proxy that every connection of the process takes: the server sees
// the proxy's own address, 127.0.0.2, for the login and for the data alike.
TEST_F(RealFtpServerTest, ControlAndDataGoThroughTheProxy) {
  const std::string microsocks = test::FindProgram("microsocks");
  if (microsocks.empty() || !StartVsftpd()) GTEST_SKIP() << "microsocks and vsftpd are needed (scripts/deps.sh)";
  const uint16_t port = test::FreePort();
  test::ChildProcess socks({microsocks, "-i", "127.0.0.1", "-p", std::to_string(port), "-b", "127.0.0.2"},
                           task_.dir.path + "microsocks.log");
  ASSERT_TRUE(socks.WaitListening(port));
  QProxyInfo proxy;
  proxy.type = PROXY_SOCKS5;
  proxy.address = test::Loopback();
  proxy.port = port;
  QProxyInfo::SetGlobal(proxy);
  Source source(vsftpd_->FtpUrl("/data.bin"));
  const bool downloaded = test::Download(peer_, task_, source.id);
  QProxyInfo::SetGlobal(QProxyInfo{});
  EXPECT_TRUE(downloaded);
  const std::string log = vsftpd_->Log();
  EXPECT_NE(log.find("OK DOWNLOAD: Client \"127.0.0.2\""), std::string::npos) << log;
  EXPECT_EQ(log.find("Client \"127.0.0.1\", \"USER"), std::string::npos) << log;
}

TEST_F(RealFtpServerTest, WholeBodyCollectsTheFileInMemory) {
  if (!StartPyftpd()) GTEST_SKIP() << "python3-pyftpdlib is needed (scripts/deps.sh installs it)";
  Source source(pyftpd_->FtpUrl("/data.bin"));
  source.Url().wholeBody = true;
  ASSERT_TRUE(peer_.ConnectTo(source.id));
  for (int i = 0; i < 3000 && !source.Url().downloadComplete; ++i) {
    ASSERT_TRUE(peer_.DownloadStep());
    if (!peer_.stats.hasData) platform::SleepMs(1);
  }
  EXPECT_TRUE(source.Url().downloadComplete);
  EXPECT_EQ(peer_.workState, TPeerObject::kFinished);
  EXPECT_TRUE(source.Url().body == task_.content);
  EXPECT_EQ(task_.kindBytes[SOURCE_FTP], 0);  // nothing went to the piece map
}

TEST_F(RealFtpServerTest, FileOfAnotherSizeBacksTheSourceOff) {
  if (!StartPyftpd()) GTEST_SKIP() << "python3-pyftpdlib is needed (scripts/deps.sh installs it)";
  std::ofstream(www_ + "other.bin", std::ios::binary) << task_.content.substr(0, 1000);
  Source source(pyftpd_->FtpUrl("/other.bin"));
  ASSERT_TRUE(peer_.ConnectTo(source.id));
  EXPECT_TRUE(StepUntilFailure(peer_));
  ASSERT_EQ(task_.penalties.size(), 1u);
  EXPECT_EQ(task_.penalties[0].second, TFtpPeer::kServerErrorBackOff);
  EXPECT_EQ(source.Url().fileSize, 1000);
}

// A file beyond 4 GiB, sparse on the server: only its tail is wanted, and it arrives from a REST
// offset that needs every one of its digits.
TEST(FtpLargeFileTest, TailOfAFileAbove4GiB) {
  if (!test::VsftpdServer::Installed()) GTEST_SKIP() << "vsftpd is needed (scripts/deps.sh installs it)";
  constexpr int64_t kPiece = 1 << 20;
  constexpr int64_t kLength = (int64_t{5} << 30) + 3 * kPiece - 12345;  // the last piece short
  constexpr int64_t kPieces = (kLength + kPiece - 1) / kPiece;
  constexpr int64_t kTailPieces = 3;
  constexpr int64_t kTailStart = (kPieces - kTailPieces) * kPiece;
  const std::string tail = test::Content(static_cast<size_t>(kLength - kTailStart), 5);
  std::string hashes;
  uint8_t digest[20];
  const std::string zeros(static_cast<size_t>(kPiece), '\0');
  Sha1::Hash(zeros.data(), zeros.size(), digest);
  for (int64_t i = 0; i < kPieces - kTailPieces; ++i) hashes.append(reinterpret_cast<char*>(digest), 20);
  hashes += test::PieceHashes(tail, kPiece);

  FakePeerTask task(kLength, kPiece, hashes);
  ASSERT_TRUE(task.loaded);
  const std::string www = task.dir.path + "www/";
  std::filesystem::create_directories(www);
  {
    std::ofstream served(www + "big.bin", std::ios::binary);
    served.seekp(kTailStart);
    served << tail;
  }
  ASSERT_EQ(std::filesystem::file_size(www + "big.bin"), static_cast<uintmax_t>(kLength));
  test::VsftpdServer vsftpd(www, task.dir.path + "vsftpd");
  ASSERT_TRUE(vsftpd.Running());
  task.initialRanges = {{static_cast<int32_t>(kPieces - kTailPieces), static_cast<int32_t>(kPieces - 1)}};
  Source source(vsftpd.FtpUrl("/big.bin"));
  TFtpPeer peer(&task);
  ASSERT_TRUE(peer.ConnectTo(source.id));
  const auto tailDone = [&task] {
    for (int64_t i = kPieces - kTailPieces; i < kPieces; ++i) {
      if (!task.map.IsPieceComplete(i)) return false;
    }
    return true;
  };
  EXPECT_TRUE(test::StepUntil(peer, task, source.id, tailDone));
  peer.Reset();
  task.map.CloseFiles(true, true);
  EXPECT_TRUE(tailDone()) << "every tail piece passed its SHA-1 check";
  std::ifstream written(task.dir.path + "data.bin.bwtmp", std::ios::binary);  // incomplete: not renamed
  written.seekg(kTailStart);
  std::string got(tail.size(), '\0');
  written.read(got.data(), static_cast<std::streamsize>(got.size()));
  EXPECT_TRUE(got == tail);
  const std::vector<std::string> rests = vsftpd.Commands("REST");
  ASSERT_FALSE(rests.empty());
  EXPECT_EQ(rests[0], std::to_string(kTailStart));
  EXPECT_EQ(source.Url().fileSize, kLength);
  task.map.Reset();
}

// ---- a scripted server, for what real servers do not do on request ----

// An FTP server on a script of its own: a multi-line welcome, no EPSV, and a PASV answer that
// names another host than its own; the data it sends comes from its own address.
class ScriptedFtpServer {
 public:
  explicit ScriptedFtpServer(std::string content)
      : content_(std::move(content)), server_([this](int fd) { Serve(fd); }) {}

  uint16_t Port() const { return server_.Port(); }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> g(lock_);
    return commands_;
  }

 private:
  static void Reply(int fd, const std::string& text) { test::WriteAll(fd, text + "\r\n"); }

  void Serve(int fd) {
    Reply(fd, "220-Scripted server\r\n220-second line\r\n230 an inner line\r\n220 ready");
    int64_t rest = 0;
    int data = -1;
    for (;;) {
      std::string line = test::ReadUntil(fd, "\r\n");
      if (line.size() < 2) break;
      line.resize(line.size() - 2);
      {
        std::lock_guard<std::mutex> g(lock_);
        commands_.push_back(line);
      }
      const std::string verb = line.substr(0, line.find(' '));
      if (verb == "user") Reply(fd, "331 password please");
      else if (verb == "pass") Reply(fd, "230 in");
      else if (verb == "cwd") Reply(fd, "250 ok");
      else if (verb == "type") Reply(fd, "200 binary");
      else if (verb == "size") Reply(fd, "213 " + std::to_string(content_.size()));
      else if (verb == "epsv") Reply(fd, "502 not here");
      else if (verb == "pasv") {
        data = Listen();
        const int port = LocalPort(data);
        Reply(fd, "227 Entering Passive Mode (127,0,0,3," + std::to_string(port >> 8) + "," +
                      std::to_string(port & 255) + ")");
      } else if (verb == "rest") {
        rest = std::stoll(line.substr(5));
        Reply(fd, "350 from " + std::to_string(rest));
      } else if (verb == "retr") {
        pollfd p{data, POLLIN, 0};
        const int conn = ::poll(&p, 1, 2000) == 1 ? ::accept(data, nullptr, nullptr) : -1;
        ::close(data);
        Reply(fd, conn >= 0 ? "150 sending" : "425 no data connection");
        if (conn >= 0) {
          test::WriteAll(conn, content_.substr(static_cast<size_t>(std::min<int64_t>(rest, content_.size()))));
          ::close(conn);
          Reply(fd, "226 done");
        }
      } else {
        Reply(fd, "500 unknown");
      }
    }
  }

  static int Listen() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(s, 1);
    return s;
  }
  static int LocalPort(int s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
  }

  std::string content_;
  std::mutex lock_;
  std::vector<std::string> commands_;
  test::LoopbackServer server_;
};

TEST(ScriptedFtpTest, PasvAfterRefusedEpsvConnectsToTheControlHost) {
  FakePeerTask task(kFileLength, kPieceLength);
  ScriptedFtpServer server(task.content);
  Source source("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/d/data.bin");
  TFtpPeer peer(&task);
  EXPECT_TRUE(test::Download(peer, task, source.id));
  EXPECT_TRUE(source.Url().epsvRefused);
  EXPECT_TRUE(task.penalties.empty()) << "a server without EPSV is no failing server";
  const std::vector<std::string> commands = server.Commands();
  const auto count = [&commands](const std::string& command) {
    return std::count(commands.begin(), commands.end(), command);
  };
  EXPECT_EQ(count("epsv"), 1) << "asked once, never again";
  EXPECT_GE(count("pasv"), 1);
  EXPECT_EQ(count("cwd /d"), 1);
  EXPECT_EQ(count("retr /d/data.bin"), count("pasv"));
  task.map.Reset();
}

// Servers that answer nothing usable: the step fails, and only a 5xx answer backs them off.
TEST(ScriptedFtpTest, WelcomesThatFailTheConnection) {
  std::string endless = "220-";
  while (endless.size() < 40000) endless += "a line that never closes the reply\r\n220-";
  struct Case {
    std::string welcome;
    int32_t backOff;  // 0: none
  };
  const Case cases[] = {
      {endless, 0},
      {"421 Too many users\r\n", 0},
      {"500 Go away\r\n", TFtpPeer::kServerErrorBackOff},
      {"HTTP/1.1 400 Bad Request\r\n\r\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.welcome.substr(0, 30));
    FakePeerTask task(kFileLength, kPieceLength);
    test::LoopbackServer server([&c](int fd) {
      test::WriteAll(fd, c.welcome);
      test::ReadUntil(fd, "\r\n");
    });
    Source source("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/data.bin");
    TFtpPeer peer(&task);
    ASSERT_TRUE(peer.ConnectTo(source.id));
    EXPECT_TRUE(StepUntilFailure(peer));
    EXPECT_LE(peer.Socket()->ReceivedSize(), kMaxFtpReplySize);
    EXPECT_EQ(task.penalties.size(), c.backOff ? 1u : 0u);
    if (c.backOff) {
      EXPECT_EQ(task.penalties[0].second, c.backOff);
    }
    peer.Reset();
  }
}

TEST(ScriptedFtpTest, SilentServerTimesOut) {
  FakePeerTask task(kFileLength, kPieceLength);
  test::LoopbackServer server([](int fd) { test::ReadUntil(fd, "\r\n"); });
  Source source("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/data.bin");
  TFtpPeer peer(&task);
  ASSERT_TRUE(peer.ConnectTo(source.id));
  ASSERT_TRUE(peer.DownloadStep());
  task.now += 30;
  EXPECT_TRUE(peer.DownloadStep()) << "a reply may take 30 seconds";
  task.now += 1;
  EXPECT_FALSE(peer.DownloadStep());
  EXPECT_EQ(peer.workState, TPeerObject::kTimedOut);
  ASSERT_EQ(task.penalties.size(), 1u);
  EXPECT_EQ(task.penalties[0].second, 15);
  peer.Reset();
}

}  // namespace
}  // namespace bw
