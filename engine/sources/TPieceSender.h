#pragma once
#include <cstdint>
#include <string>

#include "engine/common/TRef.h"
#include "engine/common/TRefObject.h"
#include "engine/storage/IPieceSource.h"

namespace bw {

class IPeerTask;
class TPeerId;
class TPeerObject;

// What the piece map holds of one connection that sent blocks: the source's identity, which
// outlives the connection, so that a piece judged after the connection ended, or made over
// several connections to the source, is still reported with its address and charged to it.
class TPieceSender : public TRefObject, public IPieceSource {
 public:
  // Back-off per bad piece in a row, and how many in a row retire the source.
  static constexpr int32_t kBadPieceBackOff = 30;
  static constexpr int32_t kBadPieceLimit = 3;

  TPieceSender(TPeerId& id, int32_t kind, IPeerTask* task, TPeerObject& connection);

  void AddRef() override { TRefObject::AddRef(); }
  void Release() override { TRefObject::Release(); }
  int32_t Kind() const override { return kind_; }
  uint32_t Ipv4() const override;
  uint16_t Port() const override;
  std::string AddressText() const override;
  const void* Source() const override { return id_.get(); }
  // A source whose pieces fail their hash waits longer after each; one that fails a few in a row
  // is retired.
  void CountFailure() override;
  void ResetFailures() override;

  // The connection ended or serves another source now: only the source is charged from here on.
  void Detach() { connection_ = nullptr; }

 private:
  TRef<TPeerId> id_;
  const int32_t kind_;
  IPeerTask* task_;
  TPeerObject* connection_;
};

}  // namespace bw
