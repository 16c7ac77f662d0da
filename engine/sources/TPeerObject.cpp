#include "engine/sources/TPeerObject.h"

#include <algorithm>
#include <utility>

#include "engine/net/QSocket.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPeerUpkeep.h"
#include "engine/sources/TPieceRange.h"
#include "engine/sources/TPieceSender.h"
#include "engine/storage/TPieces.h"

namespace bw {

namespace {

// The task's position has to move this far before a URL source follows it.
constexpr int32_t kPositionJump = 6;
constexpr int kPlanAttempts = 3;

// Bytes per second since a connect completed at `at` (0: never), over at least one second.
int64_t PerSecond(uint64_t bytes, uint64_t at, uint64_t now) {
  if (at == 0) return 0;
  return static_cast<int64_t>(bytes / std::max<uint64_t>(now > at ? now - at : 0, 1));
}

bool Matches(const TBlockRequest& r, int64_t block, int32_t length) {
  return r.block == block && r.length == length;
}

}  // namespace

TPeerObject::TPeerObject(uint32_t peerType, IPeerTask* task) : peerType(peerType), task_(task) {}

// The range and the task may already be gone here; the pool resets a peer before letting go.
TPeerObject::~TPeerObject() { ReleaseIdentity(); }

bool TPeerObject::FlushOutput() { return true; }
bool TPeerObject::ServeUploads() { return true; }
bool TPeerObject::SendRequests() { return true; }
int64_t TPeerObject::RequestDepth() const { return 2 + 2 * counters.downloadRate / kBlockSize; }
bool TPeerObject::OnAttached() { return true; }
bool TPeerObject::CheckIncoming(QSocket&) { return true; }
bool TPeerObject::IsUseless() { return false; }
bool TPeerObject::IsTimedOut() { return false; }
int64_t TPeerObject::RemoteRate() { return 0; }
bool TPeerObject::IsStale() { return false; }
bool TPeerObject::ShouldDisconnect() { return false; }
void TPeerObject::Maintain() {}
bool TPeerObject::IsSeed() { return true; }

bool TPeerObject::IsConnected() { return linkState != kNoLink && socket_ != nullptr; }

bool TPeerObject::IsConnecting() const { return socket_ && socket_->IsOpen() && !socket_->IsConnected(); }

bool TPeerObject::GreetingComplete() const { return socket_ && linkState == kGreeted; }

// ---- connection bookkeeping ----

bool TPeerObject::ConnectTo(TPeerId* peerId) {
  if (!peerId || peerId == peerId_ || peerId->port < 1 || peerId->port > 65535 ||
      peerId->ip == 0 || peerId->ip == 0xFFFFFFFFu) {
    return false;
  }
  HoldIdentity(peerId);
  if (socket_) {
    socket_->Close();
  } else {
    socket_ = std::make_unique<QSocket>();
  }
  stats.incoming = false;
  stats.startTime = task_ ? task_->Clock() : 0;
  linkState = kLinked;
  return true;
}

bool TPeerObject::AttachSocket(std::unique_ptr<QSocket> socket) {
  Reset();
  socket_ = std::move(socket);
  stats.incoming = true;
  linkState = socket_ ? kLinked : kNoLink;
  stats.startTime = task_ ? task_->Clock() : 0;
  return IsConnected();
}

void TPeerObject::Reset() {
  ReturnRequests();
  uploadRequests_.clear();
  if (socket_) socket_->Close();
  ReleaseRange();
  linkState = kNoLink;
  workState = kIdle;
  stats = Stats{};
  counters = Counters{};
  ReleaseIdentity();
}

void TPeerObject::HoldIdentity(TPeerId* peerId) {
  TRef<TPeerId> taken = TRef<TPeerId>::Share(peerId);
  ReleaseIdentity();
  peerId_ = std::move(taken);
  // Counted while held, so that letting go (a failed dial included) gives back this count only.
  ++peerId_->activeConnections;
}

void TPeerObject::ReleaseIdentity() {
  if (!peerId_) return;
  if (peerId_->activeConnections > 0) --peerId_->activeConnections;
  if (sender_) sender_->Detach();
  sender_.reset();
  peerId_.reset();
}

void TPeerObject::ReturnRequests() {
  if (task_ && !requests_.empty()) task_->ReturnRequests(requests_);
  requests_.clear();
}

// ---- steps ----

void TPeerObject::CountStep(const QSocket* socket, uint64_t sentBefore, uint64_t receivedBefore) {
  if (!socket) return;
  // A socket closed during the step starts its totals again: never count backwards.
  const uint64_t sent = socket->BytesSent();
  const uint64_t received = socket->BytesReceived();
  const int64_t stepSent = sent > sentBefore ? static_cast<int64_t>(sent - sentBefore) : 0;
  const int64_t stepReceived =
      received > receivedBefore ? static_cast<int64_t>(received - receivedBefore) : 0;
  counters.stepSent += stepSent;
  counters.stepReceived += stepReceived;
  counters.windowSent += stepSent;
  if (stepSent > 0 || stepReceived > 0) stats.idle = 0;
}

bool TPeerObject::HasUnreadInput() const {
  const QSocket* counted = CountedSocket();
  return counted && counted->ReceivedSize() > 0;
}

bool TPeerObject::DownloadStep() {
  if (!IsConnected()) return false;
  if (IsBitTorrent() && task_ && !task_->PeerConnectionsEnabled()) return true;
  const QSocket* counted = CountedSocket();
  const uint64_t sent = counted ? counted->BytesSent() : 0;
  const uint64_t received = counted ? counted->BytesReceived() : 0;
  counters.stepSent = counters.stepReceived = 0;
  if (!ReadInput() || !PlanRequests() || !SendRequests() || !FlushOutput() || !IsConnected()) {
    return false;
  }
  CountStep(counted, sent, received);
  stats.hasData = HasUnreadInput();
  if (stats.hasData && task_) task_->RequestCycleSoon();
  return true;
}

bool TPeerObject::UploadStep() {
  if (!IsBitTorrent()) return true;
  if (!IsConnected()) return false;
  const uint64_t sent = socket_ ? socket_->BytesSent() : 0;
  const uint64_t received = socket_ ? socket_->BytesReceived() : 0;
  const bool ok = ServeUploads();
  CountStep(socket_.get(), sent, received);
  return ok;
}

bool TPeerObject::SilentFor(int64_t limitSeconds) const {
  if (!task_) return false;
  static constexpr int64_t kSlowRate = 2048;
  if (counters.downloadRate > 0 && counters.downloadRate < kSlowRate) limitSeconds *= 2;
  const uint64_t since = std::max(stats.lastDataTime, stats.startTime);
  const uint64_t now = task_->Clock();
  return now > since && static_cast<int64_t>(now - since) > limitSeconds;
}

bool TPeerObject::IsDroppable(bool keepSeeds) {
  if (!IsConnected() || IsUseless() || (!keepSeeds && IsStale())) return true;
  return task_ && task_->IsComplete() && IsSeed();
}

int64_t TPeerObject::RecentRate() const {
  return std::max(counters.downloadRate, counters.windowDelivered / static_cast<int64_t>(TPeerUpkeep::kPeriod));
}

int64_t TPeerObject::RecentSendRate() const {
  return std::max(counters.uploadRate, counters.windowSent / static_cast<int64_t>(TPeerUpkeep::kPeriod));
}

int64_t TPeerObject::MaxReadSize() const {
  // Many connections to mirrors that hold each to a rate fill the task only together: each then
  // moves little per step, and full-size buffers on all of them would only hold memory.
  const auto connections = static_cast<int64_t>(task_ ? std::max<size_t>(task_->ActivePeers().size(), 1) : 1);
  return std::clamp(kTaskReceiveMemory / connections, QSocket::kDefaultReadSize, kMaxReadSize);
}

int64_t TPeerObject::AverageSendRate(uint64_t now) const {
  return socket_ ? PerSecond(socket_->BytesSent(), socket_->ConnectedAt(), now) : 0;
}

int64_t TPeerObject::AverageReceiveRate(uint64_t now) const {
  return socket_ ? PerSecond(socket_->BytesReceived(), socket_->ConnectedAt(), now) : 0;
}

// ---- pieces judged ----

void TPeerObject::NotePieceFailed() {
  ++stats.failures;
  stats.failedSinceDelivery = true;
}

void TPeerObject::NotePiecePassed() {
  stats.failures = 0;
  ++stats.passedPieces;
}

// ---- requests ----

bool TPeerObject::HasRequest(int64_t block) const {
  return std::any_of(requests_.begin(), requests_.end(),
                     [block](const TBlockRequest& r) { return r.block == block; });
}

bool TPeerObject::HasRequestInPiece(int64_t piece) const {
  const TPieces* pieces = task_ ? task_->Pieces() : nullptr;
  if (!pieces || pieces->PieceLength() <= 0) return false;
  const int64_t first = piece * pieces->PieceLength() / kBlockSize;
  const int64_t end = first + pieces->PieceLength() / kBlockSize;
  return std::any_of(requests_.begin(), requests_.end(),
                     [&](const TBlockRequest& r) { return r.block >= first && r.block < end; });
}

int64_t TPeerObject::GlobalBlock(const TPieces& pieces, int64_t piece, int64_t offset) {
  if (!pieces.IsPieceValid(piece) || piece >= pieces.PieceCount() || offset < 0 ||
      offset % kBlockSize != 0 || offset >= pieces.Piece(piece).Size ||
      pieces.PieceLength() % kBlockSize != 0) {
    return -1;
  }
  return piece * pieces.PieceLength() / kBlockSize + offset / kBlockSize;
}

bool TPeerObject::PlanRequests() {
  TPieces* pieces = task_ ? task_->Pieces() : nullptr;
  if (!pieces) return true;
  const int64_t depth = RequestDepth();
  if (static_cast<int64_t>(requests_.size()) > depth) return true;

  int32_t piece = -1;
  for (int attempt = 0; attempt < kPlanAttempts && piece < 0; ++attempt) {
    const int32_t found = NextPiece();
    if (found >= 0 && pieces->IsPieceValid(found)) piece = found;
  }
  const int32_t position = task_->CurrentPosition();
  if (IsUrlSource() && piece > 0 && position > 0 &&
      std::abs(position - lastPosition) > kPositionJump && MoveToPosition(position)) {
    piece = WalkRange();
  }
  lastPosition = position;
  if (piece < 0) {
    if (IsBitTorrent() && task_->InEndGame()) task_->TakeEndGameBlocks(*this, requests_);
    return true;
  }

  const int64_t size = pieces->Piece(piece).Size;
  int64_t offset = 0;
  while (offset < size && pieces->HasBlock(piece, offset, std::min<int64_t>(kBlockSize, size - offset))) {
    offset += kBlockSize;
  }
  for (; offset < size; offset += kBlockSize) {
    const int32_t length = static_cast<int32_t>(std::min<int64_t>(kBlockSize, size - offset));
    const int64_t block = GlobalBlock(*pieces, piece, offset);
    if (block < 0 || HasRequest(block) || pieces->HasBlock(piece, offset, length)) continue;
    if (IsUrlSource() || static_cast<int64_t>(requests_.size()) < depth) {
      QueueRequest(block, length);
    } else if (task_->InEndGame()) {
      std::vector<TBlockRequest>& shared = task_->EndGameList();
      const bool listed = std::any_of(shared.begin(), shared.end(),
                                      [block](const TBlockRequest& r) { return r.block == block; });
      if (!listed) shared.push_back({block, length, 0, false});
    }
  }
  return true;
}

// ---- the range walk ----

bool TPeerObject::IsNeeded(int64_t piece) const {
  const TPieces* pieces = task_ ? task_->Pieces() : nullptr;
  return pieces && pieces->IsPieceWanted(piece);
}

void TPeerObject::SetRange(TPieceRange* range) {
  range_ = range;
  if (!range) return;
  range->worker = this;
  range->assignedAt = task_ ? task_->Clock() : 0;
  ++stats.rangesTaken;
}

// The first piece from the range's next one that is needed and not already asked for here.
int32_t TPeerObject::WalkRange() {
  if (!range_) return -1;
  const int32_t from = range_->Contains(stats.currentPiece) && stats.currentPiece + 1 > range_->next
                           ? stats.currentPiece + 1
                           : std::max(range_->next, range_->first);
  for (int32_t piece = from; piece <= range_->last; ++piece) {
    if (IsNeeded(piece) && !HasRequestInPiece(piece)) {
      stats.currentPiece = piece;
      range_->next = piece + 1;
      return piece;
    }
  }
  return -1;
}

void TPeerObject::RemoveRange(TPieceRange* range) {
  if (range_ == range) range_ = nullptr;
  if (!task_) return;
  auto& ranges = task_->Ranges();
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [range](const std::unique_ptr<TPieceRange>& r) { return r.get() == range; }),
               ranges.end());
}

// A walked-through range that still has needed pieces stays for a second pass by any source.
void TPeerObject::LeaveExhaustedRange() {
  TPieceRange* range = range_;
  range->exhausted = true;
  for (int32_t piece = range->first; piece <= range->last; ++piece) {
    if (IsNeeded(piece)) {
      range->rescan = true;
      range->worker = nullptr;
      range_ = nullptr;
      return;
    }
  }
  RemoveRange(range);
}

void TPeerObject::AddRange(int32_t first, int32_t last) {
  auto range = std::make_unique<TPieceRange>(peerId_.get(), first, last);
  TPieceRange* added = range.get();
  task_->Ranges().push_back(std::move(range));
  SetRange(added);
}

bool TPeerObject::ClaimRange() {
  if (task_->AssignRange(*this)) return range_ != nullptr;
  const auto& ranges = task_->Ranges();
  for (const auto& r : ranges) {
    if (!r->worker && !r->exhausted && !r->abandoned) return false;  // its source will come for it
  }
  const auto claimed = [&ranges](int64_t piece) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [piece](const std::unique_ptr<TPieceRange>& r) { return r->Contains(piece); });
  };
  const int64_t count = task_->Pieces()->PieceCount();
  for (int64_t first = 0; first < count; ++first) {
    if (!IsNeeded(first) || claimed(first)) continue;
    int64_t last = first;
    while (last + 1 < count && IsNeeded(last + 1) && !claimed(last + 1)) ++last;
    AddRange(static_cast<int32_t>(first), static_cast<int32_t>(last));
    return true;
  }
  return task_->TakeOverSlowWork(*this) && range_;
}

bool TPeerObject::MoveToPosition(int32_t position) {
  auto& ranges = task_->Ranges();
  const auto holds = [position](const std::unique_ptr<TPieceRange>& r) {
    return r->Contains(position) && !r->abandoned;
  };
  if (!IsNeeded(position) && std::none_of(ranges.begin(), ranges.end(), holds)) return false;
  ReleaseRange();
  TPieceRange* holder = nullptr;
  for (const auto& r : ranges) {
    if (holds(r)) holder = r.get();
  }
  int32_t last = position;
  if (holder) {
    last = holder->last;
    holder->last = position - 1;
    if (holder->first > holder->last && !holder->worker) RemoveRange(holder);
  } else {
    const int64_t count = task_->Pieces()->PieceCount();
    while (last + 1 < count && IsNeeded(last + 1)) ++last;
  }
  AddRange(position, last);
  stats.currentPiece = -1;
  return true;
}

int32_t TPeerObject::NextPiece() {
  if (!task_ || !task_->Pieces() || !task_->CanSchedule()) return -1;
  if (task_->Ranges().empty()) task_->CreateInitialRanges();
  if (range_) {
    const int32_t piece = WalkRange();
    if (piece >= 0) return piece;
    LeaveExhaustedRange();
  }
  for (int attempt = 0; attempt < kPlanAttempts; ++attempt) {
    if (!range_ && !ClaimRange()) return -1;
    if (range_->rescan) {
      range_->rescan = false;
      range_->exhausted = false;
      range_->next = range_->first;
    }
    // A piece given back just before next (its requests were returned) is taken up again.
    if (range_->next > range_->first && range_->next - 1 <= range_->last &&
        IsNeeded(range_->next - 1) && !HasRequestInPiece(range_->next - 1)) {
      --range_->next;
    }
    stats.currentPiece = -1;
    const int32_t piece = WalkRange();
    if (piece >= 0) return piece;
    RemoveRange(range_);
  }
  return -1;
}

void TPeerObject::CancelPiece(int64_t piece) {
  const TPieces* pieces = task_ ? task_->Pieces() : nullptr;
  if (!pieces || pieces->PieceLength() <= 0) return;
  const int64_t pieceLength = pieces->PieceLength();
  std::erase_if(requests_,
                [&](const TBlockRequest& r) { return !r.sent && r.block * kBlockSize / pieceLength == piece; });
}

void TPeerObject::ReleaseRange() {
  TPieceRange* range = range_;
  if (!range) return;
  range_ = nullptr;
  if (range->abandoned) {
    // Its unwalked pieces now belong to the range that split it off; the walked ones are
    // unclaimed again once it is gone.
    RemoveRange(range);
    return;
  }
  ReturnRequests();
  if (range->worker == this) range->worker = nullptr;
}

// ---- received blocks ----

bool TPeerObject::RemoveRequest(int64_t block, int32_t length) {
  const bool sentOnly = IsBitTorrent();
  auto own = std::find_if(requests_.begin(), requests_.end(), [&](const TBlockRequest& r) {
    return Matches(r, block, length) && (!sentOnly || r.sent);
  });
  if (own != requests_.end()) {
    requests_.erase(own);
    return true;
  }
  std::vector<TBlockRequest>& shared = task_->EndGameList();
  auto listed = std::find_if(shared.begin(), shared.end(),
                             [&](const TBlockRequest& r) { return Matches(r, block, length); });
  if (listed == shared.end()) return false;
  shared.erase(listed);
  return true;
}

void TPeerObject::DropEndGamePiece(int64_t piece) {
  const int64_t perPiece = task_->Pieces()->PieceLength() / kBlockSize;
  std::vector<TBlockRequest>& shared = task_->EndGameList();
  shared.erase(std::remove_if(shared.begin(), shared.end(),
                              [&](const TBlockRequest& r) { return r.block / perPiece == piece; }),
               shared.end());
}

bool TPeerObject::DeliverPieceBlock(int64_t piece, int64_t offset, int32_t length,
                                    const uint8_t* data) {
  const TPieces* pieces = task_ ? task_->Pieces() : nullptr;
  if (!pieces) return false;
  const int64_t block = GlobalBlock(*pieces, piece, offset);
  return block >= 0 && DeliverBlock(block, length, data);
}

bool TPeerObject::DeliverBlock(int64_t block, int32_t length, const uint8_t* data) {
  if (block < 0 || length <= 0 || !data || !task_ || !IsConnected()) return false;
  if (task_->IsComplete()) return true;
  TPieces* pieces = task_->Pieces();
  // Bounded before the multiplication so that no index can overflow it.
  if (!pieces || pieces->PieceLength() <= 0 || block > pieces->TotalLength() / kBlockSize) {
    return false;
  }
  const int64_t piece = block * kBlockSize / pieces->PieceLength();
  if (std::exchange(stats.failedSinceDelivery, false)) return false;
  // Only what was asked for is taken: a remote side cannot place data of its own choosing.
  if (piece >= pieces->PieceCount() || !RemoveRequest(block, length)) return false;
  task_->AddDownloaded(length);
  stats.lastDataTime = task_->Clock();
  if (range_) ++range_->blockCounter;
  if (workState == kAwaitingData) workState = kActive;
  bool accepted = false;
  // A piece that fails its check is charged through the sender, to this peer while connected.
  if (!sender_ && peerId_) sender_ = MakeRef<TPieceSender>(*peerId_, Kind(), task_, *this);
  const int32_t failures = stats.failures;
  const int64_t taken = pieces->ReceiveBlock(block, length, data, sender_.get(), &accepted);
  if (taken != length) {
    // A piece it had a share in failed: counted on the connection even when the source was not
    // charged for it (others sent part of it).
    if (taken == TPieces::kFailedCheck && stats.failures == failures) NotePieceFailed();
    stats.failedSinceDelivery = false;
    return false;
  }
  task_->AddKindBytes(Kind(), length);
  counters.deliveredRest += length;
  counters.deliveredKiB += counters.deliveredRest / 1024;
  counters.deliveredRest %= 1024;
  counters.windowDelivered += length;
  if (pieces->IsPieceComplete(piece) || pieces->Piece(piece).Verified || pieces->Piece(piece).Hashing) {
    if (task_->InEndGame()) DropEndGamePiece(piece);
    // Only the block that completed it: a late copy of a block finds the piece done already.
    if (accepted) task_->PieceVerified(piece, *this);
  }
  return true;
}

}  // namespace bw
