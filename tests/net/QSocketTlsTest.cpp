// TLS on the engine's own sockets against nginx with certificates of a test authority.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "engine/net/QSocket.h"
#include "engine/net/TlsSession.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/NginxServer.h"
#include "tests/net/SocketPump.h"
#include "tests/net/TestCertificate.h"
#include "tests/support/Require.h"
#include "tests/support/TempDir.h"

namespace bw {
namespace {

using test::Exchange;
using test::Loopback;
using test::SendAndReceiveAll;

std::string GetRequest(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

std::string Body(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

class QSocketTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::NginxServer::Installed() || test::FindProgram("openssl").empty()) {
      GTEST_SKIP() << "nginx and openssl are needed (scripts/deps.sh installs them)";
    }
    std::mt19937 random(7);
    content_.resize(3 << 20);
    for (char& c : content_) c = static_cast<char>(random());
    std::filesystem::create_directories(dir_.Path("www"));
    std::ofstream(dir_.Path("www/data.bin"), std::ios::binary) << content_;
    ASSERT_TRUE(test::MakeSignedCertificate(dir_.Path("ca"), dir_.Path("good")));
    ASSERT_TRUE(TlsSession::SetExtraAuthorities(dir_.Path("ca/ca.pem")));
  }
  void TearDown() override { TlsSession::SetExtraAuthorities(""); }

  test::NginxServer& StartServer(const std::string& tlsFolder, const std::string& directives = "") {
    servers_.push_back(std::make_unique<test::NginxServer>(dir_.Path("www"), dir_.Path("nginx" + std::to_string(servers_.size())),
                                                           directives, "127.0.0.1",
                                                           tlsFolder.empty() ? "" : dir_.Path(tlsFolder)));
    EXPECT_TRUE(servers_.back()->Running()) << servers_.back()->ErrorLog();
    return *servers_.back();
  }

  // A connection to the server with TLS for the name.
  Exchange FetchOver(const test::NginxServer& server, const std::string& name, const std::string& path = "/data.bin") {
    QSocket s;
    EXPECT_TRUE(s.Connect(Loopback(), server.Port()));
    EXPECT_TRUE(s.StartTls(name));
    Exchange e = SendAndReceiveAll(s, GetRequest(path));
    lastFailure_ = s.TlsFailureText();
    lastRefused_ = s.TlsCertificateRefused();
    return e;
  }

  test::TempDir dir_;
  std::string content_;
  std::vector<std::unique_ptr<test::NginxServer>> servers_;
  std::string lastFailure_;
  bool lastRefused_ = false;
};

TEST_F(QSocketTlsTest, ByteExactOverEitherVersion) {
  for (const char* version : {"TLSv1.2", "TLSv1.3"}) {
    SCOPED_TRACE(version);
    test::NginxServer& server = StartServer("good", std::string("    ssl_protocols ") + version + ";\n");
    for (const char* name : {"127.0.0.1", "localhost"}) {
      const Exchange e = FetchOver(server, name);
      EXPECT_FALSE(e.timedOut) << lastFailure_;
      EXPECT_EQ(e.bytes.rfind("HTTP/1.1 200", 0), 0u) << e.bytes.substr(0, 200);
      EXPECT_TRUE(Body(e.bytes) == content_) << "body of " << Body(e.bytes).size() << " bytes";
      EXPECT_EQ(lastFailure_, "");
    }
  }
}

TEST_F(QSocketTlsTest, RefusedCertificatesEndTheConnectionWithTheReason) {
  ASSERT_TRUE(test::MakeSignedCertificate(dir_.Path("ca"), dir_.Path("other"), "DNS:other.test"));
  std::filesystem::create_directories(dir_.Path("self"));
  ASSERT_TRUE(test::MakeTestCertificate(dir_.Path("self")));
  test::NginxServer& good = StartServer("good");
  test::NginxServer& other = StartServer("other");
  test::NginxServer& self = StartServer("self");
  struct Case {
    const char* what;
    const test::NginxServer& server;
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"issued for another name", other, "127.0.0.1", "mismatch"},
      {"dialled by another name", good, "wrong.test", "mismatch"},
      {"signed by nobody trusted", self, "127.0.0.1", "self-signed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Exchange e = FetchOver(c.server, c.name);
    EXPECT_FALSE(e.timedOut) << "the connection ends, it does not hang";
    EXPECT_EQ(e.bytes, "") << "no byte of the answer gets through";
    EXPECT_TRUE(lastRefused_);
    EXPECT_NE(lastFailure_.find("certificate refused"), std::string::npos) << lastFailure_;
    EXPECT_NE(lastFailure_.find(c.reason), std::string::npos) << lastFailure_;
  }
  // The test authority is trusted only while it is added: the system's store does not know it.
  ASSERT_TRUE(TlsSession::SetExtraAuthorities(""));
  EXPECT_EQ(FetchOver(good, "127.0.0.1").bytes, "");
  EXPECT_TRUE(lastRefused_) << lastFailure_;
  EXPECT_FALSE(TlsSession::SetExtraAuthorities(dir_.Path("www/data.bin"))) << "a file without a certificate";
}

// The session takes ciphertext from the network in large pieces, so a whole answer can wait
// inside it while the socket itself has nothing: readiness must still be reported, and must end
// with the last byte taken (no endless "readable" over an empty session).
TEST_F(QSocketTlsTest, AnswerHeldInsideTheSessionCountsAsReadable) {
  std::ofstream(dir_.Path("www/small.bin"), std::ios::binary) << content_.substr(0, 100000);
  // Records of the size of each read below: every read ends where a record does, with nothing
  // decrypted left over.
  test::NginxServer& server = StartServer("good", "    ssl_buffer_size 1000;\n");
  QSocket s;
  ASSERT_TRUE(s.Connect(Loopback(), server.Port()));
  ASSERT_TRUE(s.StartTls("127.0.0.1"));
  // Kept alive: no close makes the socket readable once the answer is in.
  const std::string request = "GET /small.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_GE(test::SendText(s, request), 0);
  ASSERT_GT(test::ReceiveAtLeast(s, 1), 0) << s.TlsFailureText();
  platform::SleepMs(300);  // the rest of the answer reaches the socket
  std::string answer = test::HeldText(s);
  s.ConsumeReceived(-1);
  const auto complete = [&] { return answer.find("\r\n\r\n") != std::string::npos && Body(answer).size() >= 100000; };
  while (!complete()) {
    ASSERT_TRUE(s.WaitReadable(0)) << "held " << answer.size() << " bytes";
    ASSERT_GE(s.Receive(1000), 0) << s.TlsFailureText();
    answer += test::HeldText(s);
    s.ConsumeReceived(-1);
  }
  EXPECT_TRUE(Body(answer) == content_.substr(0, 100000));
  EXPECT_FALSE(s.WaitReadable(0));
  EXPECT_EQ(s.Receive(1000), 0);
  EXPECT_FALSE(s.WaitReadable(0)) << "a read that found nothing leaves nothing to wait for";
}

// A plain server answering the TLS greeting fails the session without taking it for a refusal.
TEST_F(QSocketTlsTest, PlainServerIsNoTlsPeer) {
  test::NginxServer& plain = StartServer("");
  QSocket s;
  ASSERT_TRUE(s.Connect(Loopback(), plain.Port()));
  ASSERT_TRUE(s.StartTls("127.0.0.1"));
  const Exchange e = SendAndReceiveAll(s, GetRequest("/data.bin"));
  EXPECT_FALSE(e.timedOut);
  EXPECT_EQ(e.bytes, "");
  EXPECT_FALSE(s.TlsCertificateRefused());
  EXPECT_NE(s.TlsFailureText(), "");
}

}  // namespace
}  // namespace bw
