#pragma once
#include <chrono>
#include <memory>
#include <string>

#include "engine/net/QSocket.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"

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

// What one exchange over a socket gave: everything received until the close, or a time-out.
struct Exchange {
  std::string bytes;
  bool timedOut = false;
};

// Sends the request and collects the answer until the server closes (or time runs out).
inline Exchange SendAndReceiveAll(QSocket& s, const std::string& request, int seconds = 10) {
  Exchange out;
  if (SendText(s, request) < 0) return out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    const int64_t held = s.Receive();
    // Taken at once: the close that ends the answer drops what the socket still holds.
    out.bytes += HeldText(s);
    s.ConsumeReceived(-1);
    if (held < 0) return out;
    if (held == 0) platform::SleepMs(1);
  }
  out.timedOut = true;
  return out;
}

// Both ends of one connection on 127.0.0.1; far is null when it could not be made.
struct SocketPair {
  QSocket near;
  std::unique_ptr<QSocket> far;

  SocketPair() {
    QSocket listener;
    const uint16_t port = FreePort();
    if (!listener.Listen(port, Loopback()) || !near.Connect(Loopback(), port) || !listener.WaitReadable(5)) return;
    far = listener.Accept();
    if (!near.IsConnected()) near.WaitWritable(5);
  }
};

}  // namespace bw::test
