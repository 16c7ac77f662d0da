// The resource list fetched over HTTPS from a real nginx that presents the test's own certificate.
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>
#include <string>

#include "app/HttpGet.h"
#include "tests/app/AppTestSupport.h"
#include "tests/net/NginxServer.h"
#include "tests/net/TestCertificate.h"

namespace bw::app::test {
namespace {

constexpr const char* kListPath = "/downloader/tnwResourceList20170222.xml";

class MirrorRefreshTest : public ControllerFixture {
 protected:
  void SetUp() override {
    ControllerFixture::SetUp();
    if (!bw::test::NginxServer::Installed()) GTEST_SKIP() << "nginx is needed (scripts/deps.sh installs it)";
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "ALL_PROXY", "HTTPS_PROXY"}) ::unsetenv(name);
    std::filesystem::create_directories(dir_.Path("tls"));
    ASSERT_TRUE(bw::test::MakeTestCertificate(dir_.Path("tls")));
    ::setenv("CURL_CA_BUNDLE", dir_.Path("tls/cert.pem").c_str(), 1);
    Serve("portal.html", "<html><body><form action=\"/login\">Hotel Wi-Fi</form></body></html>");
    Serve("big.bin", std::string((1 << 20) + 1, 'x'));
    server_ = std::make_unique<bw::test::NginxServer>(dir_.Path("www"), dir_.Path("nginx"),
                                                      "location = /to-ftp { return 302 ftp://127.0.0.1/x; }\n"
                                                      "location = /to-list { return 302 " +
                                                          std::string(kListPath) + "; }\n",
                                                      "127.0.0.1", dir_.Path("tls"));
    ASSERT_TRUE(server_->Running()) << server_->ErrorLog();
  }
  void TearDown() override { ::unsetenv("CURL_CA_BUNDLE"); }

  void Serve(const std::string& name, const std::string& content) { WriteFile(dir_.Path("www/" + name), content); }
  std::string Url(const std::string& path) const { return server_->HttpsUrl(path); }

  std::unique_ptr<bw::test::NginxServer> server_;
};

TEST_F(MirrorRefreshTest, HttpGetKeepsItsLimits) {
  Serve(std::string(kListPath).substr(1), "<project/>");
  struct Case {
    std::string path;
    bool fetched;
  } cases[] = {{kListPath, true}, {"/to-list", true}, {"/missing", false}, {"/big.bin", false}, {"/to-ftp", false}};
  for (const Case& c : cases) {
    std::string content, error;
    long status = 0;
    EXPECT_EQ(HttpGet(Url(c.path), &content, &error, &status, 0), c.fetched) << c.path << ": " << error;
    if (c.fetched) {
      EXPECT_EQ(content, "<project/>");
    }
  }
  // A fetch cancelled (the program ends) gives up at once.
  const std::atomic<bool> cancelled{true};
  std::string content, error;
  long status = 0;
  EXPECT_FALSE(HttpGet(Url(kListPath), &content, &error, &status, 0, &cancelled));
  // Without the test's authority the server is not trusted.
  ::unsetenv("CURL_CA_BUNDLE");
  error.clear();
  EXPECT_FALSE(HttpGet(Url(kListPath), &content, &error, &status, 0));
  EXPECT_EQ(error, "Failed to get " + Url(kListPath));
}

TEST_F(MirrorRefreshTest, ExpiryComesFromTheListAndNotFromACaptivePortal) {
  package_.resourceListUrl = Url("/portal.html");
  Start();
  std::string message, url;
  EXPECT_FALSE(C().CheckExpiry(&message, &url));
  Serve(std::string(kListPath).substr(1),
        "<project><configs><expire-info><expired>true</expired><message>请下载新版本</message>"
        "<url>https://127.0.0.1/new</url></expire-info></configs></project>");
  package_.resourceListUrl = Url(kListPath);
  EXPECT_TRUE(C().CheckExpiry(&message, &url));
  EXPECT_EQ(message, "请下载新版本");
  EXPECT_EQ(url, "https://127.0.0.1/new");
}

// Once data flows the list is fetched: its switch turns P2P off, and its mirrors replace each
// task's list, with their Host values.
TEST_F(MirrorRefreshTest, MirrorsOfTheListReachTheirTasks) {
  Serve(std::string(kListPath).substr(1),
        "<project><configs><p2p-switch>off</p2p-switch></configs><resources>"
        "<resource id=\"1\" task=\"" +
            package_.rows[1].url +
            "\">"
            "<cdn id=\"1\" name=\"a\" middle-dir=\"/m/\" file-name=\"tnw001.cab\" host-name=\"cdn.test\" open=\"1\">"
            "<ip>127.0.0.2</ip><ip>127.0.0.3</ip></cdn></resource>"
            "<resource id=\"2\" task=\"http://127.0.0.1:9/unknown\"><cdn id=\"1\" name=\"a\" middle-dir=\"/\" "
            "file-name=\"x\" open=\"1\"><ip>127.0.0.4</ip></cdn></resource>"
            "<resource id=\"3\" task=\"" +
            package_.rows[4].url +
            "\">"
            "<cdn id=\"1\" name=\"a\" middle-dir=\"/m/\" file-name=\"tnw004.cab\" open=\"1\"><ip>127.0.0.5</ip></cdn>"
            "</resource></resources></project>");
  package_.resourceListUrl = Url(kListPath);
  Downloading();
  TaskOf(0).mirrors = {{"http://127.0.0.9/old", "old"}};
  ASSERT_EQ(host_.started, 1);
  host_.RunPosted();
  EXPECT_EQ(engine_.p2p, 0);
  EXPECT_TRUE(TaskOf(0).mirrors.empty());
  EXPECT_THAT(TaskOf(1).mirrors, ::testing::ElementsAre(std::make_pair("http://127.0.0.2/m/tnw001.cab", "cdn.test"),
                                                        std::make_pair("http://127.0.0.3/m/tnw001.cab", "cdn.test")));
  EXPECT_THAT(TaskOf(4).mirrors, ::testing::ElementsAre(std::make_pair("http://127.0.0.5/m/tnw004.cab", "null")));
  for (int i = 0; i < kFileCount; ++i) EXPECT_EQ(TaskOf(i).clears, 1) << i;

  // The next refresh waits for the counter's next round.
  for (int n = 0; n < 10; ++n) C().GetSpeedText();
  EXPECT_EQ(host_.started, 1);
}

}  // namespace
}  // namespace bw::app::test
