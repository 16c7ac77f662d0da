#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace bw::app {

// What the mapping worker tells its owner, in this order: search progress (step 0 start, 5 search
// done, 6 a gateway is being read), search finished, mapping progress (0 start, 1 the gateway's
// control address known, 2 add done), mapping finished.
enum class PortForwardEventKind : int {
  kSearchProgress = 17,
  kSearchFinished = 18,
  kMappingProgress = 33,
  kMappingFinished = 34,
};

struct PortForwardEvent {
  PortForwardEventKind kind = PortForwardEventKind::kSearchProgress;
  int step = 0;            // the progress kinds
  bool succeeded = false;  // the finished kinds: a gateway found, the mapping added
  std::string deviceName;  // search finished: the gateway's friendly name
};

struct PortMappingRequest {
  int externalPort = 0;
  int internalPort = 0;
  std::string protocol = "TCP";
  std::string description;
};

// Asks the Internet gateway of the local network, by UPnP, to forward a port to this host: finds
// the gateway, then adds the mapping, on a worker thread of its own. The internal client is the
// address this host reaches the gateway from, which miniupnpc learns while it talks to it: the
// address the host name resolves to may be loopback.
class CPortForwardEngine {
 public:
  // notify runs on the worker thread.
  using Notify = std::function<void(const PortForwardEvent&)>;
  // searchMs: how long the search waits for gateways to answer.
  explicit CPortForwardEngine(Notify notify, int searchMs = 2000);
  ~CPortForwardEngine();
  CPortForwardEngine(const CPortForwardEngine&) = delete;
  CPortForwardEngine& operator=(const CPortForwardEngine&) = delete;

  // False when it was started before or the thread could not start.
  bool Start(const PortMappingRequest& request);
  // Ends the worker (between its steps), waits for it, and removes the mapping it added: nothing
  // stays forwarded to a program that has gone. True when a mapping was removed.
  bool Stop();

 private:
  struct Gateway;

  void Run();
  bool Search();
  bool AddMapping();
  void Post(PortForwardEventKind kind, int step, bool succeeded = false, const std::string& deviceName = "");

  Notify notify_;
  const int searchMs_;
  PortMappingRequest request_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
  // Written by the worker only, read by Stop once the worker is joined.
  std::unique_ptr<Gateway> gateway_;
  bool mapped_ = false;
};

}  // namespace bw::app
