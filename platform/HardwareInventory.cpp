#include "platform/HardwareInventory.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/File.h"

namespace platform {
namespace {

std::string_view TrimmedLine(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// The first "key : value" (cpuinfo) or "key: value" (meminfo) line of a /proc text.
std::string ProcField(const std::string& content, std::string_view key) {
  size_t at = 0;
  while (at < content.size()) {
    size_t end = content.find('\n', at);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + at, end - at);
    at = end + 1;
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && TrimmedLine(line.substr(0, colon)) == key) {
      return std::string(TrimmedLine(line.substr(colon + 1)));
    }
  }
  return "";
}

std::string FirstLine(const std::string& path) {
  std::string content;
  if (!ReadWholeFile(path, &content)) return "";
  return std::string(TrimmedLine(std::string_view(content).substr(0, content.find('\n'))));
}

std::string MachineName() {
  utsname system{};
  return ::uname(&system) == 0 ? system.machine : "";
}

std::string KernelRelease() {
  utsname system{};
  return ::uname(&system) == 0 ? system.release : "";
}

std::string ArchitectureName(std::string_view machine) {
  if (machine.empty()) return "";
  if (machine == "x86_64") return "x64";
  if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86";
  if (machine.starts_with("mips")) return "MIPS";
  if (machine.starts_with("alpha")) return "Alpha";
  if (machine.starts_with("ppc") || machine.starts_with("powerpc")) return "PowerPC";
  if (machine == "ia64") return "Itanium-based systems";
  return "Error";
}

// SMBIOS memory device types that have a name in the system's inventory, and later ones.
std::string MemoryTypeName(uint8_t type) {
  static constexpr std::pair<uint8_t, const char*> kNames[] = {
      {0x03, "DRAM"},  {0x04, "EDRAM"}, {0x05, "VRAM"},  {0x06, "SRAM"},  {0x07, "RAM"},   {0x08, "ROM"},
      {0x09, "Flash"}, {0x0A, "EEPROM"}, {0x0B, "FEPROM"}, {0x0C, "EPROM"}, {0x0D, "CDRAM"}, {0x0E, "3DRAM"},
      {0x0F, "SDRAM"}, {0x10, "SGRAM"}, {0x11, "RDRAM"}, {0x12, "DDR"},   {0x13, "DDR-2"}, {0x18, "DDR-3"},
      {0x1A, "DDR4"},  {0x1B, "LPDDR"}, {0x1C, "LPDDR2"}, {0x1D, "LPDDR3"}, {0x1E, "LPDDR4"}, {0x22, "DDR5"},
      {0x23, "LPDDR5"},
  };
  for (const auto& [code, name] : kNames) {
    if (code == type) return name;
  }
  return "";
}

uint16_t Word(const std::string& raw, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(raw[at]) | static_cast<uint8_t>(raw[at + 1]) << 8);
}

// The first installed module among the SMBIOS memory device structures (type 17).
void ReadMemoryModule(MemoryFacts& facts) {
  for (int i = 0; i < 64; ++i) {
    std::string raw;
    if (!ReadWholeFile("/sys/firmware/dmi/entries/17-" + std::to_string(i) + "/raw", &raw)) return;
    if (raw.size() < 0x17 || static_cast<uint8_t>(raw[0]) != 17) continue;
    const size_t length = std::min<size_t>(static_cast<uint8_t>(raw[1]), raw.size());
    if (length < 0x17) continue;
    const uint16_t size = Word(raw, 0x0C);
    if (size == 0 || size == 0xFFFF) continue;  // an empty slot, or unknown
    uint64_t bytes = static_cast<uint64_t>(size & 0x7FFF) << ((size & 0x8000) ? 10 : 20);
    if (size == 0x7FFF && length >= 0x20) {  // the size lies in the extended field, in MiB
      bytes = static_cast<uint64_t>(Word(raw, 0x1C) | static_cast<uint32_t>(Word(raw, 0x1E)) << 16) << 20;
    }
    facts.capacity = std::to_string(bytes);
    facts.type = MemoryTypeName(static_cast<uint8_t>(raw[0x12]));
    if (const uint16_t speed = Word(raw, 0x15)) facts.frequency = std::to_string(speed);
    return;
  }
}

}  // namespace

ProcessorFacts ReadProcessor() {
  ProcessorFacts facts;
  std::string cpuinfo;
  if (ReadWholeFile("/proc/cpuinfo", &cpuinfo)) {
    facts.name = ProcField(cpuinfo, "model name");
    facts.manufacturer = ProcField(cpuinfo, "vendor_id");
    facts.type = "Central Processor";
  }
  facts.architecture = ArchitectureName(MachineName());
  return facts;
}

MemoryFacts ReadMemory() {
  MemoryFacts facts;
  std::string meminfo;
  if (ReadWholeFile("/proc/meminfo", &meminfo)) {
    const std::string total = ProcField(meminfo, "MemTotal");  // "24683676 kB"
    char* end = nullptr;
    const unsigned long long kib = std::strtoull(total.c_str(), &end, 10);
    if (end != total.c_str()) facts.totalCapacity = std::to_string(kib * 1024);
  }
  ReadMemoryModule(facts);
  return facts;
}

VideoCardFacts ReadVideoCard() {
  VideoCardFacts facts;
  namespace fs = std::filesystem;
  std::error_code error;
  std::vector<fs::path> cards;
  for (fs::directory_iterator it("/sys/class/drm", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 4 && name.starts_with("card") &&
        std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      cards.push_back(it->path());
    }
  }
  if (cards.empty()) return facts;
  std::sort(cards.begin(), cards.end());
  const fs::path device = cards.front() / "device";
  const std::string driver = fs::read_symlink(device / "driver", error).filename().string();
  const std::string vendor = FirstLine((device / "vendor").string());
  const std::string model = FirstLine((device / "device").string());
  facts.name = driver;
  if (!vendor.empty() || !model.empty()) facts.name += (driver.empty() ? "" : " ") + vendor + ":" + model;
  facts.memoryCapacity = FirstLine((device / "mem_info_vram_total").string());
  facts.driverVersion = driver.empty() ? "" : FirstLine("/sys/module/" + driver + "/version");
  if (facts.driverVersion.empty()) facts.driverVersion = KernelRelease();
  return facts;
}

}  // namespace platform
