#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"

namespace bw::test {

// One line of a server's access log.
struct AccessEntry {
  std::string method;
  std::string uri;
  int status = 0;
  int64_t bytesSent = 0;  // body bytes written to the connection
  std::string range;      // the request's Range header, "-" without one
};

// A real nginx serving a folder on 127.0.0.1 at a port chosen at run time, with its prefix, pid
// file and logs in a folder of its own, stopped by its pid. Its access log tells what it sent.
class NginxServer {
 public:
  static bool Installed() { return !FindProgram("nginx").empty(); }

  // `directives` go into the server block: redirects, aliases, `limit_rate`.
  NginxServer(const std::string& root, const std::string& prefix, const std::string& directives = "")
      : prefix_(prefix.back() == '/' ? prefix : prefix + "/") {
    std::filesystem::create_directories(prefix_);
    const std::string exe = FindProgram("nginx");
    for (int attempt = 0; attempt < 3 && !exe.empty(); ++attempt) {
      port_ = FreePort();  // another program may take it first: then try another
      WriteConfig(root, directives);
      process_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{exe, "-c", prefix_ + "nginx.conf", "-p", prefix_, "-e", prefix_ + "error.log"},
          prefix_ + "nginx.out");
      if (process_->WaitListening(port_)) return;
      process_.reset();
    }
  }

  bool Running() const { return process_ != nullptr; }
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string ErrorLog() const { return ReadText(prefix_ + "error.log"); }

  // Ends the server. A request still in progress is cut off and never logged.
  void Stop() { process_.reset(); }

  std::vector<AccessEntry> Requests() const {
    std::vector<AccessEntry> entries;
    std::istringstream lines(ReadText(prefix_ + "access.log"));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      AccessEntry e;
      if (fields >> e.method >> e.uri >> e.status >> e.bytesSent >> e.range) entries.push_back(e);
    }
    return entries;
  }

  // Bytes of the files served (200 and 206 answers), not of error pages.
  int64_t BytesSent() const {
    int64_t total = 0;
    for (const AccessEntry& e : Requests()) total += e.status == 200 || e.status == 206 ? e.bytesSent : 0;
    return total;
  }

 private:
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

  void WriteConfig(const std::string& root, const std::string& directives) const {
    const std::string& p = prefix_;
    std::ofstream(p + "nginx.conf")
        << "daemon off;\nmaster_process off;\npid " << p << "nginx.pid;\nerror_log " << p << "error.log;\n"
        << "events { worker_connections 256; }\nhttp {\n"
        << "  log_format ranges '$request_method $request_uri $status $body_bytes_sent $http_range';\n"
        << "  access_log " << p << "access.log ranges;\n"
        << "  client_body_temp_path " << p << "t1;\n  proxy_temp_path " << p << "t2;\n"
        << "  fastcgi_temp_path " << p << "t3;\n  uwsgi_temp_path " << p << "t4;\n"
        << "  scgi_temp_path " << p << "t5;\n"
        << "  default_type application/octet-stream;\n  sendfile on;\n  absolute_redirect off;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n    root " << root << ";\n"
        << directives << "\n  }\n}\n";
  }

  std::string prefix_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace bw::test
