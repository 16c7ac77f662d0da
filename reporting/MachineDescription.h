#pragma once
#include <json/value.h>

#include <optional>
#include <string>

#include "platform/HardwareInventory.h"

namespace bw {

// What the event documents say about the machine. "999" stands for a value that cannot be read.
class MachineDescription {
 public:
  static MachineDescription Read();

  // 16 upper-case hexadecimal digits: four bytes of the machine's identifier, then the last four
  // of its hardware address (or four more of the identifier when it has none); shorter when the
  // machine's identifier cannot be read.
  const std::string& Identifier() const { return identifier_; }
  const std::string& MacText() const { return macText_; }  // "02-FC-00-00-00-01"
  const std::string& OsText() const { return osText_; }   // "NAME; KERNEL; WORD-SIZE"

  // Adds the inventory blocks that flag selects: bit 0 "CPU", bit 1 "Memory", bit 2
  // "Video_Card". The inventory is read on first use and kept.
  void AddInventory(int flag, Json::Value& document);

 private:
  struct Inventory {
    platform::ProcessorFacts processor;
    platform::MemoryFacts memory;
    platform::VideoCardFacts videoCard;
  };

  std::string identifier_;
  std::string macText_;
  std::string osText_;
  std::optional<Inventory> inventory_;
};

}  // namespace bw
