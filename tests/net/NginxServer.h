#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/net/ServerProcess.h"

namespace bw::test {

// One line of a server's access log.
struct AccessEntry {
  std::string method;
  std::string uri;
  int status = 0;
  int64_t bytesSent = 0;  // body bytes written to the connection
  std::string range;      // the request's Range header, "-" without one
  int64_t connection = 0; // the server's serial number of the connection that carried it
  double end = 0;         // seconds since the epoch when it was logged (its connection closed)
  double seconds = 0;     // from its first byte read to its logging
};

// A real nginx serving a folder on 127.0.0.1 at a port chosen at run time, with its prefix, pid
// file and logs in a folder of its own, stopped by its pid. Its access log tells what it sent; a
// request still in progress when it stops is cut off and never logged.
class NginxServer : public ServerProcess {
 public:
  static bool Installed() { return !FindProgram("nginx").empty(); }

  // `directives` go into the server block: redirects, aliases, `limit_rate`. With `tlsFolder`
  // (holding cert.pem and key.pem) it serves HTTPS.
  NginxServer(const std::string& root, const std::string& prefix, const std::string& directives = "",
              const std::string& address = "127.0.0.1", const std::string& tlsFolder = "")
      : ServerProcess(
            [folder = Folder(prefix), &root, &directives, &address, &tlsFolder](uint16_t port) {
              WriteConfig(folder, address, port, root, directives, tlsFolder);
              return std::vector<std::string>{FindProgram("nginx"), "-c", folder + "nginx.conf", "-p", folder, "-e",
                                              folder + "error.log"};
            },
            Folder(prefix) + "nginx.out", address),
        prefix_(Folder(prefix)) {}

  std::string ErrorLog() const { return ReadText(prefix_ + "error.log"); }
  std::string HttpsUrl(const std::string& path) const {
    return "https://" + Address() + ":" + std::to_string(Port()) + path;
  }

  std::vector<AccessEntry> Requests() const {
    std::vector<AccessEntry> entries;
    std::istringstream lines(ReadText(prefix_ + "access.log"));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      AccessEntry e;
      if (fields >> e.method >> e.uri >> e.status >> e.bytesSent >> e.range >> e.connection >> e.end >> e.seconds) {
        entries.push_back(e);
      }
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

  // The prefix folder, made, with a slash at the end.
  static std::string Folder(const std::string& prefix) {
    std::filesystem::create_directories(prefix);
    return prefix.back() == '/' ? prefix : prefix + "/";
  }

  static void WriteConfig(const std::string& p, const std::string& address, uint16_t port, const std::string& root,
                          const std::string& directives, const std::string& tls) {
    std::ofstream(p + "nginx.conf")
        << "daemon off;\nmaster_process off;\npid " << p << "nginx.pid;\nerror_log " << p << "error.log;\n"
        << "events { worker_connections 256; }\nhttp {\n"
        << "  log_format ranges '$request_method $request_uri $status $body_bytes_sent $http_range $connection $msec $request_time';\n"
        << "  access_log " << p << "access.log ranges;\n"
        << "  client_body_temp_path " << p << "t1;\n  proxy_temp_path " << p << "t2;\n"
        << "  fastcgi_temp_path " << p << "t3;\n  uwsgi_temp_path " << p << "t4;\n"
        << "  scgi_temp_path " << p << "t5;\n"
        << "  default_type application/octet-stream;\n  sendfile on;\n  absolute_redirect off;\n"
        << "  server {\n    listen " << address << ":" << port << (tls.empty() ? "" : " ssl") << ";\n    root " << root
        << ";\n"
        << (tls.empty() ? ""
                        : "    ssl_certificate " + tls + "/cert.pem;\n    ssl_certificate_key " + tls + "/key.pem;\n")
        << directives << "\n  }\n}\n";
  }

  std::string prefix_;
};

}  // namespace bw::test
