#pragma once
#include <cstdint>
#include <string>

#include "engine/sources/THeaderBlock.h"
#include "engine/sources/TPeerObject.h"
#include "engine/sources/WholeBody.h"

namespace bw {

struct TUrlInfo;

// A source that serves the task's file over HTTP: one open-ended range request per run of
// pieces, the body cut into blocks; or, in whole-body mode, the body collected in memory.
class THttpPeer : public TPeerObject {
 public:
  // The open response is read on when the wanted data starts at most this far ahead of it.
  static constexpr int64_t kMaxSkip = 131072;
  static constexpr int64_t kMaxWholeBody = bw::kMaxWholeBody;
  // A chain of redirects, each to a new target, ends here.
  static constexpr int32_t kMaxRedirects = 10;
  static constexpr int32_t kRedirectLookupFailed = 20216;
  static constexpr int32_t kCertificateRefused = 20230;
  static constexpr int kMaxStepRuns = 16;

  explicit THttpPeer(IPeerTask* task) : TPeerObject(2, task) {}

  bool ConnectTo(TPeerId* peerId) override;
  bool ReadInput() override;
  bool FlushOutput() override;
  bool PlanRequests() override;
  void Reset() override;
  bool IsTimedOut() override;
  void ReleaseRange() override;

  // The request text; no Range line for start 0, none of the optional lines when empty.
  static std::string BuildRequest(const std::string& host, const std::string& path, int64_t start,
                                  const std::string& referer, const std::string& cookie = {},
                                  int64_t end = 0);
  std::string HeaderValue(const std::string& name) const { return header.Value(name); }

  bool headerReceived = false;
  int64_t skipBytes = 0;
  int64_t streamPos = 0;
  THeaderBlock header;
  bool noLength = false;

 private:
  TUrlInfo& Url() const;
  // Dials the held identity and queues a request from the first requested block on.
  bool Dial();
  bool ReadHeader();
  bool TakeSuccess();
  void RefuseCertificate();
  bool FollowRedirect();
  bool ReadWholeBody();
  // Moves the held bytes into the body and marks it complete at its length.
  bool TakeBody();
  bool ReadBlocks();
  // Reads the run's next bytes, at most size, straight into the piece memory where they belong
  // (the start of a block already held moved there first) and delivers the whole blocks; the
  // bytes of a block cut short wait in the receive buffer. The bytes asked for, 0 when the run
  // cannot be received in place, -1 when the connection failed.
  int64_t ReceiveInPlace(int64_t size);
  // Delivers the current run's blocks from data, which holds the stream from streamPos on: the
  // bytes used, -1 when the piece map refuses a block.
  int64_t DeliverRun(const uint8_t* data, int64_t size);
  // Delivers the held blocks of the current run; false when the piece map refuses one.
  bool DeliverHeld();
  void NoteReceived(uint64_t before);
  // Where the request for the current run ends (exclusive); 0 for an open-ended one.
  int64_t RequestEnd() const;
  bool ResponseCovers(int64_t offset) const;
  // Gives up the open answer and asks again from the first requested block.
  bool Redial();

  int64_t runLength_ = 0;
  int64_t requestedFrom_ = 0;
  int64_t requestedEnd_ = 0;
};

}  // namespace bw
