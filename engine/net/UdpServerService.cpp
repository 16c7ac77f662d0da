#include "engine/net/UdpServerService.h"

#include <memory>
#include <mutex>

namespace bw {
namespace {

std::mutex gServiceMutex;
std::unique_ptr<QUInternalServer> gServer;

}  // namespace

int StartUdpServer(const UdpServerConfig& config) {
  if (!config.Valid()) return -1;
  std::lock_guard<std::mutex> guard(gServiceMutex);
  if (gServer && gServer->IsRunning()) return 0;
  if (gServer) IStreamTransport::Install(nullptr);
  gServer = std::make_unique<QUInternalServer>(config);
  if (!gServer->StartServer()) {
    gServer.reset();
    return -1;
  }
  IStreamTransport::Install(gServer.get());
  return 0;
}

void StopUdpServer() {
  std::lock_guard<std::mutex> guard(gServiceMutex);
  if (!gServer) return;
  IStreamTransport::Install(nullptr);
  gServer->StopServer();
  gServer.reset();
}

QUInternalServer* RunningUdpServer() {
  std::lock_guard<std::mutex> guard(gServiceMutex);
  return gServer.get();
}

bool UdpTransportAllowed() {
  QUInternalServer* server = RunningUdpServer();
  return server && !server->TransportDisabled() && server->PublicAddress() != 0;
}

}  // namespace bw
