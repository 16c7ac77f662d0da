#include "engine/sources/TPieceSender.h"

#include "engine/net/BigEndian.h"
#include "engine/sources/IPeerTask.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerObject.h"

namespace bw {

TPieceSender::TPieceSender(TPeerId& id, int32_t kind, IPeerTask* task, TPeerObject& connection)
    : id_(TRef<TPeerId>::Share(&id)), kind_(kind), task_(task), connection_(&connection) {}

uint32_t TPieceSender::Ipv4() const {
  // The identity keeps it in network order.
  const uint32_t ip = id_->ip;
  return LoadBe32(reinterpret_cast<const uint8_t*>(&ip));
}

uint16_t TPieceSender::Port() const { return static_cast<uint16_t>(id_->port); }

std::string TPieceSender::AddressText() const { return id_->addressText; }

void TPieceSender::CountFailure() {
  if (connection_) connection_->NotePieceFailed();
  if (!task_) return;
  if (++id_->badPieces >= kBadPieceLimit) {
    task_->RemoveSource(*id_);
  } else {
    task_->PenalizeSource(*id_, kBadPieceBackOff * id_->badPieces);
  }
}

void TPieceSender::ResetFailures() {
  if (connection_) connection_->NotePiecePassed();
  id_->badPieces = 0;
}

}  // namespace bw
