#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/net/QSocket.h"
#include "engine/net/TlsSession.h"
#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/NginxServer.h"
#include "tests/net/TestCertificate.h"
#include "tests/net/SocketPump.h"
#include "tests/support/Require.h"

namespace bw {
namespace {

using test::HeldText;
using test::Loopback;
using test::ReceiveAtLeast;
using test::SendText;

// Real proxies on 127.0.0.1, each in front of an echo server of the test.
class RealProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bw-proxy-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    proxy_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Starts the program with a config file written from text; skips when it is not installed.
  void Start(const std::string& program, const std::string& config,
             std::vector<std::string> (*args)(const std::string& exe, const std::string& conf,
                                               const std::string& dir, uint16_t port)) {
    const std::string exe = test::FindProgram(program);
    if (exe.empty()) GTEST_SKIP() << program << " is not installed (scripts/deps.sh installs it)";
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = test::FreePort();
      std::string text = config;
      for (size_t at; (at = text.find("@PORT@")) != std::string::npos;) {
        text.replace(at, 6, std::to_string(port_));
      }
      for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) text.replace(at, 5, dir_);
      const std::string conf = dir_ + "/" + program + ".conf";
      std::ofstream(conf) << text;
      proxy_ = std::make_unique<test::ChildProcess>(args(exe, conf, dir_, port_),
                                                    dir_ + "/" + program + ".out");
      if (proxy_->WaitListening(port_)) return;
      proxy_.reset();
    }
    FAIL() << program << " did not start";
  }

  void StartTinyproxy() {
    Start("tinyproxy",
          "Port @PORT@\nListen 127.0.0.1\nTimeout 20\nMaxClients 8\nAllow 127.0.0.1\n"
          "PidFile \"@DIR@/tinyproxy.pid\"\nBasicAuth user secret\n",
          [](const std::string& exe, const std::string& conf, const std::string&, uint16_t) {
            return std::vector<std::string>{exe, "-d", "-c", conf};
          });
  }

  void StartDante(uint16_t blockedPort) {
    Start("danted",
          "logoutput: @DIR@/danted.log\ninternal: 127.0.0.1 port = @PORT@\nexternal: 127.0.0.1\n"
          "clientmethod: none\nsocksmethod: none\nuser.privileged: root\n"
          "user.unprivileged: nobody\nclient pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
          "socks block { from: 0.0.0.0/0 to: 127.0.0.1/32 port = " +
              std::to_string(blockedPort) +
              " }\nsocks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n",
          [](const std::string& exe, const std::string& conf, const std::string& dir, uint16_t) {
            return std::vector<std::string>{exe, "-f", conf, "-p", dir + "/danted.pid"};
          });
  }

  void StartMicrosocks() {
    Start("microsocks", "",
          [](const std::string& exe, const std::string&, const std::string&, uint16_t port) {
            return std::vector<std::string>{exe, "-i", "127.0.0.1", "-p", std::to_string(port),
                                            "-u", "user", "-P", "secret"};
          });
  }

  QProxyInfo Proxy(uint32_t type, const char* user = "", const char* password = "") const {
    QProxyInfo p;
    p.type = type;
    p.address = Loopback();
    p.port = port_;
    p.timeout = 6;
    p.user = user;
    p.password = password;
    return p;
  }

  // Connects through the proxy and checks that bytes make the round trip to the echo server.
  void ExpectEchoThrough(const QProxyInfo& settings, const std::string& host = "") {
    QSocket s;
    ASSERT_TRUE(host.empty() ? s.Connect(Loopback(), echo_.Port(), false, &settings)
                             : s.ConnectHost(host, echo_.Port(), false, &settings));
    EXPECT_GE(SendText(s, "through the tunnel"), 0);
    ASSERT_EQ(ReceiveAtLeast(s, 18), 18);
    EXPECT_EQ(HeldText(s), "through the tunnel");
    EXPECT_TRUE(s.IsReady());
  }

  // The same by address and with the proxy resolving the host text. The text is the echo
  // server's own address: a name such as "localhost" may resolve to ::1, where nothing listens.
  void ExpectEchoByAddressAndByName(QProxyInfo settings) {
    ExpectEchoThrough(settings);
    settings.remoteResolve = true;
    ExpectEchoThrough(settings, "127.0.0.1");
  }

  // Connects through the proxy and expects the tunnel to be refused.
  void ExpectRefused(const QProxyInfo& settings, uint16_t port) {
    QSocket s;
    ASSERT_TRUE(s.Connect(Loopback(), port, false, &settings));
    SendText(s, "never delivered");
    EXPECT_EQ(ReceiveAtLeast(s, 1), -1);
    EXPECT_FALSE(s.IsReady());
  }

  test::LoopbackServer echo_{test::Echo};
  std::string dir_;
  uint16_t port_ = 0;
  std::unique_ptr<test::ChildProcess> proxy_;
};

TEST_F(RealProxyTest, TinyproxyConnectWithBasicAuthorisation) {
  BW_REQUIRE(StartTinyproxy());
  ExpectEchoByAddressAndByName(Proxy(PROXY_HTTP, "user", "secret"));
}

// TLS starts once the tunnel stands: the proxy sees only the CONNECT, the server the session.
TEST_F(RealProxyTest, TinyproxyCarriesTlsToAnHttpsServer) {
  if (!test::NginxServer::Installed()) GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs it)";
  ASSERT_TRUE(test::MakeSignedCertificate(dir_ + "/ca", dir_ + "/tls"));
  std::filesystem::create_directories(dir_ + "/www");
  const std::string content(1 << 20, 'x');
  std::ofstream(dir_ + "/www/f.bin", std::ios::binary) << content;
  test::NginxServer https(dir_ + "/www", dir_ + "/nginx", "", "127.0.0.1", dir_ + "/tls");
  ASSERT_TRUE(https.Running()) << https.ErrorLog();
  BW_REQUIRE(StartTinyproxy());
  ASSERT_TRUE(TlsSession::SetExtraAuthorities(dir_ + "/ca/ca.pem"));
  QSocket s;
  const QProxyInfo settings = Proxy(PROXY_HTTP, "user", "secret");
  ASSERT_TRUE(s.Connect(Loopback(), https.Port(), false, &settings));
  ASSERT_TRUE(s.StartTls("127.0.0.1"));
  const test::Exchange e =
      test::SendAndReceiveAll(s, "GET /f.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  TlsSession::SetExtraAuthorities("");
  EXPECT_EQ(s.TlsFailureText(), "");
  EXPECT_EQ(e.bytes.rfind("HTTP/1.1 200", 0), 0u) << e.bytes.substr(0, 200);
  EXPECT_TRUE(e.bytes.size() > content.size() && e.bytes.substr(e.bytes.size() - content.size()) == content);
}

TEST_F(RealProxyTest, TinyproxyRefusals) {
  BW_REQUIRE(StartTinyproxy());
  ExpectRefused(Proxy(PROXY_HTTP, "user", "wrong"), echo_.Port());      // 407
  ExpectRefused(Proxy(PROXY_HTTP, "user", "secret"), test::FreePort());  // nobody there: 500
}

TEST_F(RealProxyTest, DanteSocks4AndSocks5) {
  BW_REQUIRE(StartDante(test::FreePort()));
  ExpectEchoThrough(Proxy(PROXY_SOCKS4));
  ExpectEchoByAddressAndByName(Proxy(PROXY_SOCKS5));
}

TEST_F(RealProxyTest, DanteRefusesABlockedDestination) {
  test::LoopbackServer blocked(test::Echo);
  BW_REQUIRE(StartDante(blocked.Port()));
  ExpectRefused(Proxy(PROXY_SOCKS4), blocked.Port());
  ExpectRefused(Proxy(PROXY_SOCKS5), blocked.Port());
  EXPECT_EQ(blocked.Connections(), 0);
}

TEST_F(RealProxyTest, MicrosocksUserAndPassword) {
  BW_REQUIRE(StartMicrosocks());
  ExpectEchoByAddressAndByName(Proxy(PROXY_SOCKS5, "user", "secret"));
  QSocket s;
  const QProxyInfo wrong = Proxy(PROXY_SOCKS5, "user", "wrong");
  EXPECT_FALSE(s.Connect(Loopback(), echo_.Port(), false, &wrong));
  const QProxyInfo none = Proxy(PROXY_SOCKS5);
  EXPECT_FALSE(s.Connect(Loopback(), echo_.Port(), false, &none));  // it insists on a password
}

}  // namespace
}  // namespace bw
