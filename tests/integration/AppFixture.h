#pragma once
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <stdlib.h>
#include <string>
#include <vector>

#include "app/package/Package.h"
#include "platform/Thread.h"
#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/NginxServer.h"
#include "tests/net/TestCertificate.h"
#include "tests/support/StatisticsCollector.h"
#include "tests/support/TempDir.h"

namespace bw::test {

// The downloader without its window (bwconsole) against real servers on 127.0.0.1: nginx mirrors
// of the demo package's five files, nginx over HTTPS (the test's own certificate) for the resource
// list, and a statistics collector. The package that names them is built by bwpack for each test;
// the user's folders (XDG data, home) lie in the test's folder.
class AppFixture : public ::testing::Test {
 protected:
  static constexpr const char* kListPath = "/downloader/tnwResourceList20170222.xml";
  static constexpr const char* kFolder = "/client/client0223/";
  static inline const char* kNames[] = {"Inst.exe", "tnw001.cab", "tnw002.cab", "tnw003.cab", "tnw004.cab"};

  void SetUp() override {
    if (!NginxServer::Installed() || FindProgram("openssl").empty()) {
      GTEST_SKIP() << "nginx and openssl are needed (scripts/deps.sh installs them)";
    }
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "ALL_PROXY", "HTTPS_PROXY"}) ::unsetenv(name);
    ::setenv("XDG_DATA_HOME", dir_.Path("data").c_str(), 1);
    ::setenv("HOME", dir_.Path("home").c_str(), 1);
    std::filesystem::create_directories(dir_.Path("home"));
    std::filesystem::create_directories(dir_.Path("tls"));
    ASSERT_TRUE(MakeTestCertificate(dir_.Path("tls")));
    ::setenv("CURL_CA_BUNDLE", dir_.Path("tls/cert.pem").c_str(), 1);
    collector_ = std::make_unique<StatisticsCollector>(StatisticsCollector::Answer::kAccept);
    ASSERT_TRUE(collector_->Running());
    list_ =
        std::make_unique<NginxServer>(dir_.Path("list"), dir_.Path("list-server"), "", "127.0.0.1", dir_.Path("tls"));
    ASSERT_TRUE(list_->Running()) << list_->ErrorLog();
  }

  void TearDown() override { ::unsetenv("CURL_CA_BUNDLE"); }

  // A mirror serving the files of `files` (the demo package's by default) under `folder`, with
  // extra directives such as limit_rate.
  NginxServer& StartMirror(const std::string& folder, const std::string& directives = "",
                           const std::string& files = BW_DEMO_PACKAGE_DIR) {
    const std::string name = "mirror" + std::to_string(mirrors_.size());
    mirrors_.push_back(
        std::make_unique<NginxServer>(dir_.Path(name + "-root"), dir_.Path(name),
                                      "location " + folder + " { alias " + files + "/; }\n" + directives));
    EXPECT_TRUE(mirrors_.back()->Running()) << mirrors_.back()->ErrorLog();
    return *mirrors_.back();
  }

  // What the configuration server answers at the resource list's address.
  void ServeResourceList(const std::string& document) {
    std::filesystem::create_directories(dir_.Path("list/downloader"));
    std::ofstream(dir_.Path("list") + kListPath, std::ios::trunc) << document;
  }

  // A resource list that switches P2P off and names `mirror` for every file under "/m/".
  static std::string MirrorList(const NginxServer& base, const NginxServer& mirror) {
    std::string document = "<project><configs><p2p-switch>off</p2p-switch></configs><resources>";
    for (int i = 0; i < 5; ++i) {
      document += "<resource id=\"" + std::to_string(i) + "\" task=\"" + base.Url(kFolder) + kNames[i] +
                  "\"><cdn id=\"1\" name=\"m\" middle-dir=\"/m/\" file-name=\"" + kNames[i] +
                  "\" host-name=\"127.0.0.1\" open=\"1\"><ip>127.0.0.1:" + std::to_string(mirror.Port()) +
                  "</ip></cdn></resource>";
    }
    return document + "</resources></project>";
  }

  // The package of the files in `files` naming `base` as the download server, `tracker` in its
  // torrents, this test's resource list and collector.
  void BuildPackage(const NginxServer& base, const std::string& files = BW_DEMO_PACKAGE_DIR,
                    const std::string& tracker = "http://127.0.0.1:1/announce") {
    const std::string collector = collector_->Url();
    ChildProcess bwpack({BW_BWPACK, "build", files, "--base", base.Url(kFolder), "--resource-list",
                         list_->HttpsUrl(kListPath), "--tracker", tracker, "--stats",
                         collector.substr(0, collector.find("/launchersubmit")), "-o", Package()},
                        dir_.Path("bwpack.log"));
    ASSERT_EQ(bwpack.Wait(60000), 0) << TempDir::Read(dir_.Path("bwpack.log"));
  }

  std::string Package() const { return dir_.Path("package.bwpkg"); }

  // The built package's five torrents, written as files into `folder`.
  std::vector<std::string> PackageTorrents(const std::string& folder) const {
    std::string stored = TempDir::Read(Package());
    app::Package package;
    EXPECT_TRUE(app::DecodePackage(stored.data(), stored.size(), &package));
    std::filesystem::create_directories(folder);
    std::vector<std::string> torrents;
    for (const app::PackageRow& row : package.rows) {
      torrents.push_back(folder + "/" + row.name + ".torrent");
      std::ofstream(torrents.back(), std::ios::binary | std::ios::trunc) << row.torrent;
    }
    return torrents;
  }
  std::string Saved(int i) const { return dir_.Path("home/TNW0223/") + kNames[i]; }
  std::string Demo(int i) const { return std::string(BW_DEMO_PACKAGE_DIR) + "/" + kNames[i]; }

  // Runs the downloader in the background with `options` after --package; its log by run number.
  std::unique_ptr<ChildProcess> StartConsole(const std::vector<std::string>& options) {
    // LAN discovery stays on loopback, on a port of this test's own.
    std::vector<std::string> argv{BW_BWCONSOLE, "--package", Package(), "--lan-interface", "127.0.0.1",
                                  "--lan-port", std::to_string(lanPort_)};
    argv.insert(argv.end(), options.begin(), options.end());
    return std::make_unique<ChildProcess>(argv, LogPath(++runs_));
  }

  // Runs it to its end; its exit status.
  int RunConsole(const std::vector<std::string>& options, int timeoutMs = 60000) {
    std::unique_ptr<ChildProcess> run = StartConsole(options);
    const int status = run->Wait(timeoutMs);
    if (status < 0) ADD_FAILURE() << "bwconsole did not end within " << timeoutMs << " ms\n" << LastLog();
    return status;
  }

  std::string LogPath(int run) const { return dir_.Path("bwconsole" + std::to_string(run) + ".log"); }
  std::string LastLog() const { return TempDir::Read(LogPath(runs_)); }

  // The states a run printed, in order.
  std::vector<std::string> States(int run) const {
    std::vector<std::string> states;
    std::istringstream lines(TempDir::Read(LogPath(run)));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("state ", 0) == 0) states.push_back(line.substr(6));
    }
    return states;
  }

  void ExpectSavedFilesAreThePackage() const {
    for (int i = 0; i < 5; ++i) {
      EXPECT_TRUE(TempDir::Read(Saved(i)) == TempDir::Read(Demo(i))) << kNames[i] << " differs\n" << LastLog();
    }
  }

  // The event codes that reached the collector.
  std::multiset<std::string> ReportedCodes() const {
    std::multiset<std::string> codes;
    for (const std::string& post : collector_->Posts()) {
      for (const Json::Value& event : StatisticsCollector::Batch(post)) codes.insert(event["code"].asString());
    }
    return codes;
  }

  TempDir dir_;
  std::unique_ptr<StatisticsCollector> collector_;
  std::unique_ptr<NginxServer> list_;
  std::vector<std::unique_ptr<NginxServer>> mirrors_;
  int runs_ = 0;
  uint16_t lanPort_ = FreePort();
};

}  // namespace bw::test
