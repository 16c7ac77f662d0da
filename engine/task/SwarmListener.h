#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/net/QSocket.h"

namespace bw {

// What one task's round with the listener gives it.
struct ListenerRound {
  bool served = false;      // false while the service is stopped: nothing changed
  std::string addressText;  // "a.b.c.d : port", or kDisabledText
  int port = 0;
  // Connections whose handshake names the task's info hash, their bytes still unread.
  std::vector<std::unique_ptr<QSocket>> claimed;
};

// The process-wide listener on the listen port, over TCP and, while the UDP server runs, over the
// UDP stream transport on the same port number: it accepts incoming BitTorrent connections,
// holds them until their handshake shows which task they are for, and hands each to the task
// that asks with that info hash. Every task runs a round every 400 ms on its own thread.
class SwarmListener {
 public:
  static constexpr const char* kDisabledText = "Service Disabled!";
  static constexpr int kAcceptsPerRound = 11;
  // When the wanted port is taken (another instance on this host has it), the next ports are tried.
  static constexpr int kPortTries = 16;
  static constexpr uint32_t kAddressCheckMs = 180000;

  using HashLookup = std::function<bool(const uint8_t* hash)>;

  // knownHash tells whether some task serves an info hash.
  explicit SwarmListener(HashLookup knownHash);
  ~SwarmListener();
  SwarmListener(const SwarmListener&) = delete;
  SwarmListener& operator=(const SwarmListener&) = delete;

  // The engine's one listener, routing by the tasks of the swarm list.
  static SwarmListener& Process();

  // One round for the task whose info hash is ownHash (null while it has none): keeps the
  // listener up while P2P is enabled (closed otherwise), accepts the connections that
  // acceptsAddress lets in, reads what the pending ones sent and routes them. Takes the registry
  // lock; the caller must not hold it while it takes its own task lock afterwards.
  ListenerRound Serve(const uint8_t* ownHash, const std::function<bool(uint32_t ip)>& acceptsAddress, uint32_t nowMs);

  // The port listened on, 0 while not listening.
  int Port() const { return port_.load(std::memory_order_relaxed); }
  // A connection came from outside the listener's /24 network.
  bool Reachable() const { return reachable_.load(std::memory_order_relaxed); }
  size_t PendingCount();

  // The last task is gone: closes the listener and every pending connection, and serves no more
  // rounds until Resume.
  void Stop();
  void Resume();

 private:
  struct Pending {
    std::unique_ptr<QSocket> socket;
    uint32_t acceptedMs = 0;
  };

  bool Open(uint32_t nowMs);
  void Close();
  void RefreshAddress(uint32_t nowMs);
  // Follows the UDP server: listens on the port while it runs, closes when it is gone.
  void KeepUdpListener();
  void AcceptNew(const std::function<bool(uint32_t ip)>& acceptsAddress, uint32_t nowMs);
  void Route(const uint8_t* ownHash, uint32_t nowMs, ListenerRound& round);
  void Sweep(uint32_t nowMs);

  HashLookup knownHash_;
  QSocket listener_;
  QSocket udpListener_;
  std::vector<Pending> pending_;
  std::string addressText_;
  uint32_t localIp_ = 0;
  uint32_t checkedMs_ = 0;
  bool stopped_ = false;
  bool openFailed_ = false;
  std::atomic<int> port_{0};
  std::atomic<bool> reachable_{false};
};

}  // namespace bw
