#pragma once
// The command-line options of LAN discovery, shared by every program that starts the engine.
#include <string>
#include <string_view>

namespace bw {

struct LanDiscoverySettings {
  int port = 31576;              // 0: no LAN discovery
  std::string interfaceAddress;  // empty: the engine's choice
};

enum class LanOptionRead { kNotLanOption, kFlag, kValueTaken, kInvalid };

// Reads --lan-port, --lan-interface or --no-lan; `value` is the argument after the option, null
// when there is none. kValueTaken: the caller skips that argument. kInvalid: *error says why.
LanOptionRead ReadLanOption(std::string_view name, const char* value, LanDiscoverySettings* settings,
                            std::string* error);

// Hands the settings to the engine before it starts; false (with *error) for a bad interface.
bool ApplyLanDiscovery(const LanDiscoverySettings& settings, std::string* error);

}  // namespace bw
