#pragma once
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"

namespace bw::test {

// Python's http.server on 127.0.0.1 at a port chosen at run time: a real server that ignores
// Range and answers every request 200 with the whole file. Debian's interpreter, not whichever
// python3 comes first on PATH.
class PythonHttpServer {
 public:
  PythonHttpServer(const std::string& root, const std::string& logPath) : logPath_(logPath) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreePort();  // another program may take it first: then try another
      process_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                                   "--directory", root, std::to_string(port_)},
          logPath);
      if (process_->WaitListening(port_)) return;
      process_.reset();
    }
  }

  bool Running() const { return process_ != nullptr; }
  uint16_t Port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // One line per request on its standard error.
  std::string Log() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::string logPath_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace bw::test
