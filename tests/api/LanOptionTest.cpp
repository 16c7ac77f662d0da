#include "engine/api/LanOption.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/api/EngineApi.h"
#include "engine/task/EngineSettings.h"

namespace bw {
namespace {

TEST(LanOptionTest, ReadsTheThreeOptionsAndLeavesOthers) {
  struct Case {
    const char* name;
    const char* value;
    LanOptionRead read;
    int port;
    std::string interfaceAddress;
    std::string error;
  };
  const Case cases[] = {
      {"--lan-port", "4000", LanOptionRead::kValueTaken, 4000, "", ""},
      {"--lan-port", "65535", LanOptionRead::kValueTaken, 65535, "", ""},
      {"--lan-port", "0", LanOptionRead::kInvalid, 31576, "", "--lan-port needs a number from 1 to 65535"},
      {"--lan-port", "65536", LanOptionRead::kInvalid, 31576, "", "--lan-port needs a number from 1 to 65535"},
      {"--lan-port", "12x", LanOptionRead::kInvalid, 31576, "", "--lan-port needs a number from 1 to 65535"},
      {"--lan-port", nullptr, LanOptionRead::kInvalid, 31576, "", "--lan-port needs a value"},
      {"--lan-interface", "127.0.0.1", LanOptionRead::kValueTaken, 31576, "127.0.0.1", ""},
      {"--lan-interface", "", LanOptionRead::kInvalid, 31576, "", "--lan-interface needs a value"},
      {"--no-lan", "--start", LanOptionRead::kFlag, 0, "", ""},
      {"--lan", "1", LanOptionRead::kNotLanOption, 31576, "", ""},
      {"--listen-port", "4000", LanOptionRead::kNotLanOption, 31576, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + (c.value ? c.value : "(none)"));
    LanDiscoverySettings settings;
    std::string error;
    EXPECT_EQ(ReadLanOption(c.name, c.value, &settings, &error), c.read);
    EXPECT_EQ(settings.port, c.port);
    EXPECT_EQ(settings.interfaceAddress, c.interfaceAddress);
    EXPECT_EQ(error, c.error);
  }
}

TEST(LanOptionTest, ApplyRefusesAnAddressThatIsNotIPv4) {
  const int port = ProcessSettings().lanPort;
  const uint32_t interfaceAddress = ProcessSettings().lanInterface;
  std::string error;
  EXPECT_FALSE(ApplyLanDiscovery({4000, "localhost"}, &error));
  EXPECT_EQ(error, "--lan-interface takes an IPv4 address: localhost");
  EXPECT_TRUE(ApplyLanDiscovery({4001, "127.0.0.1"}, &error));
  EXPECT_EQ(ProcessSettings().lanPort, 4001);
  ProcessSettings().lanPort = port;
  ProcessSettings().lanInterface = interfaceAddress;
}

}  // namespace
}  // namespace bw
