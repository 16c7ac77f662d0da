#include "reporting/CDataStatisticsImp.h"

#include <json/value.h>

#include <cstring>
#include <utility>

#include "engine/frame/EngineLog.h"
#include "platform/File.h"
#include "platform/IniFile.h"
#include "reporting/EventDocument.h"
#include "reporting/FormEncoding.h"
#include "reporting/StatisticsConfig.h"

namespace bw {
namespace {

constexpr const char* kDefaultConfigPath = "Serverlist.ini";
constexpr const char* kAccepted = "\"error\":0";
constexpr int kLogUpload = 28;

template <class Operation>
int Guarded(Operation operation) {
  try {
    return operation();
  } catch (...) {
    return kStatisticsException;
  }
}

bool ContainsAll(const std::string& text, const std::vector<std::string>& keywords) {
  for (const std::string& keyword : keywords) {
    if (text.find(keyword) == std::string::npos) return false;
  }
  return true;
}

bool SameClassId(const char* a, const char* b) {
  if (std::strlen(a) != std::strlen(b)) return false;
  for (; *a; ++a, ++b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(*a) != lower(*b)) return false;
  }
  return true;
}

}  // namespace

CDataStatisticsImp::CDataStatisticsImp(MachineDescription machine) : machine_(std::move(machine)) {}

int CDataStatisticsImp::SetConfigPath(const char* path) {
  return Guarded([&] {
    std::lock_guard<std::mutex> hold(batchLock_);
    configPath_ = path ? path : "";
    return kStatisticsDone;
  });
}

int CDataStatisticsImp::QueueEvent(const char* code, const char* body, int flag) {
  return Guarded([&] {
    std::lock_guard<std::mutex> hold(batchLock_);
    ++batchCount_;
    if (!code || !*code || !body || !*body) return kStatisticsNothing;
    if (batchCount_ > kMaxBatchEvents) return kStatisticsBatchFull;
    StatisticsConfig config;
    if (!LoadConfig(&config)) return kStatisticsNoConfiguration;
    for (const std::string& keyword : config.inputKeywords) {
      if (std::strstr(body, keyword.c_str()) == nullptr) return kStatisticsKeywordMissing;
    }
    batch_.push_back({code, body, flag});
    return kStatisticsDone;
  });
}

int CDataStatisticsImp::SubmitBatch(const CancelCheck& cancelled) {
  return Guarded([&] {
    std::lock_guard<std::mutex> hold(batchLock_);
    if (batch_.empty()) {
      batchCount_ = 0;  // events that were all refused must not keep the next batch full
      return kStatisticsNothing;
    }
    StatisticsConfig config;
    LoadConfig(&config);  // a file gone since the events came leaves no server to try
    std::string request;
    try {
      request = EncodeSubmission(BatchText(config));
    } catch (...) {
      return kStatisticsBatchTextFailed;
    }
    const bool accepted = Post(config, request, cancelled);
    batchCount_ = 0;
    batch_.clear();
    return accepted ? kStatisticsDone : kStatisticsNothing;
  });
}

int CDataStatisticsImp::GetMachineIdentifier(char* buffer, size_t* capacity) {
  return Guarded([&] {
    const std::string& id = machine_.Identifier();
    if (id.size() < 16) return kStatisticsNothing;
    const std::string text = "0x" + id.substr(0, 8) + ", 0x" + id.substr(id.size() - 8);
    if (!buffer || !capacity || *capacity <= text.size()) {
      if (capacity) *capacity = text.size() + 1;
      return static_cast<int>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return kStatisticsDone;
  });
}

bool CDataStatisticsImp::LoadConfig(StatisticsConfig* config) {
  if (configPath_.empty()) configPath_ = kDefaultConfigPath;
  platform::IniFile ini;
  if (!platform::PathExists(configPath_) || !ini.Load(configPath_)) return false;
  *config = StatisticsConfig::Read(ini);
  return true;
}

std::string CDataStatisticsImp::BatchText(const StatisticsConfig& config) {
  Json::Value events(Json::arrayValue);
  for (const Event& event : batch_) {
    Json::Value document(Json::objectValue);
    document["MachId"] = machine_.Identifier();
    document["Mac"] = machine_.MacText();
    document["OS"] = machine_.OsText();
    document["Sessionid"] = "";  // no session in this system
    document["Sequence"] = Json::UInt64(sequence_++);
    machine_.AddInventory(event.flag, document);
    std::string info = EventInfo(document, event.body);
    if (!ContainsAll(info, config.submitKeywords)) {
      events.append(Json::Value());
      continue;
    }
    Json::Value entry(Json::objectValue);
    entry["code"] = event.code;
    entry["info"] = std::move(info);
    events.append(std::move(entry));
  }
  return CompactJson(events);
}

bool CDataStatisticsImp::Post(const StatisticsConfig& config, const std::string& request,
                              const CancelCheck& cancelled) {
  for (const std::string& url : config.serverUrls) {
    if (url.empty()) continue;
    if (cancelled && cancelled()) return false;
    const PostOutcome outcome = PostForm(url, request, cancelled);
    if (outcome.answered && outcome.response.find(kAccepted) != std::string::npos) return true;
    LogPrintf(kLogUpload, kLogUpload, "Submit to %s refused: %s", url.c_str(),
              outcome.answered ? outcome.response.substr(0, 200).c_str() : outcome.error.c_str());
  }
  return false;
}

IDataStatisticsUser* CreateDataStatisticsUser(const char* classId) {
  if (!classId || !SameClassId(classId, kDataStatisticsClassId)) return nullptr;
  return new CDataStatisticsImp(MachineDescription::Read());
}

}  // namespace bw
