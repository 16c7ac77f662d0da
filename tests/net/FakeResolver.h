#pragma once
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Resolver.h"
#include "platform/Socket.h"

namespace bw::test {

// A resolver with a fixed table of answers that counts its lookups; installed for the life of
// the object. Keep instances alive past any lookup that may still run on a worker thread.
class FakeResolver : public platform::Resolver {
 public:
  struct Answer {
    int error = 0;
    std::vector<uint32_t> addresses;
    int delayMs = 0;
  };

  FakeResolver() { previous_ = platform::SetResolver(this); }
  ~FakeResolver() override { platform::SetResolver(previous_); }

  void Set(const std::string& host, Answer answer) {
    std::lock_guard<std::mutex> g(lock_);
    answers_[host] = std::move(answer);
  }
  void SetNameServers(std::vector<std::string> servers) {
    std::lock_guard<std::mutex> g(lock_);
    servers_ = std::move(servers);
  }
  int Lookups(const std::string& host) {
    std::lock_guard<std::mutex> g(lock_);
    return lookups_[host];
  }

  int Lookup(const std::string& host, std::vector<uint32_t>* addresses) override {
    Answer answer{platform::kWsaHostNotFound, {}, 0};
    {
      std::lock_guard<std::mutex> g(lock_);
      ++lookups_[host];
      auto it = answers_.find(host);
      if (it != answers_.end()) answer = it->second;
    }
    if (answer.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    addresses->insert(addresses->end(), answer.addresses.begin(), answer.addresses.end());
    return answer.error;
  }
  std::vector<std::string> NameServers() override {
    std::lock_guard<std::mutex> g(lock_);
    return servers_;
  }

 private:
  platform::Resolver* previous_;
  std::mutex lock_;
  std::map<std::string, Answer> answers_;
  std::map<std::string, int> lookups_;
  std::vector<std::string> servers_;
};

// a.b.c.d in network order.
inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  __builtin_memcpy(&v, bytes, 4);
  return v;
}

}  // namespace bw::test
