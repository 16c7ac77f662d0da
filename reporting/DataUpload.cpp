#include "reporting/DataUpload.h"

#include <cerrno>
#include <chrono>

#include "engine/frame/EngineLog.h"

namespace bw {
namespace {

constexpr int kLogUpload = 28;
constexpr auto kLastSubmission = std::chrono::seconds(2);

}  // namespace

DataUpload::DataUpload(IDataStatisticsUser* client) : client_(client) {}

DataUpload::~DataUpload() { Stop(); }

void DataUpload::Configure(const char* configPath, const char* gameId, const char* appVersion,
                           const char* gameVersion, const char* channel) {
  if (client_ && configPath) ready_ = client_->SetConfigPath(configPath) == kStatisticsDone;
  if (gameId && appVersion && gameVersion && channel) identity_ = {gameId, appVersion, gameVersion, channel};
}

bool DataUpload::Usable() const {
  return client_ && ready_ && !identity_.gameId.empty() && !identity_.appVersion.empty() &&
         !identity_.gameVersion.empty();
}

bool DataUpload::Queue(const char* code, const ReportFigures& figures, const ReportDeltas::Totals& deltas,
                       int flag) {
  if (!Usable()) return false;
  return queue_.Push({code ? code : "", FormatRecordBody(identity_, figures, deltas), flag});
}

void DataUpload::Run() {
  for (;;) {
    const bool stopping = SleepSeconds(1) > 0 || IsStopRequested();
    const std::deque<UploadRecord> records = queue_.TakeAll();
    if (!records.empty()) {
      for (const UploadRecord& record : records) HandOver(record);
      if (stopping) {
        // The last reports (the end of a check, the reason for the exit) come just before the
        // stop: they get one short try.
        const auto deadline = std::chrono::steady_clock::now() + kLastSubmission;
        client_->SubmitBatch([deadline] { return std::chrono::steady_clock::now() >= deadline; });
        return;
      }
      client_->SubmitBatch([this] { return IsStopRequested(); });
      // A stop that cut a submission short met a slow server: what is queued is dropped.
      if (IsStopRequested()) return;
    }
    if (stopping) return;
  }
}

void DataUpload::HandOver(const UploadRecord& record) {
  try {
    client_->QueueEvent(record.code.c_str(), record.body.c_str(), record.flag);
  } catch (...) {
    LogPrintf(kLogUpload, kLogUpload, "A exception catched in datauploadCODE : (%s)ErrorCode : (%lu)",
              record.code.c_str(), static_cast<unsigned long>(errno));
  }
}

}  // namespace bw
