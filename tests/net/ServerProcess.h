#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/net/LoopbackServer.h"

namespace bw::test {

// A real server program listening on a loopback address (127.0.0.1 unless given) at a port chosen
// at run time, stopped by its pid.
class ServerProcess {
 public:
  // `command` gives the program's arguments for a port (and may write its configuration).
  ServerProcess(const std::function<std::vector<std::string>(uint16_t)>& command, const std::string& logPath,
                const std::string& address = "127.0.0.1")
      : address_(address) {
    const uint32_t ip = ::inet_addr(address.c_str());
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = FreePort();  // another program may take it first: then try another
      process_ = std::make_unique<ChildProcess>(command(port_), logPath);
      if (process_->WaitListening(port_, ip)) return;
      process_.reset();
    }
  }

  bool Running() const { return process_ != nullptr; }
  uint16_t Port() const { return port_; }
  const std::string& Address() const { return address_; }
  std::string Url(const std::string& path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + path;
  }
  void Stop() { process_.reset(); }

 private:
  std::string address_;
  uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace bw::test
