#pragma once
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "reporting/IDataStatisticsUser.h"

namespace bw {

// One report waiting for the upload thread.
struct UploadRecord {
  std::string code;  // eight-digit event code
  std::string body;  // the record's JSON members
  int flag = 0;      // inventory selection
};

// The reports waiting for the upload thread, oldest first. It holds no more than a batch takes:
// the client would refuse the rest of what arrives before a submission anyway, and so a server
// that is down or slow cannot make the queue grow.
class UploadQueue {
 public:
  static constexpr size_t kCapacity = kMaxBatchEvents;

  // false when the queue is full: the record is dropped.
  bool Push(UploadRecord record);
  std::deque<UploadRecord> TakeAll();

 private:
  std::mutex guard_;
  std::deque<UploadRecord> records_;
};

}  // namespace bw
