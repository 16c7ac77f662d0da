#include "engine/api/LanOption.h"

#include <cerrno>
#include <cstdlib>

#include "engine/api/EngineApi.h"

namespace bw {

LanOptionRead ReadLanOption(std::string_view name, const char* value, LanDiscoverySettings* settings,
                            std::string* error) {
  if (name == "--no-lan") {
    settings->port = 0;
    return LanOptionRead::kFlag;
  }
  if (name != "--lan-port" && name != "--lan-interface") return LanOptionRead::kNotLanOption;
  if (!value || !*value) {
    *error = std::string(name) + " needs a value";
    return LanOptionRead::kInvalid;
  }
  if (name == "--lan-interface") {
    settings->interfaceAddress = value;
    return LanOptionRead::kValueTaken;
  }
  errno = 0;
  char* end = nullptr;
  const long port = std::strtol(value, &end, 10);
  if (errno != 0 || *end || port < 1 || port > 65535) {
    *error = "--lan-port needs a number from 1 to 65535";
    return LanOptionRead::kInvalid;
  }
  settings->port = static_cast<int>(port);
  return LanOptionRead::kValueTaken;
}

bool ApplyLanDiscovery(const LanDiscoverySettings& settings, std::string* error) {
  if (SetLanDiscovery(settings.port, settings.interfaceAddress.c_str()) == kEngineOk) return true;
  *error = "--lan-interface takes an IPv4 address: " + settings.interfaceAddress;
  return false;
}

}  // namespace bw
