#include "app/ListenPortMapping.h"

#include "app/PortChoice.h"
#include "engine/api/EngineApi.h"

namespace bw::app {
namespace {

constexpr int kPortMappingLogChannel = 3;
constexpr const char* kMappingFailed = "11500105";
constexpr const char* kMappingDone = "11390000";
constexpr const char* kNoMappingNeeded = "11390001";
constexpr const char* kMappingDescription = "Brightwillow uPnP for P2SP upload/download";

}  // namespace

void ListenPortMapping::Log(const std::string& text) {
  LogPrintf(kPortMappingLogChannel, kPortMappingLogChannel, "%s", text.c_str());
}

int ListenPortMapping::ChoosePortAndMap(PostFunction post) {
  const int port = ChooseListenPort(RandomStartPort(), IsPortInUse);
  if (port == 0) {
    engine_.ReportEvent(kMappingFailed, "没有可用的端口，uPnP失败", 0);
    return 0;
  }
  std::string address;
  if (!GetLocalAddress(&address)) {
    engine_.ReportEvent(kMappingFailed, "无法获取本地ip，uPnP失败", 0);
    return 0;
  }
  if (!IsLocalAddress(address)) {
    engine_.ReportEvent(kNoMappingNeeded, ("无需uPnP：本机直通外网" + address).c_str(), 0);
    return port;
  }
  natDeviceFound_ = false;
  forwarder_ = std::make_unique<CPortForwardEngine>([post = std::move(post), this](const PortForwardEvent& event) {
    post([this, event] { OnPortForwardNotify(event); });
  });
  PortMappingRequest request;
  request.externalPort = request.internalPort = port;
  request.description = kMappingDescription;
  // Without the mapping the port still serves peers of the local network.
  if (!forwarder_->Start(request)) {
    engine_.ReportEvent(kMappingFailed, "uPnP线程创建失败", 0);
    return port;
  }
  Log("uPnP线程已创建");
  return port;
}

void ListenPortMapping::OnPortForwardNotify(const PortForwardEvent& event) {
  switch (event.kind) {
    case PortForwardEventKind::kSearchFinished:
      natDeviceFound_ = event.succeeded;
      Log(natDeviceFound_ ? "NAT Device found : Name : <" + event.deviceName + ">" : "NAT device ^Not^ found..");
      break;
    case PortForwardEventKind::kMappingFinished:
      if (event.succeeded) {
        Log("uPnP成功");
        engine_.ReportEvent(kMappingDone, "", 0);
      } else {
        engine_.ReportEvent(kMappingFailed,
                            natDeviceFound_ ? "IGD设备已找到，但是uPnP依然失败" : "uPnP失败，因为没有IGD设备信息", 0);
      }
      break;
    default:
      break;
  }
}

void ListenPortMapping::Stop() {
  if (forwarder_ && forwarder_->Stop()) Log("uPnP映射已删除");
}

}  // namespace bw::app
