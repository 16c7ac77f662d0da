#pragma once
#include <atomic>
#include <cstdint>

namespace bw {

// The listener's port when none is set.
constexpr int kDefaultListenPort = 8080;

// Process-wide switches that the entry points set and the tasks read.
struct EngineSettings {
  std::atomic<bool> p2pEnabled{true};
  std::atomic<bool> btHttpDisguise{false};
  std::atomic<int> listenPort{0};  // 0: the listener uses its default
  // LAN discovery: its UDP port, and the interface (IPv4, network order) its multicast goes
  // out of and arrives on; 0 for the local address.
  std::atomic<int> lanPort{31576};
  std::atomic<uint32_t> lanInterface{0};
};

EngineSettings& ProcessSettings();

}  // namespace bw
