#pragma once
#include <cstdint>
#include <vector>

namespace bw {

// The arithmetic of a task's transfer figures: the per-second byte counters, the smoothed rate,
// the rate class that paces the loop, and the budgets derived from limits. It reads no clock; the
// task tells it when a second has closed and which step of the second it is in.
class TRateMeter {
 public:
  static constexpr int64_t kUnlimited = 1048576000;  // bytes per second that stand for "no limit"
  static constexpr int64_t kMinBudget = 3072;        // a task never gets less than 3 KiB/s
  static constexpr int64_t kFastPeerRate = 28671;    // peers above it run every step
  static constexpr int32_t kSlowestClass = 5;

  // What a closed second counted.
  struct Second {
    int64_t downBytes = 0;  // written bytes while downloading, received bytes once complete
    int64_t sent = 0;
  };

  void Reset();

  void AddReceived(int64_t bytes) { received_ += bytes; }
  void AddWritten(int64_t bytes) { written_ += bytes; }
  void AddSent(int64_t bytes) { sent_ += bytes; }
  int64_t Received() const { return received_; }
  int64_t Written() const { return written_; }
  int64_t Sent() const { return sent_; }

  // Ends the second: updates the smoothed rate and the rate class from its counters, then clears
  // them.
  Second CloseSecond(bool complete);

  int64_t SmoothedRate() const { return smoothed_; }
  int32_t RateClass() const { return rateClass_; }
  int32_t Pipeline() const { return pipeline_; }
  int32_t UploadPipeline() const { return uploadPipeline_; }
  int32_t TickPauseMs() const { return rateClass_ + 1; }

  // Steps since the last closed second.
  int32_t Ticks() const { return ticks_; }
  void RestartTicks() { ticks_ = 0; }
  void AdvanceTick() { ++ticks_; }
  // Whether a peer with this rate runs its download step now (fullStep: the step that closed a
  // second).
  bool RunsDownload(int64_t peerRate, bool fullStep) const;
  // Whether a BitTorrent peer with this rate serves uploads now.
  bool RunsUpload(int64_t peerRate, int32_t extraUploads) const;

  // Bytes per second a task may move: its own limit against its share of the process-wide limit.
  static int64_t Budget(int32_t limitKiB, int64_t share);
  static int32_t RateClassOf(int64_t bytesInSecond);
  // Extra upload steps allowed in the step that closes a second.
  static int32_t ExtraUploads(int64_t sentLastSecond, int32_t uploadSlots);
  static int32_t MaxConnections(int64_t downRate, int64_t upRate);
  static int32_t UploadSlots(int64_t upRate);
  // Seconds until the missing pieces arrive at rate; 0 below 1 KiB/s.
  static int64_t RemainingSeconds(int64_t pieceLength, int64_t missingPieces, int64_t rate);
  static int64_t Average(uint64_t total, int64_t seconds);
  // part × 100 / (other + part), 0 when both are 0.
  static int64_t PercentOf(int64_t part, int64_t other);
  // Spreads a process-wide limit (bytes per second) over tasks by what each used in the last
  // period; returns one share per task, all 0 (none) when the limit is 0 or less.
  static std::vector<int64_t> ShareOut(int64_t limit, const std::vector<int64_t>& used);

 private:
  int64_t received_ = 0;
  int64_t written_ = 0;
  int64_t sent_ = 0;
  int64_t smoothed_ = 0;
  int32_t rateClass_ = kSlowestClass;
  int32_t pipeline_ = 6;
  int32_t uploadPipeline_ = 18;
  int32_t ticks_ = 0;
};

}  // namespace bw
