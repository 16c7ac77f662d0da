// The downloader asks the local network's gateway to forward its listen port (bwconsole --upnp),
// against miniupnpd in a network namespace of the test's own.
#include <gtest/gtest.h>
#include <optional>
#include <signal.h>
#include <string>

#include "tests/integration/AppFixture.h"
#include "tests/integration/OwnNetworkNamespace.h"
#include "tests/integration/UpnpGateway.h"

namespace bw::test {
namespace {

constexpr const char* kDescription = "Brightwillow uPnP for P2SP upload/download";
constexpr int kReservedPorts[] = {40412, 40421, 40422, 40423, 40426, 43958, 44444, 47262};

// Outside the namespace a case only runs its copy inside it.
class UpnpMappingSlow : public AppFixture {
 protected:
  void SetUp() override {
    if (!InsideOwnNetworkNamespace()) return;
    if (!UpnpGateway::Installed()) GTEST_SKIP() << "miniupnpd, miniupnpc and nftables are needed (scripts/deps.sh)";
    const std::string failure = UpnpGateway::MakeLink(dir_, hostAddress_);
    if (!failure.empty()) GTEST_SKIP() << "no veth link can be made here: " << failure;
    AppFixture::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    NginxServer& base = StartMirror(kFolder);
    ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
    BuildPackage(base);
  }

  // The message of the first event of `code` to reach the collector within the time.
  std::optional<std::string> WaitForEvent(const std::string& code, int timeoutMs = 20000) {
    for (int waited = 0;; waited += 100) {
      for (const std::string& post : collector_->Posts()) {
        for (const Json::Value& event : StatisticsCollector::Batch(post)) {
          if (event["code"].asString() == code) {
            return StatisticsCollector::Parse(event["info"].asString())["Errormsg"].asString();
          }
        }
      }
      if (waited >= timeoutMs) return std::nullopt;
      platform::SleepMs(100);
    }
  }

  // Ends the downloader as a user's interrupt does: through its orderly exit.
  void Interrupt(ChildProcess& console) {
    console.Signal(SIGINT);
    EXPECT_EQ(console.Wait(30000), 130) << LastLog();
  }

  std::string hostAddress_ = UpnpGateway::kLanAddress;
};

class UpnpPublicAddressSlow : public UpnpMappingSlow {
 protected:
  UpnpPublicAddressSlow() { hostAddress_ = "11.0.0.1"; }
};

TEST_F(UpnpMappingSlow, TheListenPortIsForwardedWhileTheDownloaderRunsAndNoLonger) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  UpnpGateway gateway(dir_);
  ASSERT_EQ(gateway.Failure(), "");
  std::unique_ptr<ChildProcess> console = StartConsole({"--upnp"});

  std::vector<ListedMapping> mappings;
  for (int waited = 0; waited < 20000 && mappings.empty(); waited += 200) {
    mappings = gateway.Mappings();
    if (mappings.empty()) platform::SleepMs(200);
  }
  ASSERT_EQ(mappings.size(), 1u) << LastLog() << gateway.Log();
  const ListedMapping& mapping = mappings[0];
  EXPECT_EQ(mapping.protocol, "TCP");
  EXPECT_EQ(mapping.description, kDescription);
  EXPECT_EQ(mapping.internalClient, UpnpGateway::kLanAddress);
  EXPECT_EQ(mapping.internalPort, mapping.externalPort);
  EXPECT_GE(mapping.externalPort, 40000);
  EXPECT_LE(mapping.externalPort, 50000);
  for (int reserved : kReservedPorts) EXPECT_NE(mapping.externalPort, reserved);
  EXPECT_EQ(WaitForEvent("11390000"), "");

  Interrupt(*console);
  EXPECT_TRUE(gateway.Mappings().empty()) << gateway.Log();
  // The engine log (on standard error) names the gateway and the removal.
  EXPECT_NE(LastLog().find("NAT Device found : Name : <Test Gateway>"), std::string::npos) << LastLog();
  EXPECT_NE(LastLog().find("uPnP映射已删除"), std::string::npos) << LastLog();
}

// An end while the search or the mapping is under way leaves nothing forwarded.
TEST_F(UpnpMappingSlow, QuittingAtOnceLeavesNoMapping) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  UpnpGateway gateway(dir_);
  ASSERT_EQ(gateway.Failure(), "");
  for (int delayMs : {0, 1000, 2000}) {
    std::unique_ptr<ChildProcess> console = StartConsole({"--upnp"});
    for (int waited = 0; waited < 20000 && States(runs_).empty(); waited += 20) platform::SleepMs(20);
    platform::SleepMs(delayMs);
    Interrupt(*console);
    EXPECT_TRUE(gateway.Mappings().empty()) << delayMs << " ms\n" << LastLog() << gateway.Log();
  }
}

TEST_F(UpnpMappingSlow, WithoutAGatewayTheDownloaderCarriesOn) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  std::unique_ptr<ChildProcess> console = StartConsole({"--upnp", "--start"});
  EXPECT_EQ(WaitForEvent("11500105"), "uPnP失败，因为没有IGD设备信息") << LastLog();
  EXPECT_EQ(console->Wait(0), -1) << LastLog();
  // The download goes on over the mirror.
  for (int waited = 0; waited < 20000 && States(runs_).size() < 2; waited += 100) platform::SleepMs(100);
  EXPECT_GE(States(runs_).size(), 2u) << LastLog();
  Interrupt(*console);
}

TEST_F(UpnpPublicAddressSlow, AHostFacingTheInternetNeedsNoMapping) {
  if (!InsideOwnNetworkNamespace()) return RunCurrentTestInOwnNetworkNamespace();
  std::unique_ptr<ChildProcess> console = StartConsole({"--upnp"});
  EXPECT_EQ(WaitForEvent("11390001"), "无需uPnP：本机直通外网11.0.0.1") << LastLog();
  Interrupt(*console);
  EXPECT_EQ(WaitForEvent("11500105", 0), std::nullopt);
}

}  // namespace
}  // namespace bw::test
