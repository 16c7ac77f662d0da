#pragma once
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "reporting/ReportingApi.h"
#include "tests/support/TempDir.h"
#include "tests/net/ServerProcess.h"

namespace bw::test {

// A statistics server on 127.0.0.1: Python's http.server that records the body of every POST
// and answers it as told, "{\"error\":0}" (accepted), "{\"error\":1}" (refused) or never.
class StatisticsCollector {
 public:
  enum class Answer { kAccept, kRefuse, kNever };

  explicit StatisticsCollector(Answer answer) {
    // The client honours the proxy variables: nothing a test posts may leave the machine.
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "ALL_PROXY", "HTTPS_PROXY"}) ::unsetenv(name);
    std::ofstream(dir_.Path("collector.py")) << kScript;
    const char* mode = answer == Answer::kAccept ? "accept" : answer == Answer::kRefuse ? "refuse" : "never";
    server_ = std::make_unique<ServerProcess>(
        [this, mode](uint16_t port) {
          return std::vector<std::string>{"/usr/bin/python3", dir_.Path("collector.py"), std::to_string(port), mode,
                                          dir_.Path("posts")};
        },
        dir_.Path("collector.log"));
  }

  bool Running() const { return server_->Running(); }
  std::string Url() const { return server_->Url("/launchersubmit/eventListSubmit"); }
  std::string Log() const { return TempDir::Read(dir_.Path("collector.log")); }

  // Every request body received so far, in order of arrival.
  std::vector<std::string> Posts() const {
    std::vector<std::string> posts;
    std::istringstream lines(TempDir::Read(dir_.Path("posts")));
    for (std::string line; std::getline(lines, line);) posts.push_back(line);
    return posts;
  }

  // Polls until `count` bodies have arrived; false when `timeoutMs` passes first.
  bool WaitForPosts(size_t count, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (Posts().size() >= count) return true;
      platform::SleepMs(20);
    }
    return false;
  }

  // The batch a body carries: "data=" and the encoded JSON text, decoded and parsed. A body that
  // is not such a batch fails the test and gives null.
  static Json::Value Batch(const std::string& post) {
    if (post.rfind("data=", 0) != 0) {
      ADD_FAILURE() << "not a data= form: " << post.substr(0, 80);
      return {};
    }
    std::string text;
    for (size_t i = 5; i < post.size(); ++i) {
      if (post[i] == '_') {
        text += ' ';
      } else if (post[i] == '%' && i + 2 < post.size()) {
        text += static_cast<char>(std::strtol(post.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
      } else {
        text += post[i];
      }
    }
    return Parse(text);
  }

  // A JSON text parsed strictly; failing the test and giving null when it is not JSON.
  static Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
      ADD_FAILURE() << "not JSON (" << errors << "): " << text.substr(0, 300);
      return {};
    }
    return value;
  }

 private:
  static constexpr const char* kScript = R"(import http.server, sys, time
port, mode, record = int(sys.argv[1]), sys.argv[2], sys.argv[3]

class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with open(record, 'ab') as f:
            f.write(body + b'\n')
        if mode == 'never':
            time.sleep(600)
            return
        answer = b'{"error":0}' if mode == 'accept' else b'{"error":1}'
        self.send_response(200)
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

Server(('127.0.0.1', port), Handler).serve_forever()
)";

  TempDir dir_;
  std::unique_ptr<ServerProcess> server_;
};

// A statistics configuration as the application unpacks it, naming `urls` as the servers.
inline std::string StatisticsConfigText(const std::vector<std::string>& urls) {
  std::string text =
      "[SubmitEventDownload]\n"
      "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
      "SubmitDataKeyWord=MachId;Mac;OS\n"
      "\n"
      "[SubmitEventDownloadSeveral]\n"
      "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
      "SubmitDataKeyWord=MachId;Mac;OS\n";
  for (size_t i = 0; i < urls.size(); ++i) {
    text += "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + urls[i] + "\n";
  }
  return text;
}

// Starts the statistics upload as the application does, its configuration (naming `urls`) written
// into `folder`. Without a game version the upload is not usable.
inline void StartUpload(const TempDir& folder, const std::vector<std::string>& urls,
                        const char* gameVersion = "v1.0.0.29") {
  const std::string path = folder.Path("dataupload.bwconf");
  std::ofstream(path) << StatisticsConfigText(urls);
  StartDataUpload(path.c_str(), "991002085", "1.0.0.1", gameVersion, "1");
}

}  // namespace bw::test
