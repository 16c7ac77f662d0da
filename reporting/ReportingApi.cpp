#include "reporting/ReportingApi.h"

#include <memory>
#include <shared_mutex>
#include <string>

#include "engine/frame/EngineLog.h"
#include "reporting/DataUpload.h"
#include "reporting/ReportingIdentifier.h"

namespace bw {
namespace {

constexpr int kLogUpload = 28;
constexpr size_t kIdentifierCapacity = 4096;

struct ReportingState {
  std::shared_mutex access;  // shared by reports, exclusive to start and end the upload
  std::unique_ptr<DataUpload> upload;
  std::string identifier;  // of the upload, once it is usable
  ReportDeltas deltas;
};

// Never destroyed: reports may still come while the process exits.
ReportingState& State() {
  static auto* state = new ReportingState;
  return *state;
}

// The one client of the process, made on first use; null when it cannot be made.
IDataStatisticsUser* Client() {
  static IDataStatisticsUser* const client = CreateDataStatisticsUser(kDataStatisticsClassId);
  return client;
}

std::string_view Text(const char* text) { return text ? text : ""; }

}  // namespace

void StartDataUpload(const char* configPath, const char* gameId, const char* appVersion, const char* gameVersion,
                     const char* channel) {
  try {
    ReportingState& state = State();
    std::unique_lock<std::shared_mutex> hold(state.access);
    if (state.upload) return;
    IDataStatisticsUser* client = Client();
    auto upload = std::make_unique<DataUpload>(client);
    upload->Configure(configPath, gameId, appVersion, gameVersion, channel);
    upload->Start("CollectDataUpload");
    std::string identifier;
    if (client && upload->Usable()) {
      char buffer[kIdentifierCapacity];
      size_t capacity = sizeof buffer;
      if (client->GetMachineIdentifier(buffer, &capacity) == kStatisticsDone) identifier = buffer;
    }
    state.identifier = std::move(identifier);
    state.upload = std::move(upload);
  } catch (...) {
  }
}

void ReportDownloadData(const char* code, const char* serverIp, const char* httpResult, uint32_t totalSeconds,
                        uint64_t totalBytes, uint64_t averageRate, const char* progress, uint64_t httpBytes,
                        uint64_t httpRate, uint64_t p2pBytes, uint64_t p2pRate, uint32_t corruptId,
                        const char* fileName, const char* url, const char* errorMessage, int flag) {
  try {
    ReportingState& state = State();
    std::shared_lock<std::shared_mutex> hold(state.access);
    if (!state.upload || !state.upload->IsRunning()) return;
    LogPrintf(kLogUpload, kLogUpload, "%s", code ? code : "");
    ReportFigures figures;
    figures.serverIp = Text(serverIp);
    figures.httpResult = Text(httpResult);
    figures.totals = {totalSeconds, totalBytes, httpBytes, p2pBytes};
    figures.averageRate = averageRate;
    figures.progress = Text(progress);
    figures.httpRate = httpRate;
    figures.p2pRate = p2pRate;
    figures.corruptId = corruptId;
    figures.fileName = Text(fileName);
    figures.url = Text(url);
    figures.errorMessage = Text(errorMessage);
    const ReportDeltas::Totals deltas = state.deltas.Advance(figures.totals);
    state.upload->Queue(code, figures, deltas, flag);
  } catch (...) {
  }
}

void ReportEvent(const char* code, const char* message, int flag) {
  ReportDownloadData(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, "", "", message, flag);
}

void ReportFileEvent(const char* code, const char* fileName, const char* message) {
  ReportDownloadData(code, "", "", 0, 0, 0, "", 0, 0, 0, 0, 0, fileName, "", message, 0);
}

std::string ReportingIdentifier() {
  ReportingState& state = State();
  std::shared_lock<std::shared_mutex> hold(state.access);
  return state.upload ? state.identifier : "";
}

void ShutdownReporting() {
  std::unique_ptr<DataUpload> upload;
  {
    ReportingState& state = State();
    std::unique_lock<std::shared_mutex> hold(state.access);
    upload = std::move(state.upload);
  }
  upload.reset();  // stops the thread; reports made meanwhile find no upload
  DeleteEngineLog();
}

}  // namespace bw
