#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "engine/sources/TPeerObject.h"

namespace bw {

class QSocket;
struct FtpReply;
struct TUrlInfo;

// A source that serves the task's file over FTP: it logs in on the peer's socket (the control
// connection), learns the size, and fetches runs of blocks through passive data connections, each
// from the first wanted byte on (REST + RETR); or, in whole-body mode, collects the file in memory.
class TFtpPeer : public TPeerObject {
 public:
  // ftpState: the command that is due or whose reply is awaited.
  enum FtpState : int32_t {
    kTransfer = 0,
    kAwaitWelcome = 1,
    kSendUser = 2,
    kSendPass = 3,
    kSendCwd = 4,
    kSendSize = 5,
    kSendType = 6,
    kSendPassive = 7,
    kRestSent = 8,
    kRetrSent = 9,
    kAwaitTransferEnd = 11,
  };
  // ftpPhase
  enum FtpPhase : int32_t { kCommandDue = 0, kCommandQueued = 1, kAwaitReply = 2 };

  // The open data stream is read on while the wanted data starts at most this far ahead of it.
  static constexpr int64_t kMaxSkip = 5 * kBlockSize;
  static constexpr int32_t kServerErrorBackOff = 60;

  explicit TFtpPeer(IPeerTask* task);
  ~TFtpPeer() override;

  bool ConnectTo(TPeerId* peerId) override;
  bool ReadInput() override;
  bool FlushOutput() override;
  bool PlanRequests() override;
  void Reset() override;
  bool IsTimedOut() override;
  void ReleaseRange() override;
  // The data connection carries the payload: the step's traffic is counted there.
  QSocket* CountedSocket() const override;
  // Every state but the transfer waits for a reply or has a command to send.
  bool InDialogue() const override { return ftpState != kTransfer; }

  // The command of a state, ending in "\r\n"; "" for a state that sends none.
  static std::string CommandText(int32_t state, const TUrlInfo& url, int64_t streamPos);
  // The folder a path's file lies in: up to its last "/", "/" for a file at the top.
  static std::string Directory(const std::string& path);

  int32_t ftpState = kAwaitWelcome;
  int32_t ftpPhase = kAwaitReply;
  int64_t streamPos = 0;  // file offset of the data stream's next byte
  int64_t skipBytes = 0;  // stream bytes to discard before the first wanted block

 private:
  TUrlInfo& Url() const;
  // Takes the next whole reply off the control connection; *got stays false while none is held.
  bool TakeReply(FtpReply* reply, bool* got);
  bool OnReply(const FtpReply& reply);
  // The server refused the command: the step fails, and a 5xx answer backs the source off.
  bool Refused(const FtpReply& reply);
  void Next(int32_t state);
  bool QueueCommand();
  bool OpenData(int32_t port);
  bool ReadTransfer();
  bool ReadWholeBody();
  bool ReadBlocks();
  // Delivers the held blocks that continue the stream; false when the piece map refuses one.
  bool DeliverHeld();
  // Whether the wanted data lies within reach of the open stream (the skip is then set).
  bool WithinReach();
  // Closes the data connection and waits for the server's word on the transfer.
  void EndCycle();
  void NoteReceived(const QSocket& socket, uint64_t before);

  std::unique_ptr<QSocket> dataSocket_;
};

}  // namespace bw
