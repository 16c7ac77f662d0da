#include "engine/sources/THttpPeer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "engine/frame/EngineLog.h"
#include "engine/net/QProxyInfo.h"
#include "engine/net/QSocket.h"
#include "engine/sources/SourceAddress.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TPieceRange.h"
#include "engine/sources/TUrlInfo.h"
#include "engine/storage/TPieces.h"

namespace bw {

namespace {

constexpr int32_t kTimeoutBackOff = 15;
constexpr int32_t kServerErrorBackOff = 60;
// A server's own Retry-After is taken between these.
constexpr int64_t kMinRetryAfter = 1;
constexpr int64_t kMaxRetryAfter = 3600;
constexpr int32_t kTooManyRequests = 429;
// A source whose answers start elsewhere than asked is retired at its second such answer.
constexpr int32_t kRangeMismatchLimit = 2;
constexpr int64_t kHeaderTimeout = 15;
constexpr int64_t kBodyTimeout = 30;
constexpr int32_t kKnownPriority = 28;
constexpr int32_t kUntriedPriority = 29;
constexpr int kRedirectRepeatLimit = 2;
// What a source without any length is taken to hold in whole-body mode.
constexpr int64_t kUnknownBodySize = 2147483647;
constexpr int kTlsLogChannel = 23;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TUrlInfo& THttpPeer::Url() const { return PeerId()->UrlInfo(); }

std::string THttpPeer::BuildRequest(const std::string& host, const std::string& path, int64_t start,
                                    const std::string& referer, const std::string& cookie,
                                    int64_t end) {
  std::string text = "GET " + path + " HTTP/1.1\r\n";
  text += "Host:" + host + "\r\n";
  text += "Accept:*/*\r\n";
  text += "Referer: " + referer + "\r\n";
  text += "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Brightwillow/1.0.3\r\n";
  text += "Connection:Keep-Alive\r\n";
  if (!cookie.empty()) text += "Set Cookie:0" + cookie + "\r\n";
  if (start > 0 || end > 0) {
    text += "Range: bytes=" + std::to_string(start) + "-";
    if (end > start) text += std::to_string(end);
    text += "\r\n";
  }
  text += "Pragma: no-cache\r\n";
  text += "Cache-Control: no-cache\r\n";
  text += "\r\n";
  return text;
}

// ---- connecting ----

bool THttpPeer::ConnectTo(TPeerId* peerId) {
  if (!TPeerObject::ConnectTo(peerId)) return false;
  TUrlInfo& url = Url();
  url.downloadComplete = false;
  url.body.clear();
  headerReceived = false;
  skipBytes = 0;
  runLength_ = 0;
  if (url.wholeBody && url.sourceClass == 1 && Task()) Task()->SetTaskState(2);
  return Dial();
}

bool THttpPeer::Dial() {
  TPeerId& id = *PeerId();
  TUrlInfo& url = Url();
  streamPos = 0;
  if (!url.wholeBody) {
    // A task that knows its content asks even a fresh source for its own part at once.
    const bool sizeKnown = url.fileSize > 0 || (Task() && Task()->CanSchedule());
    if (requests_.empty() && sizeKnown) {
      TPeerObject::PlanRequests();
      if (requests_.empty()) {
        workState = kFinished;  // nothing to ask for: no fault of the source
        return false;
      }
    }
    // A server that ignores ranges sends the file from its start whatever is asked.
    if (!requests_.empty() && !url.rangesIgnored) streamPos = requests_.front().block * kBlockSize;
  }
  QSocket& socket = *Socket();
  const QProxyInfo direct;
  if (!socket.Connect(id.ip, id.port, false, &direct)) return false;
  if (url.tls && !socket.StartTls(url.hostHeader.empty() ? url.host : url.hostHeader)) return false;
  linkState = kLinked;
  stats.incoming = false;
  stats.lastDataTime = 0;

  const std::string& address = id.addressText;
  const size_t slash = address.rfind('/');
  url.referer = slash == std::string::npos ? address : address.substr(0, slash);
  const size_t hostAt = address.find("://");
  const size_t pathAt = address.find('/', hostAt == std::string::npos ? 0 : hostAt + 3);
  const std::string path = pathAt == std::string::npos ? "/" : address.substr(pathAt);

  requestedFrom_ = streamPos;
  requestedEnd_ = RequestEnd();
  const std::string request = BuildRequest(url.hostHeader.empty() ? url.host : url.hostHeader, path, streamPos,
                                           url.referer.empty() ? address : url.referer,
                                           {}, requestedEnd_ > 0 ? requestedEnd_ - 1 : 0);
  if (socket.Send(request.data(), static_cast<int64_t>(request.size())) >= 0) return true;
  // On a near server the whole handshake may run within this first send.
  if (socket.TlsCertificateRefused()) RefuseCertificate();
  return false;
}

int64_t THttpPeer::RequestEnd() const {
  // The request ends where the work does: an open-ended one would make the server push the rest
  // of the file into the connection, all of it lost when the range is done. Pieces already held
  // end it too, unless they are few enough to read over (a repair wants one piece of a file whose
  // others are sound).
  const TPieceRange* range = Range();
  const TPieces* pieces = Task() ? Task()->Pieces() : nullptr;
  const int64_t pieceLength = pieces ? pieces->PieceLength() : 0;
  if (!range || pieceLength <= 0 || Url().rangesIgnored || requests_.empty()) return 0;
  int64_t last = streamPos / pieceLength;
  int64_t held = 0;
  for (int64_t piece = last + 1; piece <= range->last && held <= kMaxSkip; ++piece) {
    if (pieces->IsPieceWanted(piece)) {
      last = piece;
      held = 0;
    } else {
      held += pieceLength;
    }
  }
  const int64_t end = std::min<int64_t>((last + 1) * pieceLength, pieces->TotalLength());
  return end > streamPos ? end : 0;
}

bool THttpPeer::ResponseCovers(int64_t offset) const { return requestedEnd_ <= 0 || offset < requestedEnd_; }

bool THttpPeer::Redial() {
  skipBytes = 0;
  runLength_ = 0;
  headerReceived = false;
  ++Url().reconnects;
  stats.startTime = Task() ? Task()->Clock() : 0;
  Socket()->Close();
  return Dial();
}

// ---- reading ----

void THttpPeer::NoteReceived(uint64_t before) {
  if (Socket()->BytesReceived() != before && Task()) stats.lastDataTime = Task()->Clock();
}

bool THttpPeer::ReadInput() {
  if (!IsConnected()) return false;
  if (IsTimedOut()) {
    if (Task()) Task()->PenalizeSource(*PeerId(), kTimeoutBackOff);
    return false;
  }
  if (!headerReceived) return ReadHeader();
  if (Task() && Task()->DownloadBudget() <= 0) return true;
  return Url().wholeBody ? ReadWholeBody() : ReadBlocks();
}

bool THttpPeer::ReadHeader() {
  QSocket& socket = *Socket();
  const uint64_t before = socket.BytesReceived();
  if (socket.Receive() < 0) {
    if (socket.TlsCertificateRefused()) RefuseCertificate();
    return false;
  }
  NoteReceived(before);
  const int64_t length = header.Parse(reinterpret_cast<const char*>(socket.ReceivedData()),
                                      socket.ReceivedSize());
  if (length == THeaderBlock::kMalformed) {
    socket.Close();
    return false;
  }
  if (length == THeaderBlock::kIncomplete) return true;
  socket.ConsumeReceived(length);
  headerReceived = true;
  linkState = kGreeted;
  const int32_t status = header.status;
  if (status >= 200 && status < 300) {
    // A body streamed at full speed needs room between two steps; left to itself the buffer
    // may stay small and cap the rate at what it holds per step.
    if (!Url().wholeBody) socket.SetReceiveBufferSize(QSocket::kMaxReceiveBufferOption);
    return TakeSuccess();
  }
  if (status >= 300 && status < 400) return FollowRedirect();
  // Busy, not gone: the server says when to come back, or the source waits a minute.
  if ((status >= 500 && status < 600) || status == kTooManyRequests) {
    socket.Close();
    const int64_t retryAfter = header.RetryAfter();
    const int64_t backOff =
        retryAfter < 0 ? kServerErrorBackOff : std::clamp(retryAfter, kMinRetryAfter, kMaxRetryAfter);
    if (Task()) Task()->PenalizeSource(*PeerId(), static_cast<int32_t>(backOff));
    return false;
  }
  if (status >= 400 && status < 500) {
    socket.Close();
    workState = kFinished;
    if (Task()) Task()->RemoveSource(*PeerId());
    return false;
  }
  return false;
}

void THttpPeer::RefuseCertificate() {
  // Asking again meets the same certificate: the source goes, and the user learns why.
  LogPrintf(kTlsLogChannel, kTlsLogChannel, "%s: %s", PeerId()->addressText.c_str(),
            Socket()->TlsFailureText().c_str());
  workState = kFinished;
  IPeerTask* task = Task();
  if (!task) return;
  task->SetErrorCode(kCertificateRefused);
  task->RemoveSource(*PeerId());
}

bool THttpPeer::TakeSuccess() {
  TPeerId& id = *PeerId();
  TUrlInfo& url = Url();
  // A chunked body carries framing between the file's bytes: it is no byte range of the file.
  if (header.EncodedBody()) {
    Socket()->Close();
    if (Task()) Task()->PenalizeSource(id, kServerErrorBackOff);
    return false;
  }
  if (id.priority == kUntriedPriority) id.priority = kKnownPriority;
  url.redirected = false;
  // Only a 206 starts where it says; any other answer carries the file from its first byte.
  const int64_t rangeStart = header.RangeStart();
  if (header.status == 206 && rangeStart >= 0 && rangeStart != requestedFrom_ && !url.wholeBody) {
    // Asked again, it would answer the same: a failure of the source, not a reason to redial.
    Socket()->Close();
    if (Task() && ++url.rangeMismatches >= kRangeMismatchLimit) {
      Task()->RemoveSource(id);
    } else if (Task()) {
      Task()->PenalizeSource(id, kServerErrorBackOff);
    }
    return false;
  }
  if (header.status == 206 && rangeStart >= 0) {
    streamPos = rangeStart;
    // The server may send less than was asked: the answer ends where it says.
    const int64_t rangeEnd = header.RangeEnd();
    if (rangeEnd >= rangeStart) requestedEnd_ = rangeEnd + 1;
  } else if (header.status != 206) {
    if (requestedFrom_ > 0) url.rangesIgnored = true;
    streamPos = 0;
    requestedEnd_ = 0;  // the whole file follows
  }
  noLength = !header.Has("Content-Range") && !header.Has("Content-Length");
  // Whichever connection answers first tells the size: a source dialled several times at once
  // has no lone first connection, and without the size none of them would plan past its first
  // request.
  if (url.fileSize <= 0) {
    int64_t size = header.Has("Content-Range") ? header.RangeTotal() : header.ContentLength();
    if (url.wholeBody && noLength) size = kUnknownBodySize;
    url.fileSize = std::max<int64_t>(size, 0);
    const std::string name = header.DispositionName();
    if (!name.empty()) url.fileName = name;
    if (url.fileName.empty()) url.fileName = "index.htm";
  }
  if (url.wholeBody && !noLength && url.fileSize > kMaxWholeBody) return false;
  return url.fileSize > 0;
}

bool THttpPeer::FollowRedirect() {
  TPeerId& old = *PeerId();
  TUrlInfo& url = Url();
  url.redirected = true;
  std::string target = header.Value("Location");
  if (!StartsWith(target, "http://") && !StartsWith(target, "https://") && !StartsWith(target, "ftp://")) {
    std::string absolute = (url.tls ? "https://" : "http://") + url.host;
    if (old.port != (url.tls ? 443 : 80)) {
      absolute += ':';
      absolute += std::to_string(old.port);
    }
    if (!StartsWith(target, "/")) absolute += "/";
    target = absolute + target;
  }
  Socket()->Close();
  workState = kFinished;
  IPeerTask* task = Task();
  if (!task) return false;
  if (target == url.lastRedirect) {
    ++url.redirectRepeats;
  } else {
    url.lastRedirect = target;
  }
  ++url.redirectCount;
  // Every hop counts against the whole chain, so two servers cannot bounce a source forever.
  if (url.redirectRepeats > kRedirectRepeatLimit || url.redirectCount > kMaxRedirects) {
    task->RemoveSource(old);
    return false;
  }
  TRef<TPeerId> next = MakeRef<TPeerId>(target);
  if (ParseSourceAddress(*next)) {
    TUrlInfo& nextUrl = next->UrlInfo();
    nextUrl.wholeBody = url.wholeBody;
    nextUrl.sourceClass = url.sourceClass;
    nextUrl.redirectCount = url.redirectCount;
    nextUrl.redirectRepeats = url.redirectRepeats;
    nextUrl.lastRedirect = url.lastRedirect;
    next->priority = kKnownPriority;
    task->AddSource(*next);
  } else if (next->lookupFailed) {
    task->SetErrorCode(kRedirectLookupFailed);
    task->NoteLookupFailure();
  }
  return false;
}

bool THttpPeer::TakeBody() {
  TUrlInfo& url = Url();
  if (!MoveHeldIntoBody(*Socket(), url.body)) return false;
  if (!noLength && static_cast<int64_t>(url.body.size()) >= url.fileSize) {
    url.downloadComplete = true;
    workState = kFinished;
  }
  return true;
}

bool THttpPeer::ReadWholeBody() {
  QSocket& socket = *Socket();
  TUrlInfo& url = Url();
  // What is already held goes first: a close seen by Receive drops the held bytes.
  if (!TakeBody()) return false;
  if (url.downloadComplete) return true;
  const uint64_t before = socket.BytesReceived();
  if (socket.Receive() < 0) {
    // A body without a length ends with the connection.
    if (!noLength || url.body.empty()) return false;
    url.downloadComplete = true;
    workState = kFinished;
    return true;
  }
  NoteReceived(before);
  return TakeBody();
}

int64_t THttpPeer::DeliverRun(const uint8_t* data, int64_t size) {
  int64_t used = 0;
  while (runLength_ > 0 && !requests_.empty()) {
    const TBlockRequest first = requests_.front();
    if (first.block * kBlockSize != streamPos) {
      runLength_ = 0;  // the requests changed under the run: plan again
      break;
    }
    if (size - used < first.length) break;
    if (!DeliverBlock(first.block, first.length, data + used)) return -1;
    used += first.length;
    streamPos += first.length;
    --runLength_;
  }
  return used;
}

bool THttpPeer::DeliverHeld() {
  QSocket& socket = *Socket();
  int64_t held = socket.ReceivedSize();
  const int64_t skipped = std::min(skipBytes, held);
  if (skipped > 0) {
    socket.ConsumeReceived(skipped, true);
    skipBytes -= skipped;
    streamPos += skipped;
    held -= skipped;
  }
  if (skipBytes > 0) return true;
  // Another connection completed the run's piece and its requests went: plan again, or the
  // connection would sit on its range silent until it times out.
  if (requests_.empty()) runLength_ = 0;
  const int64_t used = DeliverRun(socket.ReceivedData(), held);
  if (used < 0) return false;
  // The buffer keeps its size while the body streams in: shrinking it after every run and
  // growing it for the next read would churn large buffers through the pool.
  if (used > 0) socket.ConsumeReceived(used, true);
  return true;
}

int64_t THttpPeer::ReceiveInPlace(int64_t size) {
  QSocket& socket = *Socket();
  TPieces* pieces = Task() ? Task()->Pieces() : nullptr;
  const int64_t held = socket.ReceivedSize();
  // What is held starts the run's first block, and is less than it: DeliverHeld ran.
  if (!pieces || skipBytes > 0 || runLength_ <= 0 || requests_.empty() ||
      requests_.front().block * kBlockSize != streamPos || held >= requests_.front().length) {
    return 0;
  }
  // Whole blocks where the size allows: a block cut short costs a copy.
  int64_t limit = (held + size) / kBlockSize * kBlockSize;
  if (limit <= held) limit = held + size;
  std::array<std::span<uint8_t>, platform::kMaxRecvBuffers> places;
  size_t count = 0;
  int64_t room = 0;
  for (int64_t i = 0; i < runLength_ && room < limit && count < places.size();) {
    const std::span<uint8_t> place =
        pieces->BlockSpace(requests_[static_cast<size_t>(i)].block, std::min(limit - room, (runLength_ - i) * kBlockSize));
    if (place.empty()) break;
    places[count++] = place;
    room += static_cast<int64_t>(place.size());
    i += (static_cast<int64_t>(place.size()) + kBlockSize - 1) / kBlockSize;
  }
  if (room > limit) {
    std::span<uint8_t>& last = places[count - 1];
    last = last.first(last.size() - static_cast<size_t>(room - limit));
    room = limit;
  }
  if (room <= held) return 0;
  const std::span<uint8_t> first = places[0];
  std::memcpy(first.data(), socket.ReceivedData(), static_cast<size_t>(held));
  socket.ConsumeReceived(held, true);
  places[0] = first.subspan(static_cast<size_t>(held));
  const int64_t got = socket.ReceiveInto({places.data(), count});
  places[0] = first;
  if (got < 0) return -1;
  // Places hold whole blocks but for a last one cut at the size: no block spans two.
  int64_t left = held + got;
  size_t index = 0;
  int64_t used = 0;
  for (; left > 0; ++index) {
    const int64_t filled = std::min(left, static_cast<int64_t>(places[index].size()));
    used = DeliverRun(places[index].data(), filled);
    if (used < 0) return -1;
    left -= used;
    if (used < filled) break;
  }
  // The rest goes on from the buffer, as if it had been read there.
  for (; left > 0; ++index, used = 0) {
    const int64_t n = std::min(left, static_cast<int64_t>(places[index].size()) - used);
    if (!socket.HoldReceived(places[index].data() + used, n)) return -1;
    left -= n;
  }
  return room - held;
}

bool THttpPeer::ReadBlocks() {
  if (runLength_ <= 0) return true;
  QSocket& socket = *Socket();
  if (!DeliverHeld()) return false;
  // A fast server keeps the socket full: while each read fills its size the step reads on
  // (doubling the size, within the budget), and a finished run is followed by the next one of
  // the range, which mostly continues the same response; so the rate is not bound to one read
  // or one piece per step.
  const int64_t maxRead = MaxReadSize();
  int64_t size = QSocket::kDefaultReadSize;
  int64_t taken = 0;
  for (int runs = 0; taken < kMaxStepBytes;) {
    if (runLength_ <= 0) {
      if (++runs > kMaxStepRuns) break;
      if (!PlanRequests()) return false;
      if (!headerReceived || runLength_ <= 0) break;
      if (!DeliverHeld()) return false;
      continue;
    }
    // The answer ended where its request did: the rest of the run needs a new request.
    if (skipBytes == 0 && !ResponseCovers(streamPos)) return Redial();
    // A limited task reads no more than its budget: the rest waits in the socket.
    const int64_t budget = Task() ? Task()->DownloadBudget() : INT64_MAX;
    if (budget <= 0) break;
    size = std::min(size, budget);
    const uint64_t before = socket.BytesReceived();
    int64_t asked = ReceiveInPlace(size);
    if (asked < 0) return false;
    if (asked == 0) {
      asked = size;
      if (socket.Receive(size) < 0) return false;
    }
    NoteReceived(before);
    const auto got = static_cast<int64_t>(socket.BytesReceived() - before);
    taken += got;
    if (!DeliverHeld()) return false;
    if (got < asked) return true;
    size = std::min(size * 2, maxRead);
  }
  // Stopped by the step's share, not by an empty socket: more is waiting.
  if (taken >= kMaxStepBytes && Task()) Task()->RequestCycleSoon();
  return true;
}

bool THttpPeer::FlushOutput() {
  if (!IsConnected()) return false;
  QSocket& socket = *Socket();
  if (socket.SendQueued() == 0 || socket.Flush() >= 0) return true;
  if (socket.TlsCertificateRefused()) RefuseCertificate();
  return false;
}

// ---- planning ----

bool THttpPeer::PlanRequests() {
  if (!IsConnected()) return false;
  TUrlInfo& url = Url();
  if (!headerReceived || runLength_ > 0 || url.wholeBody) return true;
  IPeerTask* task = Task();
  TPieces* pieces = task ? task->Pieces() : nullptr;
  if (url.fileSize > 0 && pieces) {
    if (pieces->TotalLength() > 0 && pieces->TotalLength() != url.fileSize) {
      Socket()->Close();
      task->PenalizeSource(*PeerId(), kServerErrorBackOff);
      return false;
    }
    if (requests_.empty()) {
      skipBytes = 0;
      TPeerObject::PlanRequests();
    }
    if (requests_.empty()) {
      // Nothing is left for this source: the connection goes instead of idling into a time-out,
      // and the pool dials the source again once there is work for it.
      workState = kFinished;
      return false;
    }
  }
  if (requests_.empty()) return true;
  runLength_ = 1;
  while (runLength_ < static_cast<int64_t>(requests_.size()) &&
         requests_[runLength_].block == requests_[runLength_ - 1].block + 1) {
    ++runLength_;
  }
  skipBytes = requests_.front().block * kBlockSize - streamPos;
  // Without ranges the stream always starts at 0: skipping ahead is the only way forward.
  const int64_t reach = url.rangesIgnored ? INT64_MAX : kMaxSkip;
  if (skipBytes >= 0 && skipBytes <= reach && ResponseCovers(requests_.front().block * kBlockSize)) return true;
  return Redial();
}

bool THttpPeer::IsTimedOut() {
  if (!SilentFor(headerReceived ? kBodyTimeout : kHeaderTimeout)) return false;
  workState = kTimedOut;
  ReleaseRange();
  return true;
}

void THttpPeer::Reset() {
  TPeerObject::Reset();
  headerReceived = false;
  skipBytes = 0;
  streamPos = 0;
  noLength = false;
  requestedEnd_ = 0;
}

void THttpPeer::ReleaseRange() {
  TPeerObject::ReleaseRange();
  skipBytes = 0;
  runLength_ = 0;
}

}  // namespace bw
