#include "engine/task/TrafficWatch.h"

#include <algorithm>

#include "engine/net/QSocket.h"

namespace bw {
namespace {

uint64_t Moved(const QSocket& socket) { return socket.BytesSent() + socket.BytesReceived(); }

}  // namespace

void TrafficWatch::Clear() {
  watches_.clear();
  watched_.clear();
}

void TrafficWatch::Add(const QSocket& socket, bool read) {
  platform::SocketWatch watch = socket.Watch();
  if (!read) watch.what &= ~platform::kWaitRead;
  if ((watch.handle == platform::kNoSocket && !socket.IsUdpMode()) || watch.what == 0) return;
  const Seen seen{&socket, Moved(socket), read && socket.MayHoldTlsInput(), socket.IsUdpMode()};
  const bool idleSinceLast = std::any_of(endedLast_.begin(), endedLast_.end(), [&](const Seen& s) {
    return s.socket == seen.socket && s.moved == seen.moved;
  });
  if (idleSinceLast) return;
  watches_.push_back(watch);
  watched_.push_back(seen);
}

bool TrafficWatch::Wait(TLoopRest& rest, uint32_t ms) {
  bool readyNow = std::any_of(watched_.begin(), watched_.end(), [](const Seen& s) { return s.holdsInput; });
  // A connection over UDP has no handle of the system: its server wakes the wait instead.
  for (size_t i = 0; i < watches_.size(); ++i) {
    if (watched_[i].overUdp) readyNow |= watched_[i].socket->WatchStream(watches_[i].what, &rest.Waiter()) != 0;
  }
  const bool early = rest.Watch(watches_, readyNow ? 0 : ms);
  for (size_t i = 0; i < watches_.size(); ++i) {
    if (watched_[i].overUdp) watches_[i].ready = watched_[i].socket->WatchStream(watches_[i].what, nullptr);
  }
  endedLast_.clear();
  if (!early && !readyNow) return false;
  for (size_t i = 0; i < watches_.size(); ++i) {
    if (watches_[i].ready != 0 || watched_[i].holdsInput) endedLast_.push_back(watched_[i]);
  }
  return true;
}

}  // namespace bw
