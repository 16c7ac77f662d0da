#include "engine/api/UdpService.h"

#include <cstring>
#include <mutex>

#include "engine/frame/EngineServices.h"
#include "engine/net/UdpServerService.h"
#include "engine/task/EngineIdentity.h"

namespace bw {
namespace {

constexpr int kProbeIntervalSeconds = 52;
constexpr int kTimeoutSeconds = 30;
constexpr int kDefaultUdpPort = 8000;

std::mutex gMutex;
UdpServerConfig gConfig;

}  // namespace

void ConfigureUdpService(const std::string& rendezvousHost, int rendezvousPort, int localUdpPort) {
  std::lock_guard<std::mutex> guard(gMutex);
  gConfig.rendezvousHost = rendezvousHost;
  gConfig.rendezvousPort = rendezvousPort;
  gConfig.localPort = localUdpPort > 0 ? localUdpPort : kDefaultUdpPort;
}

void EnsureUdpService() {
  UdpServerConfig config;
  {
    std::lock_guard<std::mutex> guard(gMutex);
    if (gConfig.rendezvousHost.empty()) return;
    config = gConfig;
  }
  config.probeIntervalSeconds = kProbeIntervalSeconds;
  config.timeoutSeconds = kTimeoutSeconds;
  std::memcpy(config.tag, EngineIdentifier(), sizeof config.tag);
  if (StartUdpServer(config) == 0) AddEngineService(&StopUdpServer);
}

}  // namespace bw
