#include "app/CPortForwardEngine.h"

#include <cstdlib>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>
#include <system_error>

namespace bw::app {
namespace {

// The first friendlyName of a device description: the root device's.
std::string FriendlyName(const char* descriptionUrl) {
  int size = 0;
  int status = 0;
  char* body = static_cast<char*>(miniwget(descriptionUrl, &size, 0, &status));
  if (!body) return {};
  const std::string text(body, static_cast<size_t>(size));
  std::free(body);
  static constexpr std::string_view kOpen = "<friendlyName>";
  const size_t begin = text.find(kOpen);
  if (begin == std::string::npos) return {};
  const size_t end = text.find("</friendlyName>", begin);
  if (end == std::string::npos) return {};
  return text.substr(begin + kOpen.size(), end - begin - kOpen.size());
}

}  // namespace

struct CPortForwardEngine::Gateway {
  UPNPUrls urls{};
  IGDdatas data{};
  char lanAddress[64] = {};
  ~Gateway() { FreeUPNPUrls(&urls); }
};

CPortForwardEngine::CPortForwardEngine(Notify notify, int searchMs) : notify_(std::move(notify)), searchMs_(searchMs) {}

CPortForwardEngine::~CPortForwardEngine() { Stop(); }

bool CPortForwardEngine::Start(const PortMappingRequest& request) {
  if (worker_.joinable() || stop_) return false;
  request_ = request;
  try {
    worker_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool CPortForwardEngine::Stop() {
  stop_ = true;
  if (worker_.joinable()) worker_.join();
  if (!mapped_) return false;
  mapped_ = false;
  const std::string port = std::to_string(request_.externalPort);
  return UPNP_DeletePortMapping(gateway_->urls.controlURL, gateway_->data.first.servicetype, port.c_str(),
                                request_.protocol.c_str(), nullptr) == UPNPCOMMAND_SUCCESS;
}

void CPortForwardEngine::Post(PortForwardEventKind kind, int step, bool succeeded, const std::string& deviceName) {
  notify_(PortForwardEvent{kind, step, succeeded, deviceName});
}

void CPortForwardEngine::Run() {
  const bool found = Search();
  if (stop_) return;
  Post(PortForwardEventKind::kMappingProgress, 0);
  const bool added = found && AddMapping();
  Post(PortForwardEventKind::kMappingFinished, 0, added);
}

bool CPortForwardEngine::Search() {
  Post(PortForwardEventKind::kSearchProgress, 0);
  int error = 0;
  UPNPDev* devices = upnpDiscover(searchMs_, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
  Post(PortForwardEventKind::kSearchProgress, 5);
  auto gateway = std::make_unique<Gateway>();
  bool found = false;
  if (devices && !stop_) {
    Post(PortForwardEventKind::kSearchProgress, 6);
    // 1: a connected gateway; 2: one that says it is not connected, which may still forward.
    const int kind =
        UPNP_GetValidIGD(devices, &gateway->urls, &gateway->data, gateway->lanAddress, sizeof gateway->lanAddress);
    found = kind == 1 || kind == 2;
  }
  freeUPNPDevlist(devices);
  const std::string name = found ? FriendlyName(gateway->urls.rootdescURL) : "";
  gateway_ = std::move(gateway);
  Post(PortForwardEventKind::kSearchFinished, 0, found, name);
  return found;
}

bool CPortForwardEngine::AddMapping() {
  if (stop_) return false;
  Post(PortForwardEventKind::kMappingProgress, 1);
  const std::string external = std::to_string(request_.externalPort);
  const std::string internal = std::to_string(request_.internalPort);
  // Lease 0: for as long as the gateway runs, until removed.
  const int result = UPNP_AddPortMapping(gateway_->urls.controlURL, gateway_->data.first.servicetype, external.c_str(),
                                         internal.c_str(), gateway_->lanAddress, request_.description.c_str(),
                                         request_.protocol.c_str(), nullptr, "0");
  Post(PortForwardEventKind::kMappingProgress, 2);
  mapped_ = result == UPNPCOMMAND_SUCCESS;
  return mapped_;
}

}  // namespace bw::app
