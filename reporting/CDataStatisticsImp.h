#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "reporting/IDataStatisticsUser.h"
#include "reporting/MachineDescription.h"

namespace bw {

struct StatisticsConfig;

// The submission client. Each batched event becomes a document that names the machine (its
// identifier, hardware address, operating system, a running sequence number and the inventory
// the event asks for) around the event's record; the batch goes out as one form field.
class CDataStatisticsImp final : public IDataStatisticsUser {
 public:
  explicit CDataStatisticsImp(MachineDescription machine);

  int SetConfigPath(const char* path) override;
  int QueueEvent(const char* code, const char* body, int flag) override;
  int SubmitBatch(const CancelCheck& cancelled) override;
  int GetMachineIdentifier(char* buffer, size_t* capacity) override;

 private:
  struct Event {
    std::string code;
    std::string body;
    int flag;
  };

  // Under batchLock_. false when the configuration file is missing or unreadable.
  bool LoadConfig(StatisticsConfig* config);
  std::string BatchText(const StatisticsConfig& config);
  bool Post(const StatisticsConfig& config, const std::string& request, const CancelCheck& cancelled);

  std::mutex batchLock_;  // guards everything below
  MachineDescription machine_;
  std::string configPath_;
  uint64_t sequence_ = 0;  // event documents built so far
  int batchCount_ = 0;     // events offered since the last submission, refused ones too
  std::vector<Event> batch_;
};

}  // namespace bw
