// Mirrors over HTTPS: nginx with certificates of an authority the test makes, trusted through
// --ca-file; certificates the tool must refuse; redirects into HTTPS; a kill and a dropped session.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/integration/DownloadFixture.h"
#include "tests/net/TestCertificate.h"

namespace bw::test {
namespace {

constexpr int64_t kSize = (6 << 20) + 4321;  // the last piece short

class HttpsDownloadTest : public DownloadFixture {
 protected:
  void SetUp() override {
    DownloadFixture::SetUp();
    if (IsSkipped()) return;
    if (FindProgram("openssl").empty()) GTEST_SKIP() << "openssl is needed (scripts/deps.sh installs it)";
    MakeContent(kSize);
    ASSERT_TRUE(MakeSignedCertificate(dir_.Path("ca"), dir_.Path("tls")));
  }

  NginxServer& StartSecureMirror(const std::string& directives = "", const std::string& tls = "tls") {
    return StartMirror(directives, "www", tls);
  }
  std::string SecureUrl(const NginxServer& mirror) const { return mirror.HttpsUrl(std::string("/") + kName); }
  std::string CaFile() const { return dir_.Path("ca/ca.pem"); }
};

TEST_F(HttpsDownloadTest, TwoSecureMirrorsGiveTheVerifiedContent) {
  NginxServer& a = StartSecureMirror("    ssl_protocols TLSv1.2;");
  NginxServer& b = StartSecureMirror("    ssl_protocols TLSv1.3;");
  RunBwget({"-t", MakeTorrent(18), "-o", Target(), "--progress", "none", "--ca-file", CaFile(), SecureUrl(a),
            SecureUrl(b)});
  ExpectTargetIsTheContent();
  StopMirrors();
  EXPECT_GT(a.BytesSent(), 0) << "the TLS 1.2 mirror served nothing";
  EXPECT_GT(b.BytesSent(), 0) << "the TLS 1.3 mirror served nothing";
}

TEST_F(HttpsDownloadTest, RedirectFromHttpToHttps) {
  NginxServer& secure = StartSecureMirror();
  NginxServer& plain = StartMirror("    location = /moved.bin { return 302 " + SecureUrl(secure) + "; }", "empty");
  RunBwget({"-o", Target(), "--progress", "none", "--ca-file", CaFile(), plain.Url("/moved.bin")});
  ExpectTargetIsTheContent();
  StopMirrors();
  EXPECT_GE(Answers(plain, 302), 1);
  EXPECT_GE(secure.BytesSent(), kSize);
}

TEST_F(HttpsDownloadTest, RefusedCertificatesSayWhyAndFetchNothing) {
  ASSERT_TRUE(MakeSignedCertificate(dir_.Path("ca"), dir_.Path("other"), "DNS:other.test"));
  struct Case {
    const char* what;
    const char* tls;
    bool trustTheAuthority;
  };
  for (const Case& c : {Case{"issued for another name", "other", true}, Case{"untrusted authority", "tls", false}}) {
    SCOPED_TRACE(c.what);
    NginxServer& mirror = StartSecureMirror("", c.tls);
    std::vector<std::string> options{"-o", Target(), "--progress", "none", "--timeout", "3"};
    if (c.trustTheAuthority) options.insert(options.end(), {"--ca-file", CaFile()});
    options.push_back(SecureUrl(mirror));
    RunBwget(options, 2);
    EXPECT_NE(lastOutput_.find("bwget: warning: 20230: an https source's certificate was refused"), std::string::npos)
        << lastOutput_;
    EXPECT_TRUE(mirror.Requests().empty()) << "a request went out over a refused session";
  }
}

TEST_F(HttpsDownloadTest, KilledRunResumesOverHttps) {
  // One connection a mirror: the slow mirrors leave the first run time to be killed.
  std::vector<std::string> options{"-t",        MakeTorrent(18), "-o",     Target(), "--progress", "json",
                                   "--ca-file", CaFile(),        "--max-sources", "2"};
  for (int i = 0; i < 2; ++i) options.push_back(SecureUrl(StartSecureMirror("    limit_rate 400k;")));
  std::unique_ptr<BwgetProcess> first = StartBwget(options);
  ASSERT_TRUE(first->WaitForReceived(kSize / 3, 60000)) << first->Tail() << MirrorRequests();
  platform::SleepMs(1200);  // a progress report after pieces were written out
  first->Signal(SIGKILL);
  ASSERT_EQ(first->Wait(10000), 128 + SIGKILL);
  const int64_t doneAtKill = first->DoneBytes();
  std::unique_ptr<BwgetProcess> second = StartBwget(options);
  ASSERT_EQ(second->Wait(60000), 0) << second->Tail();
  ExpectTargetIsTheContent();
  int64_t doneAtStart = -1;  // at the first report of data
  for (const ProgressLine& line : second->Progress()) {
    if (line.httpBytes > 0 && doneAtStart < 0) doneAtStart = line.doneBytes;
  }
  EXPECT_GE(doneAtStart, doneAtKill) << "the second run started over";
  EXPECT_GT(doneAtKill, 0);
}

// A mirror that goes away in the middle of its answers (its sessions cut without a closing
// alert) leaves the rest to the other one.
TEST_F(HttpsDownloadTest, MirrorDroppingItsSessionsMidBody) {
  NginxServer& dropping = StartSecureMirror("    limit_rate 512k;");
  NginxServer& steady = StartSecureMirror("    limit_rate 2m;");
  std::unique_ptr<BwgetProcess> bwget = StartBwget({"-t", MakeTorrent(18), "-o", Target(), "--progress", "json",
                                                    "--ca-file", CaFile(), SecureUrl(dropping), SecureUrl(steady)});
  ASSERT_TRUE(bwget->WaitForReceived(1 << 20, 30000)) << bwget->Tail();
  dropping.Stop();
  ASSERT_EQ(bwget->Wait(60000), 0) << bwget->Tail();
  ExpectTargetIsTheContent();
}

}  // namespace
}  // namespace bw::test
