#pragma once
#include <string>

namespace platform {

// A small inventory of the machine's hardware from /proc and /sys, in the terms of the system's
// own inventory: every value a text, empty when it cannot be read.

struct ProcessorFacts {
  std::string name;          // "model name" of the first processor
  std::string manufacturer;  // its vendor
  std::string type;          // "Central Processor"
  std::string architecture;  // "x86", "x64", "MIPS", "Alpha", "PowerPC", "Itanium-based systems", else "Error"
};

struct MemoryFacts {
  std::string totalCapacity;  // bytes of physical memory
  std::string type;           // of the first memory module: "DDR-3", "DDR4", ... (SMBIOS, readable by root)
  std::string capacity;       // its bytes
  std::string frequency;      // its speed in MT/s
};

struct VideoCardFacts {
  std::string name;            // the driver and the PCI vendor and device numbers
  std::string memoryCapacity;  // bytes of video memory, where the driver tells
  std::string driverVersion;   // the driver module's version, else the kernel's release
};

ProcessorFacts ReadProcessor();
MemoryFacts ReadMemory();
VideoCardFacts ReadVideoCard();

}  // namespace platform
