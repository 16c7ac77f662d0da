#include "reporting/MachineDescription.h"

#include <cstdio>
#include <vector>

#include "platform/MachineIdentity.h"

namespace bw {
namespace {

constexpr const char* kUnreadable = "999";

std::string OrUnreadable(const std::string& value) { return value.empty() ? kUnreadable : value; }

std::string Hex(const uint8_t* bytes, size_t count, const char* separator) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    if (i > 0) text += separator;
    text += digits;
  }
  return text;
}

}  // namespace

MachineDescription MachineDescription::Read() {
  MachineDescription machine;
  const std::vector<uint8_t> id = platform::MachineIdBytes();
  const std::vector<uint8_t> hardware = platform::HardwareAddress();
  if (id.size() >= 8) {
    machine.identifier_ = Hex(id.data(), 4, "");
    machine.identifier_ += hardware.size() >= 4 ? Hex(hardware.data() + hardware.size() - 4, 4, "")
                                                : Hex(id.data() + 4, 4, "");
  }
  machine.macText_ = hardware.empty() ? kUnreadable : Hex(hardware.data(), hardware.size(), "-");
  const platform::OperatingSystem os = platform::ReadOperatingSystem();
  machine.osText_ = OrUnreadable(os.name) + "; " + OrUnreadable(os.kernel) + "; " + OrUnreadable(os.wordSize);
  return machine;
}

void MachineDescription::AddInventory(int flag, Json::Value& document) {
  if ((flag & 7) == 0) return;
  if (!inventory_) inventory_ = Inventory{platform::ReadProcessor(), platform::ReadMemory(), platform::ReadVideoCard()};
  if (flag & 1) {
    const platform::ProcessorFacts& cpu = inventory_->processor;
    Json::Value& block = document["CPU"];
    block["CPU_Name"] = OrUnreadable(cpu.name);
    block["CPU_Manufacturer"] = OrUnreadable(cpu.manufacturer);
    block["CPU_Type"] = OrUnreadable(cpu.type);
    block["CPU_Architecture"] = OrUnreadable(cpu.architecture);
  }
  if (flag & 2) {
    const platform::MemoryFacts& memory = inventory_->memory;
    Json::Value& block = document["Memory"];
    block["Memory_Total_Capacity"] = OrUnreadable(memory.totalCapacity);
    block["Memory_Type"] = OrUnreadable(memory.type);
    block["Memory_Capacity"] = OrUnreadable(memory.capacity);
    block["Memory_Frequency"] = OrUnreadable(memory.frequency);
  }
  if (flag & 4) {
    const platform::VideoCardFacts& video = inventory_->videoCard;
    Json::Value& block = document["Video_Card"];
    block["Video_Card_Name"] = OrUnreadable(video.name);
    block["Video_Card_Memory_Capacity"] = OrUnreadable(video.memoryCapacity);
    block["Video_Card_Driver_Version"] = OrUnreadable(video.driverVersion);
  }
}

}  // namespace bw
