#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The facts that tell this machine apart, standing in for the system volume's serial number,
// the network adapter's hardware address and the operating system's version.

// The machine's own identifier (/etc/machine-id or D-Bus's copy, 16 bytes); empty when it cannot be
// read.
std::vector<uint8_t> MachineIdBytes();

// The hardware address of the first interface that is up and not loopback, else of the first
// other interface that has one; empty when there is none.
std::vector<uint8_t> HardwareAddress();

// Each part is empty when it cannot be read.
struct OperatingSystem {
  std::string name;      // from os-release, e.g. "Debian GNU/Linux 12 (bookworm)"
  std::string kernel;    // the kernel's release
  std::string wordSize;  // "64" or "32"
};
OperatingSystem ReadOperatingSystem();

}  // namespace platform
