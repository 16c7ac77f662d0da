#pragma once
#include <memory>
#include <string>

#include "app/CPortForwardEngine.h"
#include "app/IControllerHost.h"
#include "app/IEngine.h"

namespace bw::app {

// The controller's part in UPnP: picks the listener's port, has the gateway forward it while the
// program runs, reports how that went, and takes the mapping back at the end. Lives on the
// controller's thread; the mapping worker's events come back to it as posted jobs.
class ListenPortMapping {
 public:
  explicit ListenPortMapping(IEngine& engine) : engine_(engine) {}

  // A free port, mapped on the gateway when a gateway stands between the host and the Internet;
  // 0 without a free port or an address of the host's own. post carries the worker's events to
  // this thread.
  int ChoosePortAndMap(PostFunction post);
  void OnPortForwardNotify(const PortForwardEvent& event);
  // Ends the worker and removes the mapping.
  void Stop();

 private:
  void Log(const std::string& text);

  IEngine& engine_;
  std::unique_ptr<CPortForwardEngine> forwarder_;
  bool natDeviceFound_ = false;
};

}  // namespace bw::app
