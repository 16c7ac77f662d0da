#pragma once
#include <cstddef>

#include "reporting/FormPost.h"

namespace bw {

// Results of the submission client's operations.
constexpr int kStatisticsNothing = 0;            // nothing to send, no server accepted, no identifier, code or body missing
constexpr int kStatisticsDone = 1;
constexpr int kStatisticsKeywordMissing = 11;    // the body lacks an input keyword
constexpr int kStatisticsException = 16;
constexpr int kStatisticsBatchFull = 18;
constexpr int kStatisticsNoConfiguration = 20;   // the configuration file does not exist
constexpr int kStatisticsBatchTextFailed = 21;

// Events a batch takes; the rest of what arrives before a submission is refused.
constexpr int kMaxBatchEvents = 20;

// The class identifier the submission client is obtained by.
constexpr const char* kDataStatisticsClassId = "{91095A15-3C46-43b5-BA5F-462064037E59}";

// The statistics submission client: collects events into a batch and posts the batch to the
// first configured server that accepts it. Operations never throw: an exception yields 16.
class IDataStatisticsUser {
 public:
  virtual ~IDataStatisticsUser() = default;

  // The statistics configuration; without one, "Serverlist.ini" in the working folder is read.
  virtual int SetConfigPath(const char* path) = 0;
  // Adds one event (its eight-digit code, its record body, its inventory flag) to the batch.
  virtual int QueueEvent(const char* code, const char* body, int flag) = 0;
  // Posts the batch and starts a new one; a batch no server accepted is dropped. cancelled
  // ends a post under way.
  virtual int SubmitBatch(const CancelCheck& cancelled) = 0;
  // "0x" + 8 digits + ", 0x" + 8 digits into buffer: 1 copied, 0 none known, else the capacity
  // needed (with the terminator) when *capacity is smaller.
  virtual int GetMachineIdentifier(char* buffer, size_t* capacity) = 0;
};

// A new client for its class identifier (compared without regard to case); null for another.
IDataStatisticsUser* CreateDataStatisticsUser(const char* classId);

}  // namespace bw
