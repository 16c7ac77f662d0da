#pragma once
#include <chrono>
#include <string>

#include "engine/net/QSocket.h"

namespace bw::test {

// Receives until at least `want` bytes are held, the socket fails, or a few seconds pass.
// Returns what Receive returned last.
inline int64_t ReceiveAtLeast(QSocket& s, int64_t want, int seconds = 5) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int64_t held = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    s.WaitReadable(1);
    held = s.Receive();
    if (held < 0 || (s.IsReady() && held >= want)) break;
  }
  return held;
}

inline std::string HeldText(const QSocket& s) {
  return std::string(reinterpret_cast<const char*>(s.ReceivedData()),
                     static_cast<size_t>(s.ReceivedSize()));
}

inline int64_t SendText(QSocket& s, const std::string& text) {
  return s.Send(text.data(), static_cast<int64_t>(text.size()));
}

}  // namespace bw::test
