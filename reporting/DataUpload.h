#pragma once
#include <string>

#include "engine/frame/QThread.h"
#include "reporting/IDataStatisticsUser.h"
#include "reporting/RecordBody.h"
#include "reporting/UploadQueue.h"

namespace bw {

// The upload thread: once a second it hands the queued reports to the submission client and has
// the client submit them as one batch.
class DataUpload : public QThread {
 public:
  // client may be null: reports are then ignored.
  explicit DataUpload(IDataStatisticsUser* client);
  ~DataUpload() override;

  // Before Start. A null text leaves its part unset.
  void Configure(const char* configPath, const char* gameId, const char* appVersion, const char* gameVersion,
                 const char* channel);
  // Has a client with a configuration and every identification text.
  bool Usable() const;
  // Builds the report's record and queues it; false when it is not usable or the queue is full.
  bool Queue(const char* code, const ReportFigures& figures, const ReportDeltas::Totals& deltas, int flag);

  void Run() override;

 private:
  void HandOver(const UploadRecord& record);

  IDataStatisticsUser* const client_;
  bool ready_ = false;  // the client took the configuration path
  UploadIdentity identity_;
  UploadQueue queue_;
};

}  // namespace bw
