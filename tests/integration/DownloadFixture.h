#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "tests/support/TempDir.h"
#include "tests/integration/BwgetProcess.h"
#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"
#include "tests/net/NginxServer.h"

namespace bw::test {

// A content of random bytes in a folder that local mirrors serve, its torrent, the mirrors
// themselves and the download tool's runs against them, all under one temp folder.
class DownloadFixture : public ::testing::Test {
 protected:
  static constexpr const char* kName = "data.bin";

  void SetUp() override {
    if (!NginxServer::Installed() || FindProgram("mktorrent").empty()) {
      GTEST_SKIP() << "nginx and mktorrent are needed (scripts/deps.sh installs them)";
    }
    // The tool keeps its engine's work folder in the user's cache: keep it in the test's folder.
    ::setenv("XDG_CACHE_HOME", dir_.Path("cache").c_str(), 1);
  }

  static std::string RandomContent(int64_t size) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::string bytes(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < bytes.size(); i += 8) {
      const uint64_t word = random();
      for (size_t j = 0; j < 8 && i + j < bytes.size(); ++j) bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
    return bytes;
  }

  // The content every good mirror serves from the folder "www".
  void MakeContent(int64_t size) {
    content_ = RandomContent(size);
    WriteFile("www", content_);
  }

  // A content file in a folder of its own: another folder serves a differing copy.
  void WriteFile(const std::string& folder, const std::string& bytes) {
    std::filesystem::create_directories(dir_.Path(folder));
    std::ofstream(dir_.Path(folder + "/" + kName), std::ios::binary) << bytes;
  }

  // A torrent of the content with pieces of 2^pieceLog bytes, its tracker unreachable unless given.
  std::string MakeTorrent(int pieceLog, const std::string& announce = "http://127.0.0.1:1/announce") {
    const std::string torrent = dir_.Path("data.torrent");
    std::filesystem::remove(torrent);  // mktorrent writes no torrent over another
    ChildProcess mktorrent({FindProgram("mktorrent"), "-l", std::to_string(pieceLog), "-a", announce, "-o", torrent,
                            dir_.Path(std::string("www/") + kName)},
                           dir_.Path("mktorrent.log"));
    EXPECT_EQ(mktorrent.Wait(60000), 0) << TempDir::Read(dir_.Path("mktorrent.log"));
    return torrent;
  }

  // The info hash in hex, as opentracker's whitelist wants it (python3-libtorrent reads it).
  std::string InfoHash(const std::string& torrent) {
    const std::string log = dir_.Path("infohash.log");
    ChildProcess python({"/usr/bin/python3", "-c",
                         "import sys, libtorrent as lt; print(lt.torrent_info(sys.argv[1]).info_hash())", torrent},
                        log);
    EXPECT_EQ(python.Wait(60000), 0) << TempDir::Read(log);
    return TempDir::Read(log).substr(0, 40);
  }

  // A mirror of the folder `root` (under the test's folder) with extra server directives; over
  // HTTPS with the cert.pem and key.pem of the folder `tls`.
  NginxServer& StartMirror(const std::string& directives = "", const std::string& root = "www",
                           const std::string& tls = "") {
    const std::string prefix = dir_.Path("mirror" + std::to_string(mirrors_.size()));
    std::filesystem::create_directories(dir_.Path(root));
    mirrors_.push_back(std::make_unique<NginxServer>(dir_.Path(root), prefix, directives, "127.0.0.1",
                                                     tls.empty() ? "" : dir_.Path(tls)));
    EXPECT_TRUE(mirrors_.back()->Running()) << mirrors_.back()->ErrorLog();
    return *mirrors_.back();
  }

  std::string MirrorUrl(const NginxServer& mirror) const { return mirror.Url(std::string("/") + kName); }

  // Every run of a test listens on the same port of its own (a second run at once takes one of
  // the next), and keeps LAN discovery on loopback and a port of the test's own: tests run side
  // by side, and no datagram leaves the host. The engine's lines go to the log: a run that
  // stalls says why.
  std::unique_ptr<BwgetProcess> StartBwget(std::vector<std::string> options) {
    options.insert(options.begin(), {"--listen-port", std::to_string(listenPort_), "--lan-interface", "127.0.0.1",
                                     "--lan-port", std::to_string(lanPort_), "--engine-log"});
    ++runs_;
    return std::make_unique<BwgetProcess>(options, dir_.Path("bwget" + std::to_string(runs_) + ".log"));
  }

  // Runs the tool to its end; its exit status, with its output shown when it is not `expected`.
  // The run's output and duration stay for the test to look at.
  int RunBwget(const std::vector<std::string>& options, int expected = 0, int timeoutMs = 120000) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<BwgetProcess> bwget = StartBwget(options);
    int status = bwget->Wait(timeoutMs);
    if (status < 0) {
      bwget->Signal(SIGKILL);
      status = bwget->Wait(10000);
      ADD_FAILURE() << "bwget did not end within " << timeoutMs << " ms";
    }
    EXPECT_EQ(status, expected) << bwget->Tail() << bwget->LinesWith("Stall: ") << MirrorRequests();
    lastOutput_ = bwget->Output();
    lastSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status;
  }

  static int Answers(const NginxServer& mirror, int status) {
    int n = 0;
    for (const AccessEntry& e : mirror.Requests()) n += e.status == status;
    return n;
  }

  // What each mirror was asked and answered so far, for failure messages.
  std::string MirrorRequests() const {
    std::ostringstream text;
    for (const auto& mirror : mirrors_) {
      std::map<int, std::pair<int, int64_t>> byStatus;
      for (const AccessEntry& e : mirror->Requests()) {
        ++byStatus[e.status].first;
        byStatus[e.status].second += e.bytesSent;
      }
      text << mirror->Url("") << ":";
      for (const auto& [status, counts] : byStatus) {
        text << " " << counts.first << " x " << status << " (" << counts.second << " bytes)";
      }
      text << "\n";
    }
    return text.str();
  }

  std::string Target() const { return dir_.Path("out/") + kName; }

  // Says where the file first differs instead of printing megabytes.
  void ExpectTargetIsTheContent() const {
    const std::string got = TempDir::Read(Target());
    EXPECT_EQ(got.size(), content_.size()) << Target();
    const auto [at, ignored] = std::mismatch(got.begin(), got.end(), content_.begin(), content_.end());
    EXPECT_TRUE(got == content_) << "the downloaded file differs from byte " << (at - got.begin());
  }

  // A request reaches the log when the mirror sees its connection closed, which takes a moment
  // after the client went; stopping a mirror cuts the rest off unlogged.
  void StopMirrors() {
    platform::SleepMs(300);
    for (auto& mirror : mirrors_) mirror->Stop();
  }

  size_t RequestCount() const {
    size_t n = 0;
    for (const auto& mirror : mirrors_) n += mirror->Requests().size();
    return n;
  }

  int64_t SentByAll() const {
    int64_t total = 0;
    for (const auto& mirror : mirrors_) total += mirror->BytesSent();
    return total;
  }

  TempDir dir_;
  std::string content_;
  std::vector<std::unique_ptr<NginxServer>> mirrors_;
  std::string lastOutput_;
  double lastSeconds_ = 0;
  int runs_ = 0;
  uint16_t listenPort_ = FreePort();
  uint16_t lanPort_ = FreePort();
};

}  // namespace bw::test
