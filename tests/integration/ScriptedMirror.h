#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "tests/net/LoopbackServer.h"

namespace bw::test {

// One request as a scripted mirror saw it.
struct ScriptedRequest {
  std::string head;        // request line and header lines
  int64_t rangeStart = 0;  // from "Range: bytes=A-B"; 0 without one
  int64_t rangeEnd = -1;   // -1: open-ended or no Range
  std::chrono::steady_clock::time_point at;
};

// A mirror that misbehaves the way its script says, for what no real server does: it reads each
// request on a connection and lets the script answer (or not). It keeps the requests it saw.
class ScriptedMirror {
 public:
  // Answers one request on the connection; false ends the connection.
  using Script = std::function<bool(int fd, const ScriptedRequest& request)>;

  explicit ScriptedMirror(Script script) : script_(std::move(script)), server_([this](int fd) { Serve(fd); }) {}

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(server_.Port()) + path; }

  std::vector<ScriptedRequest> Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }

  // Holds the connection without a byte of answer until the client goes.
  static bool Silent(int fd, const ScriptedRequest&) {
    char buffer[4096];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    return false;
  }

  // A 206 answer with the bytes of `content` from `start` to `end` (inclusive), its
  // Content-Range saying `claimedStart` instead of `start` when it is given; only the first
  // `sent` bytes of the body go out when that is given.
  static bool SendRange(int fd, const std::string& content, int64_t start, int64_t end, int64_t claimedStart = -1,
                        int64_t sent = -1) {
    if (end < 0 || end >= static_cast<int64_t>(content.size())) end = static_cast<int64_t>(content.size()) - 1;
    const int64_t from = claimedStart >= 0 ? claimedStart : start;
    const std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(end - start + 1) +
                             "\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                             std::to_string(from + end - start) + "/" + std::to_string(content.size()) + "\r\n\r\n";
    const int64_t body = sent >= 0 ? std::min(sent, end - start + 1) : end - start + 1;
    return WriteAll(fd, head) && WriteAll(fd, content.substr(static_cast<size_t>(start), static_cast<size_t>(body)));
  }

 private:
  void Serve(int fd) {
    for (;;) {
      ScriptedRequest request;
      request.head = ReadUntil(fd, "\r\n\r\n");
      if (request.head.size() < 4 || request.head.compare(request.head.size() - 4, 4, "\r\n\r\n") != 0) return;
      request.at = std::chrono::steady_clock::now();
      const size_t range = request.head.find("Range: bytes=");
      if (range != std::string::npos) {
        char* end = nullptr;
        request.rangeStart = std::strtoll(request.head.c_str() + range + 13, &end, 10);
        if (*end == '-' && end[1] >= '0' && end[1] <= '9') request.rangeEnd = std::strtoll(end + 1, nullptr, 10);
      }
      {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(request);
      }
      if (!script_(fd, request)) return;
    }
  }

  Script script_;
  std::mutex lock_;
  std::vector<ScriptedRequest> requests_;
  LoopbackServer server_;  // last: its threads stop before what they use goes
};

}  // namespace bw::test
