#pragma once
#include <cstdint>
#include <memory>

#include "engine/sources/TPeerObject.h"

namespace bw {

class QSocket;

// A source that serves the task's file over FTP: commands on the peer's socket, the file
// through passive data connections.
class TFtpPeer : public TPeerObject {
 public:
  // ftpState: the welcome line is awaited.
  static constexpr int32_t kAwaitWelcome = 1;
  // ftpPhase: a reply is awaited.
  static constexpr int32_t kAwaitReply = 2;

  explicit TFtpPeer(IPeerTask* task);
  ~TFtpPeer() override;

  bool ConnectTo(TPeerId* peerId) override;
  bool ReadInput() override;
  void Reset() override;

  int32_t ftpState = kAwaitWelcome;
  int32_t ftpPhase = kAwaitReply;
  std::unique_ptr<QSocket> dataSocket;
  int64_t streamPos = 0;  // file offset of the data stream's next byte
  int64_t skipBytes = 0;  // stream bytes to discard before the first wanted block
};

}  // namespace bw
