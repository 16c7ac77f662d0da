#include "engine/sources/TBTPeer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/net/QSocket.h"
#include "engine/net/UdpIdentity.h"
#include "engine/net/UdpServerService.h"
#include "engine/sources/BTWire.h"
#include "engine/sources/PeerTransport.h"
#include "engine/sources/TPieceRange.h"
#include "engine/storage/TPieces.h"
#include "platform/Clock.h"

namespace bw {

namespace {

constexpr int32_t kMisbehaviourBackOff = 300;
constexpr int64_t kHandshakeRead = 2048;
// What one step takes in from a remote side that keeps sending: the task loop must come round.
constexpr int64_t kMaxStepBytes = int64_t{8192000};
constexpr int32_t kPlanTries = 3;
// A tail of a URL source's range this long is worth claiming as a run of one's own.
constexpr int64_t kMinTailRunBlocks = 24;
constexpr uint64_t kReplanSeconds = 59;
constexpr uint64_t kSeedLinger = 15;
constexpr uint64_t kStaleSeconds = 90;
constexpr uint64_t kUselessAfter = 120;
constexpr int64_t kUselessRate = 18;
constexpr uint64_t kEndGameAge = 8;
constexpr int64_t kNearWindow = int64_t{8} << 20;
constexpr size_t kRequestBatch = 48;
// Sixteen piece messages of a block each.
constexpr int64_t kServeBatch = 16 * (kBlockSize + int64_t{btwire::kPieceHeaderSize});
constexpr int64_t kSlowUpload = 28672;
// Above this rate in either direction a connection keeps its buffers and moves what it can each
// step instead of a chunk.
constexpr int64_t kFastRate = 262143;
// Clients drop requests past their queue without a word; 250 is the depth every one of them
// takes when the remote side names none.
constexpr int64_t kMaxRequestsOnWire = 250;

bool TestBit(const std::vector<uint8_t>& bits, int64_t index) {
  const auto byte = static_cast<size_t>(index / 8);
  return byte < bits.size() && (bits[byte] & (0x80 >> (index % 8))) != 0;
}

void SetBit(std::vector<uint8_t>& bits, int64_t index, bool on) {
  const auto byte = static_cast<size_t>(index / 8);
  if (byte >= bits.size()) return;
  const auto mask = static_cast<uint8_t>(0x80 >> (index % 8));
  bits[byte] = on ? bits[byte] | mask : bits[byte] & ~mask;
}

}  // namespace

int64_t TBTPeer::PieceCount() const {
  const TPieces* pieces = Task() ? Task()->Pieces() : nullptr;
  return pieces ? pieces->PieceCount() : 0;
}

// ---- connecting ----

bool TBTPeer::ConnectTo(TPeerId* peerId) {
  if (!Task() || !Task()->SwarmHandshake() || !TPeerObject::ConnectTo(peerId)) return false;
  handshakeSent = false;
  uint8_t tag[kUdpTagSize];
  const bool udp = ConnectsOverUdp(*peerId, UdpTransportAllowed());
  if (udp) UdpTagOf(*peerId, tag);
  peerId->tcpRefused = false;
  if (!Socket()->Connect(peerId->ip, peerId->port, false, nullptr, 0, udp ? tag : nullptr)) {
    peerId->tcpRefused = !udp;
    return false;
  }
  if (Socket()->IsConnected()) return OnAttached();
  return true;
}

bool TBTPeer::AttachSocket(std::unique_ptr<QSocket> socket) {
  if (!TPeerObject::AttachSocket(std::move(socket))) return false;
  return OnAttached();
}

bool TBTPeer::OnAttached() { return SendHandshake(); }

bool TBTPeer::SendText(const std::string& text) {
  return Socket()->Send(text.data(), static_cast<int64_t>(text.size())) >= 0;
}

bool TBTPeer::SendHandshake() {
  const uint8_t* own = Task() ? Task()->SwarmHandshake() : nullptr;
  if (!own || handshakeSent) return own != nullptr;
  std::memcpy(handshake.data(), own, handshake.size());
  handshakeSent = true;
  QSocket& socket = *Socket();
  std::string out;
  if (stats.incoming) {
    // A remote side that came disguised gets an answer in the same dress.
    if (btwire::DisguiseLength(socket.ReceivedData(), static_cast<size_t>(socket.ReceivedSize())) > 0) {
      out = btwire::ReplyDisguise(Task()->Clock());
    }
  } else if (Task()->HttpDisguise() && PeerId()) {
    out = btwire::RequestDisguise(PeerId()->ip, PeerId()->port, PeerId()->attempts % 2 == 0);
  }
  out.append(reinterpret_cast<const char*>(handshake.data()), handshake.size());
  return SendText(out);
}

bool TBTPeer::Fail() {
  if (TPeerId* id = PeerId()) Task()->PenalizeSource(*id, kMisbehaviourBackOff);
  ++stats.failures;
  return EndLink();
}

bool TBTPeer::EndLink() {
  Socket()->Close();
  linkState = kNoLink;
  return false;
}

bool TBTPeer::CheckHandshake() {
  QSocket& socket = *Socket();
  const int64_t skip = btwire::DisguiseLength(socket.ReceivedData(), static_cast<size_t>(socket.ReceivedSize()));
  if (skip > 0) socket.ConsumeReceived(skip);
  const uint64_t now = Task()->Clock();
  if (skip < 0 || socket.ReceivedSize() < static_cast<int64_t>(btwire::kHandshakeSize)) {
    return now <= std::max(stats.startTime, socket.ConnectedAt()) + kHandshakeTimeout;
  }
  const uint8_t* data = socket.ReceivedData();
  const uint8_t* own = Task()->SwarmHandshake();
  if (!own || !btwire::NamesHash(data, btwire::kHandshakeSize, own + btwire::kHashAt)) return Fail();
  const uint8_t* remoteId = data + btwire::kPeerIdAt;
  if (std::memcmp(remoteId, own + btwire::kPeerIdAt, 20) == 0) {
    // Ourselves, reached through another address: never again.
    if (TPeerId* id = PeerId()) Task()->RemoveSource(*id);
    return EndLink();
  }
  if (!PeerId()) {
    TPeerId* id = Task()->IdentifyIncoming(socket.RemoteAddress(), socket.RemotePort(), remoteId);
    if (!id) {
      return EndLink();
    }
    HoldIdentity(id);
  }
  std::memcpy(PeerId()->peerIdBytes, remoteId, 20);
  if (!SendHandshake()) return false;
  socket.ConsumeReceived(static_cast<int64_t>(btwire::kHandshakeSize));
  linkState = kGreeted;
  remoteHave.assign(static_cast<size_t>((PieceCount() + 7) / 8), 0);
  triedPieces.assign(remoteHave.size(), 0);
  haveCount = haveCountAtBitfield = 0;
  chokedSince = now;
  workState = 2;
  peerChoking = true;
  stats.chokeChanged = true;
  stats.settled = false;
  std::string out;
  const std::span<const uint8_t> bitmap = Task()->PieceBitmap();
  if (std::any_of(bitmap.begin(), bitmap.end(), [](uint8_t b) { return b != 0; })) {
    btwire::AppendHeader(out, btwire::kBitfield, static_cast<uint32_t>(bitmap.size()));
    out.append(reinterpret_cast<const char*>(bitmap.data()), bitmap.size());
  }
  btwire::AppendHeader(out, btwire::kInterested, 0);
  btwire::AppendHeader(out, btwire::kUnchoke, 0);
  amChoking = false;
  amInterested = true;
  socket.SetReceiveBufferSize(QSocket::kMaxReceiveBufferOption);
  return SendText(out);
}

// ---- receiving ----

bool TBTPeer::ReadInput() {
  if (!IsConnected()) return false;
  QSocket& socket = *Socket();
  const uint64_t now = Task()->Clock();
  const bool udp = socket.IsUdpMode();  // a failed connect forgets it
  if (!socket.IsConnected()) {
    // A refused connect has closed the socket: nothing comes of waiting out the time-out.
    if (socket.IsOpen() && now <= stats.startTime + (udp ? kUdpConnectTimeout : kConnectTimeout)) return true;
    if (TPeerId* id = PeerId(); id && !udp && !stats.incoming && socket.ConnectedAt() == 0) id->tcpRefused = true;
    return false;
  }
  if (!handshakeSent && !SendHandshake()) return false;
  const bool greeted = linkState == kGreeted;
  int64_t budget = Task()->DownloadBudget();
  if (greeted && budget <= 0) return true;
  int64_t size = kHandshakeRead;
  if (greeted && !peerChoking && !requests_.empty()) {
    size = kBlockSize + 1024;
    if (counters.downloadRate > kFastRate || int64_t{stepBlocks} * kBlockSize >= kReadChunk) size = 65536 + 1024;
    else if (counters.downloadRate > 65535) size = 32768 + 1024;
  }
  size = std::max<int64_t>(std::min(size, budget), 192);
  const uint64_t receivedBefore = socket.BytesReceived();
  bool wasChoking = peerChoking;
  // Read a chunk, take its messages, ask for what they freed, read on: the remote side works on
  // new requests while we take in the rest, and the buffer holds a chunk, not all that waited.
  for (;;) {
    const int64_t before = socket.ReceivedSize();
    const int64_t held = socket.Receive(size);
    if (held < 0) return false;
    if (linkState == kLinked) {
      if (!CheckHandshake()) return false;
      if (linkState != kGreeted) return true;
      wasChoking = peerChoking;
    }
    if (!ParseHeld()) return false;
    if (wasChoking != peerChoking) {
      wasChoking = peerChoking;
      if (peerChoking) CancelAll();
      else if (!SendRequests()) return false;
    }
    const uint64_t stepBytes = socket.BytesReceived() - receivedBefore;
    budget = Task()->DownloadBudget();
    // A read that filled what was asked finds more waiting, unless a whole message is left unread.
    if (!greeted || held - before < size || !IsConnected() || linkState != kGreeted || HasUnreadInput() ||
        stepBytes >= static_cast<uint64_t>(kMaxStepBytes) || budget <= 0) {
      break;
    }
    // Not before a piece passed its check: a liar answering at once would take the whole content
    // within one step.
    if (stats.passedPieces > 0 && (!PlanRequests() || !SendRequests())) return false;
    size = std::min({size * 2, kReadChunk, budget});
  }
  const uint64_t stepBytes = socket.BytesReceived() - receivedBefore;
  // A fast peer, or one that just sent much, refills the buffer at once: it is kept, not shrunk.
  if (IsConnected() && counters.downloadRate <= kFastRate && stepBytes <= 16383) socket.ConsumeReceived(0);
  stepBlocks = static_cast<int32_t>(std::min<uint64_t>(stepBytes, kMaxStepBytes) / kBlockSize);
  return true;
}

bool TBTPeer::HasUnreadInput() const {
  const QSocket* socket = Socket();
  const int64_t held = socket ? socket->ReceivedSize() : 0;
  if (held < 4) return false;
  return linkState != kGreeted || held >= 4 + int64_t{btwire::ReadU32(socket->ReceivedData())};
}

bool TBTPeer::ParseHeld() {
  QSocket& socket = *Socket();
  const uint32_t maxLength =
      std::max<uint32_t>(btwire::kPieceMessageMax, 1 + static_cast<uint32_t>(remoteHave.size()));
  size_t at = 0;
  bool ok = true;
  while (ok && linkState == kGreeted) {
    btwire::Message message;
    size_t used = 0;
    const btwire::Parse result = btwire::ParseMessage(socket.ReceivedData() + at,
                                                      static_cast<size_t>(socket.ReceivedSize()) - at, maxLength,
                                                      &message, &used);
    if (result == btwire::Parse::kNeedMore) {
      // A piece is judged by its header: one nobody asked for ends the link before its data is in.
      if (!AwaitsPartialPiece(socket.ReceivedData() + at, static_cast<size_t>(socket.ReceivedSize()) - at)) return Fail();
      break;
    }
    if (result == btwire::Parse::kError) return Fail();
    // A full upload queue leaves further requests unread until it drains: dropped, they would
    // never be answered and the remote side would wait for them.
    if (message.id == btwire::kRequest && uploadRequests_.size() >= kMaxUploadRequests) break;
    at += used;
    if (message.id != btwire::kKeepAlive) ok = OnMessage(message.id, message.payload, message.size);
  }
  if (IsConnected() && Socket()) socket.ConsumeReceived(static_cast<int64_t>(at), true);
  return ok;
}

bool TBTPeer::OnMessage(int32_t id, const uint8_t* payload, uint32_t size) {
  const int64_t count = PieceCount();
  switch (id) {
    case btwire::kChoke:
    case btwire::kUnchoke:
      peerChoking = id == btwire::kChoke;
      workState = peerChoking || amChoking ? 2 : 1;
      if (peerChoking && chokedSince == 0) chokedSince = Task()->Clock();
      if (!peerChoking) chokedSince = 0;
      return true;
    case btwire::kHave: {
      if (size != 4) return Fail();
      const int64_t index = btwire::ReadU32(payload);
      // An index past the last piece names nothing.
      if (index >= count) return true;
      SetBit(triedPieces, index, false);
      if (!TestBit(remoteHave, index)) {
        SetBit(remoteHave, index, true);
        ++statsRecord.haveMessages;
        ++haveCount;
        if (haveCount >= count) IsSeed();
      }
      if (Task()->Pieces()->IsPieceWanted(index)) nothingToOffer = false;
      lastHaveIndex = static_cast<int32_t>(index);
      return true;
    }
    case btwire::kBitfield: {
      if (size != remoteHave.size()) return Fail();
      std::memcpy(remoteHave.data(), payload, size);
      // Spare bits past the last piece are not pieces.
      if (count % 8 != 0 && !remoteHave.empty()) remoteHave.back() &= static_cast<uint8_t>(0xFF00 >> (count % 8));
      haveCount = 0;
      for (uint8_t b : remoteHave) haveCount += std::popcount(b);
      haveCountAtBitfield = haveCount;
      nothingToOffer = haveCount == 0;
      if (haveCount > 0) stats.settled = true;
      stats.remotePieces = haveCount;
      return true;
    }
    case btwire::kRequest:
    case btwire::kCancel:
      if (size != 12) return Fail();
      return OnRequest(payload, id == btwire::kCancel);
    case btwire::kPiece: {
      if (size <= 8 || size - 8 > static_cast<uint32_t>(kBlockSize)) return Fail();
      const int64_t index = btwire::ReadU32(payload);
      const int64_t begin = btwire::ReadU32(payload + 4);
      const auto length = static_cast<int32_t>(size - 8);
      const int64_t block = index < count ? GlobalBlock(*Task()->Pieces(), index, begin) : -1;
      // The answer to a request withdrawn while it was on its way.
      if (block >= 0 && !Awaits(block, length) && ForgetCancelled(block, length)) return true;
      // Only a block we asked for, of the length asked, is taken; anything else ends the link.
      const bool failedBefore = stats.failedSinceDelivery;
      const int32_t failures = stats.failures;
      if (index < count && DeliverPieceBlock(index, begin, length, payload + 8)) return true;
      // A piece that failed its check has cost the source its bad-piece back-off already, which
      // grows with each one in a row: a lone seeder that sent one is not gone for minutes.
      return failedBefore || stats.failures > failures ? EndLink() : Fail();
    }
    default:
      return true;
  }
}

bool TBTPeer::OnRequest(const uint8_t* payload, bool cancel) {
  TPieces& pieces = *Task()->Pieces();
  const int64_t index = btwire::ReadU32(payload);
  const int64_t begin = btwire::ReadU32(payload + 4);
  const int64_t length = btwire::ReadU32(payload + 8);
  const int64_t block = GlobalBlock(pieces, index, begin);
  if (block < 0 || length <= 0 || length > kBlockSize || begin + length > pieces.Piece(index).Size) return Fail();
  auto same = [&](const TBlockRequest& r) { return r.block == block && r.length == length; };
  if (cancel) {
    std::erase_if(uploadRequests_, same);
    return true;
  }
  if (amChoking || !pieces.IsPieceComplete(index) ||
      std::any_of(uploadRequests_.begin(), uploadRequests_.end(), same)) {
    return true;
  }
  uploadRequests_.push_back({block, static_cast<int32_t>(length), 0, false});
  return true;
}

// ---- requesting ----

bool TBTPeer::Awaits(int64_t block, int32_t length) const {
  const auto same = [&](const TBlockRequest& r) { return r.block == block && r.length == length; };
  const std::vector<TBlockRequest>& shared = Task()->EndGameList();
  return std::any_of(requests_.begin(), requests_.end(), [&](const TBlockRequest& r) { return r.sent && same(r); }) ||
         std::any_of(shared.begin(), shared.end(), same);
}

void TBTPeer::RememberCancel(const TBlockRequest& r) {
  if (cancelled.size() >= kMaxCancelled) cancelled.erase(cancelled.begin());
  cancelled.push_back(r);
}

bool TBTPeer::ForgetCancelled(int64_t block, int32_t length) {
  const auto at = std::find_if(cancelled.begin(), cancelled.end(),
                               [&](const TBlockRequest& r) { return r.block == block && r.length == length; });
  if (at == cancelled.end()) return false;
  cancelled.erase(at);
  return true;
}

bool TBTPeer::AwaitsPartialPiece(const uint8_t* data, size_t len) const {
  static constexpr size_t kHeader = 4 + 1 + 8;
  if (len < kHeader || data[4] != btwire::kPiece) return true;
  const uint32_t length = btwire::ReadU32(data);
  const TPieces* pieces = Task()->Pieces();
  const int64_t index = btwire::ReadU32(data + 5);
  // A length out of bounds is the whole-message check's to refuse.
  if (length <= 9 || length > btwire::kPieceMessageMax || !pieces || index >= pieces->PieceCount()) return true;
  const int64_t block = GlobalBlock(*pieces, index, btwire::ReadU32(data + 9));
  const auto blockLength = static_cast<int32_t>(length - 9);
  return block >= 0 && (Awaits(block, blockLength) ||
                        std::any_of(cancelled.begin(), cancelled.end(), [&](const TBlockRequest& r) {
                          return r.block == block && r.length == blockLength;
                        }));
}

void TBTPeer::CancelAll() {
  const TPieces* pieces = Task()->Pieces();
  std::string out;
  for (const TBlockRequest& r : requests_) {
    if (!r.sent || !pieces) continue;
    RememberCancel(r);
    const int64_t start = r.block * kBlockSize;
    btwire::AppendBlockMessage(out, btwire::kCancel, static_cast<uint32_t>(start / pieces->PieceLength()),
                               static_cast<uint32_t>(start % pieces->PieceLength()), static_cast<uint32_t>(r.length));
  }
  if (!out.empty()) SendText(out);
  if (!requests_.empty()) Task()->ReturnRequests(requests_);
  requests_.clear();
  Task()->ReleaseWanted(*this);
}

bool TBTPeer::PlanRequests() {
  if (linkState != kGreeted || peerChoking || !Task()->HasMetadata()) return true;
  if (Task()->IsComplete()) {
    if (!requests_.empty()) CancelAll();
    return true;
  }
  const uint64_t now = Task()->Clock();
  const auto depth = static_cast<size_t>(RequestDepth());
  if (requests_.size() >= depth || haveCount == 0) return true;
  const bool noneSent = std::none_of(requests_.begin(), requests_.end(), [](const TBlockRequest& r) { return r.sent; });
  // Blocks of the shared end-game list are taken whatever the last search for a piece found:
  // they are what is left to fetch.
  if (Task()->InEndGame()) Task()->TakeEndGameBlocks(*this, requests_);
  if (!nothingToOffer || now > lastPlanTime + kReplanSeconds) {
    lastPlanTime = now;
    // Piece after piece until the depth is reached: what is not queued now waits a whole step.
    view_.inStep = true;
    while (requests_.size() < depth) {
      const size_t before = requests_.size();
      TPeerObject::PlanRequests();
      if (requests_.size() == before) break;
    }
    view_.inStep = view_.built = false;
  }
  return noneSent ? SendRequests() : true;
}

bool TBTPeer::HasUnaskedBlocks(int32_t piece) const {
  const TPieces* pieces = Task()->Pieces();
  if (piece < 0 || !pieces || piece >= pieces->PieceCount() || !pieces->IsPieceWanted(piece)) return false;
  const int64_t size = pieces->Piece(piece).Size;
  for (int64_t offset = 0; offset < size; offset += kBlockSize) {
    const auto length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, size - offset));
    if (!pieces->HasBlock(piece, offset, length) && !HasRequest(GlobalBlock(*pieces, piece, offset))) return true;
  }
  return false;
}

bool TBTPeer::MayTake(int64_t piece, const std::vector<bool>& asked) const {
  return piece >= 0 && static_cast<size_t>(piece) < asked.size() && !asked[static_cast<size_t>(piece)] &&
         TestBit(remoteHave, piece) && !TestBit(triedPieces, piece) && Task()->Pieces()->IsPieceWanted(piece);
}

void TBTPeer::RefreshView() {
  const TPieces& pieces = *Task()->Pieces();
  const auto count = static_cast<size_t>(pieces.PieceCount());
  // Only what the step queued is new; requests let go of meanwhile make it start over.
  if (!view_.built || view_.asked.size() != count || requests_.size() < view_.requestsSeen) {
    view_.asked.assign(count, false);
    view_.requestsSeen = 0;
    PiecesHeldElsewhere(view_.held);
    view_.wantedFirst.clear();
    for (const TWantedPiece& w : Task()->WantedList()) {
      if (!w.by) view_.wantedFirst.push_back(w.piece);
    }
    view_.built = true;
  }
  for (size_t i = view_.requestsSeen; i < requests_.size(); ++i) {
    const int64_t piece = requests_[i].block * kBlockSize / pieces.PieceLength();
    if (piece >= 0 && static_cast<size_t>(piece) < count) view_.asked[static_cast<size_t>(piece)] = true;
  }
  view_.requestsSeen = requests_.size();
}

void TBTPeer::PiecesHeldElsewhere(std::vector<uint8_t>& held) const {
  const TPieces& pieces = *Task()->Pieces();
  const int64_t count = pieces.PieceCount();
  held.assign(static_cast<size_t>(count), 0);
  const auto mark = [&](int64_t first, int64_t last, uint8_t how) {
    for (int64_t piece = std::max<int64_t>(first, 0); piece <= last && piece < count; ++piece) {
      held[static_cast<size_t>(piece)] |= how;
    }
  };
  for (const auto& r : Task()->Ranges()) {
    const TPeerId* owner = r->Owner();
    const bool url = owner && (owner->kind == SOURCE_HTTP || owner->kind == SOURCE_FTP);
    // A range nobody works on waits only for a URL source to come for it.
    if (r->worker == this || (!r->worker && (!url || r->exhausted || r->abandoned))) continue;
    // Pieces before next that are still needed come back to the range's own rescan.
    mark(r->first, r->last, url && !r->abandoned ? kInUrlRange : kWithOtherPeer);
  }
  const int64_t pieceLength = pieces.PieceLength();
  for (const TRef<TPeerObject>& peer : Task()->ActivePeers()) {
    if (!peer || peer.get() == this) continue;
    for (const TBlockRequest& r : peer->Requests()) {
      const int64_t piece = r.block * kBlockSize / pieceLength;
      mark(piece, piece, kWithOtherPeer);
    }
  }
}

int32_t TBTPeer::FromPosition(const PieceFilter& free) const {
  const int32_t position = Task()->CurrentPosition();
  if (position < 0) return -1;
  for (int64_t piece = position; piece < PieceCount(); ++piece) {
    if (free(piece)) return static_cast<int32_t>(piece);
  }
  return -1;
}

int32_t TBTPeer::TailPiece(const PieceFilter& takes) {
  const TPieces& pieces = *Task()->Pieces();
  if (TPieceRange* own = Range(); own && own->abandoned) {
    for (int32_t piece = own->last; piece >= own->first; --piece) {
      if (takes(piece)) return piece;
    }
    ReleaseRange();  // walked through: what is left of it goes back to the task
  }
  if (Range()) return -1;
  std::vector<TPieceRange*> tails;
  for (const auto& r : Task()->Ranges()) {
    const TPeerId* owner = r->Owner();
    if (!r->exhausted && !r->abandoned && owner && (owner->kind == SOURCE_HTTP || owner->kind == SOURCE_FTP)) {
      tails.push_back(r.get());
    }
  }
  if (tails.empty()) return -1;
  const size_t start = platform::TickCountMs() % tails.size();
  const auto urlWorker = [](const TPieceRange& r) { return r.worker && r.worker->IsUrlSource(); };
  // URL sources walk their ranges upwards: taken from the top down, the two meet late.
  for (size_t i = 0; i < tails.size(); ++i) {
    TPieceRange& r = *tails[(start + i) % tails.size()];
    const int32_t low = std::max(r.next, r.first) + (urlWorker(r) ? 1 : 0);
    int32_t top = r.last;
    while (top >= low && !takes(top)) --top;
    if (top < low) continue;
    int32_t bottom = top;
    while (bottom > low && takes(bottom - 1)) --bottom;
    if (int64_t{top - bottom + 1} * pieces.PieceLength() / kBlockSize >= kMinTailRunBlocks) {
      ClaimRun(r, bottom, top);
      return top;
    }
  }
  // Runs too short to claim: single pieces, one more left to the URL source unless this peer
  // fetches far faster.
  for (size_t i = 0; i < tails.size(); ++i) {
    const TPieceRange& r = *tails[(start + i) % tails.size()];
    const bool leaveOne = urlWorker(r) && !(counters.downloadRate > 0 &&
                                            counters.downloadRate >= 3 * r.worker->counters.downloadRate);
    const int32_t low = std::max(r.next, r.first) + (leaveOne ? 1 : 0);
    for (int32_t piece = r.last; piece >= low; --piece) {
      if (takes(piece)) return piece;
    }
  }
  return -1;
}

void TBTPeer::ClaimRun(TPieceRange& from, int32_t first, int32_t last) {
  auto& ranges = Task()->Ranges();
  const TPieces& pieces = *Task()->Pieces();
  // Pieces above the run that this peer may not take stay with the URL source's side.
  for (int32_t piece = last + 1; piece <= from.last; ++piece) {
    if (pieces.IsPieceWanted(piece)) {
      auto rest = std::make_unique<TPieceRange>(from.Owner(), last + 1, from.last);
      ranges.push_back(std::move(rest));
      break;
    }
  }
  from.last = first - 1;
  if (from.last < from.first && !from.worker) {
    std::erase_if(ranges, [&from](const std::unique_ptr<TPieceRange>& r) { return r.get() == &from; });
  }
  // Abandoned: nobody else is given it, and its pieces are unclaimed again once this peer leaves.
  auto run = std::make_unique<TPieceRange>(PeerId(), first, last);
  run->abandoned = true;
  TPieceRange* own = run.get();
  ranges.push_back(std::move(run));
  SetRange(own);
  for (int32_t piece = first; piece <= last && view_.built; ++piece) {
    view_.held[static_cast<size_t>(piece)] &= static_cast<uint8_t>(~kInUrlRange);
  }
}

int32_t TBTPeer::ByFilePriority(const PieceFilter& free) {
  const int32_t start = Task()->RandomStartPiece();
  for (int32_t level = 2; level >= -2; --level) {
    for (const TPieceFile& file : Task()->Pieces()->Files()) {
      if (file.Selection != level || file.PieceCount <= 0) continue;
      int64_t offset = start >= 0 ? start % file.PieceCount : 0;
      // In order: what the remote announced last is what other peers are least likely to have asked for.
      if (start < 0 && lastHaveIndex >= file.FirstPiece && lastHaveIndex < file.FirstPiece + file.PieceCount) {
        offset = lastHaveIndex - file.FirstPiece;
        lastHaveIndex = -1;
      }
      for (int64_t i = 0; i < file.PieceCount; ++i) {
        const int64_t piece = file.FirstPiece + (offset + i) % file.PieceCount;
        if (free(piece)) return static_cast<int32_t>(piece);
      }
    }
  }
  return -1;
}

int32_t TBTPeer::WalkGivenRange(const std::vector<bool>& asked) {
  TPieceRange& own = *Range();
  for (int32_t piece = std::max(own.next, own.first); piece <= own.last; ++piece) {
    if (MayTake(piece, asked)) {
      own.next = piece + 1;
      return piece;
    }
  }
  LeaveExhaustedRange();
  return -1;
}

bool TBTPeer::RemoteHasWanted() const {
  const TPieces& pieces = *Task()->Pieces();
  for (int64_t piece = 0; piece < pieces.PieceCount(); ++piece) {
    if (TestBit(remoteHave, piece) && !TestBit(triedPieces, piece) && pieces.IsPieceWanted(piece)) return true;
  }
  return false;
}

int32_t TBTPeer::FromWantedList(const PieceFilter& free) const {
  for (const int32_t piece : view_.wantedFirst) {
    if (free(piece)) return piece;
  }
  return -1;
}

int32_t TBTPeer::FirstChoice() {
  const std::vector<bool>& asked = view_.asked;
  if (Range() && !Range()->abandoned) {
    const int32_t piece = WalkGivenRange(asked);
    if (piece >= 0) return piece;
  }
  const std::vector<uint8_t>& held = view_.held;
  const auto free = [&](int64_t piece) { return MayTake(piece, asked) && held[static_cast<size_t>(piece)] == 0; };
  const auto notWithPeers = [&](int64_t piece) {
    return MayTake(piece, asked) && (held[static_cast<size_t>(piece)] & kWithOtherPeer) == 0;
  };
  int32_t piece = FromPosition(free);
  if (piece < 0) piece = TailPiece(notWithPeers);
  if (piece < 0) piece = FromWantedList(free);
  if (piece < 0) piece = ByFilePriority(free);
  // Everything this remote could give is with other sources: race a slow or stalled one.
  if (piece < 0 && !Range() && Task()->TakeOverSlowWork(*this) && Range()) {
    view_.built = false;  // work changed hands
    RefreshView();
    piece = WalkGivenRange(view_.asked);
  }
  return piece;
}

int32_t TBTPeer::ChoosePiece() {
  if (Task()->Ranges().empty() && Task()->CreateInitialRanges()) view_.built = false;
  RefreshView();
  int32_t piece = FirstChoice();
  // A piece enough peers want already is passed over.
  while (piece >= 0 && !Task()->WantPiece(piece, *this)) {
    view_.asked[static_cast<size_t>(piece)] = true;
    piece = FirstChoice();
  }
  if (piece >= 0) view_.asked[static_cast<size_t>(piece)] = true;
  if (!view_.inStep) view_.built = false;
  return piece;
}

int32_t TBTPeer::NextPiece() {
  // The queue depth may have cut the last piece short: its remaining blocks come first.
  if (HasUnaskedBlocks(openPiece)) return openPiece;
  const TPieces* pieces = Task()->Pieces();
  if (!Task()->CanSchedule() || !pieces || pieces->PieceLength() <= 0) return -1;
  const int32_t piece = ChoosePiece();
  if (piece >= 0) {
    openPiece = stats.currentPiece = piece;
    return piece;
  }
  // Pieces that other sources hold may come free at any time: only a remote without anything
  // still needed waits for the next have.
  if (!RemoteHasWanted()) {
    if (!nothingToOffer) nothingToOfferSince = Task()->Clock();
    nothingToOffer = true;
  }
  return -1;
}

void TBTPeer::PieceWantedAgain(int64_t piece) {
  if (TestBit(remoteHave, piece) && !TestBit(triedPieces, piece)) nothingToOffer = false;
}

// The rate of the last second lags behind a fast remote side: what it answered since the last
// step counts too, doubled, so that the pipe grows as fast as the remote empties it. Only once a
// piece of it passed its check: a liar answering at once would otherwise hold the whole content.
int64_t TBTPeer::AnsweredBlocks() const { return stats.passedPieces > 0 ? stepBlocks : 0; }

// Before that, one piece at a time: the first is checked after one round trip instead of one for
// every two blocks, and a liar holds no more than that piece.
int64_t TBTPeer::FirstPieceBlocks() const {
  const TPieces* pieces = Task()->Pieces();
  if (stats.passedPieces > 0 || !pieces) return 0;
  return (pieces->PieceLength() + kBlockSize - 1) / kBlockSize;
}

int64_t TBTPeer::WireTarget() const {
  const int64_t wanted = std::max(std::max(counters.downloadRate / kBlockSize, 2 * AnsweredBlocks()) + 2, FirstPieceBlocks());
  return std::clamp<int64_t>(wanted, 6, kMaxRequestsOnWire);
}

int64_t TBTPeer::RequestDepth() const {
  const int64_t wanted =
      std::max({2 * counters.downloadRate / kBlockSize, 2 * AnsweredBlocks() + 2, FirstPieceBlocks()});
  return std::clamp<int64_t>(wanted, 2, kMaxRequestsOnWire);
}

bool TBTPeer::SendRequests() {
  if (!amInterested || peerChoking || linkState != kGreeted) return true;
  const TPieces* pieces = Task()->Pieces();
  if (!pieces || pieces->PieceLength() <= 0) return true;
  const auto onWire = static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(), [](const TBlockRequest& r) { return r.sent; }));
  const auto target = static_cast<size_t>(WireTarget());
  // Topped up once a few answers are in, so that requests leave in batches.
  if (onWire >= std::max<size_t>(target - 3, 5)) return true;
  const bool endGame = Task()->InEndGame();
  std::erase_if(requests_, [&](const TBlockRequest& r) {
    return !r.sent && (r.length <= 0 || r.length > kBlockSize || (endGame && pieces->HasGlobalBlock(r.block)));
  });
  std::string out;
  size_t sent = onWire;
  size_t batch = 0;
  const uint64_t now = Task()->Clock();
  for (TBlockRequest& r : requests_) {
    if (sent >= target) break;
    if (r.sent) continue;
    const int64_t start = r.block * kBlockSize;
    btwire::AppendBlockMessage(out, btwire::kRequest, static_cast<uint32_t>(start / pieces->PieceLength()),
                               static_cast<uint32_t>(start % pieces->PieceLength()), static_cast<uint32_t>(r.length));
    r.sent = true;
    r.sentAt = now;
    ++sent;
    if (++batch == kRequestBatch) {
      if (!SendText(out)) return false;
      out.clear();
      batch = 0;
    }
  }
  return out.empty() || SendText(out);
}

// ---- serving ----

bool TBTPeer::ServeUploads() {
  if (!IsConnected() || linkState != kGreeted || amChoking || uploadRequests_.empty()) return true;
  QSocket& socket = *Socket();
  TPieces* pieces = Task()->Pieces();
  if (!pieces || !Task()->HasMetadata() || socket.SendQueued() > kMaxSendQueued) return true;
  const int64_t rate = RecentSendRate();
  int64_t allowance = kBlockSize;
  if (rate / 65536 > 1) allowance = (rate / 65536) * kBlockSize - kBlockSize;
  if (Task()->IsComplete()) allowance += kBlockSize;
  // The rate of the last second lags behind a fast remote side: when all that the last step
  // served has left, twice as much may go now.
  if (socket.SendQueued() == 0) allowance = std::max(allowance, 2 * lastServed);
  // Blocks go out a batch at a time through one pooled buffer: what the network does not take at
  // once is queued, and the rest of the requests wait for the next step.
  QBufferPool& pool = QSocket::BufferPool();
  uint8_t* const batch = pool.Alloc(kServeBatch);
  if (!batch) return true;
  size_t used = 0;
  int64_t served = 0;
  bool ok = true;
  while (ok && !uploadRequests_.empty() && served < allowance) {
    const TBlockRequest r = uploadRequests_.front();
    if (used + btwire::kPieceHeaderSize + static_cast<size_t>(r.length) > static_cast<size_t>(kServeBatch)) {
      ok = socket.Send(batch, static_cast<int64_t>(used)) >= 0;
      used = 0;
      if (!ok || socket.SendQueued() > 0) break;
    }
    uploadRequests_.erase(uploadRequests_.begin());
    const int64_t start = r.block * kBlockSize;
    const auto index = static_cast<uint32_t>(start / pieces->PieceLength());
    uint8_t* const at = batch + used;
    // The block is read straight behind its message header.
    const size_t header = btwire::WritePieceHeader(at, index, static_cast<uint32_t>(start % pieces->PieceLength()),
                                                   static_cast<uint32_t>(r.length));
    if (pieces->ReadBlock(r.block, r.length, at + header, 0, false) != r.length) {
      // The reject notice: a piece message no request of any client matches.
      btwire::WritePieceHeader(at, 0, 2, 5);
      at[header] = 0x35;
      btwire::WriteU32(at + header + 1, index);
      used += header + 5;
      std::erase_if(uploadRequests_, [&](const TBlockRequest& u) { return u.block * kBlockSize / pieces->PieceLength() == index; });
      continue;
    }
    used += header + static_cast<size_t>(r.length);
    served += r.length;
    Task()->AddUploaded(r.length);
  }
  if (ok && used > 0) ok = socket.Send(batch, static_cast<int64_t>(used)) >= 0;
  pool.Free(batch);
  lastServed = served;
  return ok;
}

bool TBTPeer::FlushOutput() {
  QSocket* socket = Socket();
  // The rate of the last window lags behind a connection that just started to move much.
  const int64_t rate = RecentSendRate();
  const bool slow = rate < kSlowUpload;
  // A slow upload is flushed every other step: fewer, fuller segments.
  if (slow && socket && socket->SendQueued() > 1024) {
    flushToggle = !flushToggle;
    if (flushToggle) return true;
  }
  if (!socket || !socket->IsConnected() || socket->SendQueued() == 0) return true;
  const int64_t half = Task()->UploadBudget() / 2;
  if (half <= 0) return true;
  if (socket->SendQueued() > 256 && !socket->WaitWritable(0)) return true;
  const bool fast = rate > kFastRate;
  // A fast upload is held back by the budget alone: a chunk a step would cap it at a few MB/s.
  int64_t chunk = fast ? half : slow && ConnectedPeers() < 12 ? kBlockSize / 2 : kBlockSize;
  chunk = std::clamp<int64_t>(half - 512, 0, chunk);
  socket->SetKeepBuffers(fast);
  return socket->Flush(chunk + 1024) >= 0;
}

int32_t TBTPeer::ConnectedPeers() const {
  const std::vector<TRef<TPeerObject>>& peers = Task()->ActivePeers();
  return static_cast<int32_t>(std::count_if(peers.begin(), peers.end(), [](const TRef<TPeerObject>& p) {
    return p && p->IsConnected();
  }));
}

// ---- upkeep ----

void TBTPeer::Maintain() {
  const TPieces* pieces = Task() ? Task()->Pieces() : nullptr;
  if (!pieces || pieces->PieceLength() <= 0 || linkState != kGreeted) return;
  const uint64_t now = Task()->Clock();
  const int64_t position = std::max(Task()->CurrentPosition(), 0);
  const int64_t window = kNearWindow / pieces->PieceLength();
  std::string out;
  std::vector<TBlockRequest>& shared = Task()->EndGameList();
  std::erase_if(requests_, [&](TBlockRequest& r) {
    const int64_t start = r.block * kBlockSize;
    const auto index = static_cast<uint32_t>(start / pieces->PieceLength());
    if (pieces->HasGlobalBlock(r.block)) {
      if (r.sent) {
        RememberCancel(r);
        btwire::AppendBlockMessage(out, btwire::kCancel, index, static_cast<uint32_t>(start % pieces->PieceLength()),
                                   static_cast<uint32_t>(r.length));
      }
      return true;
    }
    if (index >= position && index <= position + window && r.sent && now > r.sentAt + kEndGameAge) {
      if (std::none_of(shared.begin(), shared.end(), [&](const TBlockRequest& s) { return s.block == r.block; })) {
        shared.push_back({r.block, r.length, 0, false});
      }
      r.sentAt = now;
    }
    return false;
  });
  if (!out.empty()) SendText(out);
}

void TBTPeer::Choke() {
  amChoking = true;
  workState = 2;
  std::string out;
  btwire::AppendHeader(out, btwire::kChoke, 0);
  if (IsConnected()) SendText(out);
  uploadRequests_.clear();
}

void TBTPeer::Unchoke() {
  amChoking = false;
  workState = peerChoking ? 2 : 1;
  std::string out;
  btwire::AppendHeader(out, btwire::kUnchoke, 0);
  if (IsConnected()) SendText(out);
}

bool TBTPeer::IsSeed() {
  const int64_t count = PieceCount();
  if (count <= 0 || haveCount < count) return false;
  if (seedSince == 0) seedSince = Task()->Clock();
  return true;
}

bool TBTPeer::ShouldDisconnect() { return IsSeed() && Task()->Clock() > seedSince + kSeedLinger; }

bool TBTPeer::IsStale() { return nothingToOffer && Task()->Clock() > nothingToOfferSince + kStaleSeconds; }

bool TBTPeer::IsUseless() {
  if (!Task()->PeerConnectionsEnabled()) return true;
  const uint64_t now = Task()->Clock();
  if (!IsConnected() || now <= stats.startTime + kUselessAfter) return false;
  if (Task()->IsComplete()) return counters.uploadRate == 0 && AverageSendRate(now) <= kUselessRate;
  return counters.downloadRate == 0 && AverageReceiveRate(now) <= kUselessRate;
}

int64_t TBTPeer::RemoteRate() {
  const TPieces* pieces = Task() ? Task()->Pieces() : nullptr;
  const int64_t gained = haveCount - haveCountAtBitfield;
  if (!pieces || gained <= 4 || !Socket()) return 0;
  const uint64_t now = Task()->Clock();
  const uint64_t since = Socket()->ConnectedAt();
  const auto seconds = static_cast<int64_t>(std::max<uint64_t>(now > since ? now - since : 1, 1));
  return gained * (pieces->PieceLength() / 1024) / seconds;
}

// A spare peer is reused for another remote side: nothing of the last one may carry over.
void TBTPeer::Reset() {
  if (Task()) Task()->ReleaseWanted(*this);
  TPeerObject::Reset();
  TBTWireState::operator=(TBTWireState{});
}

}  // namespace bw
