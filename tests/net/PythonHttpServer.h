#pragma once
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/ServerProcess.h"

namespace bw::test {

// Python's http.server on 127.0.0.1 at a port chosen at run time: a real server that ignores
// Range and answers every request 200 with the whole file. Debian's interpreter, not whichever
// python3 comes first on PATH.
class PythonHttpServer : public ServerProcess {
 public:
  PythonHttpServer(const std::string& root, const std::string& logPath)
      : ServerProcess(
            [&root](uint16_t port) {
              return std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1",
                                              "--directory", root, std::to_string(port)};
            },
            logPath),
        logPath_(logPath) {}

  // One line per request on its standard error.
  std::string Log() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::string logPath_;
};

}  // namespace bw::test
