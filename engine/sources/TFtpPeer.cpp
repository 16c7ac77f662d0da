#include "engine/sources/TFtpPeer.h"

#include <algorithm>

#include "engine/net/QSocket.h"
#include "engine/sources/FtpReply.h"
#include "engine/sources/TPeerId.h"
#include "engine/sources/TUrlInfo.h"
#include "engine/sources/WholeBody.h"
#include "engine/storage/TPieces.h"

namespace bw {
namespace {

constexpr int32_t kTimeoutBackOff = 15;
constexpr int64_t kTransferTimeout = 15;
constexpr int64_t kCommandTimeout = 30;
constexpr int32_t kLowestRetryAllowance = 2;
constexpr int32_t kLoginRefused = 530;

// The answers of a server that does not know a command, as opposed to one that refuses it.
bool NotUnderstood(int32_t code) { return code == 500 || code == 501 || code == 502 || code == 504; }

}  // namespace

TFtpPeer::TFtpPeer(IPeerTask* task) : TPeerObject(4, task), dataSocket_(std::make_unique<QSocket>()) {}

TFtpPeer::~TFtpPeer() = default;

TUrlInfo& TFtpPeer::Url() const { return PeerId()->UrlInfo(); }

QSocket* TFtpPeer::CountedSocket() const { return dataSocket_.get(); }

std::string TFtpPeer::Directory(const std::string& path) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos || last == 0) return "/";
  return path.substr(0, last);
}

std::string TFtpPeer::CommandText(int32_t state, const TUrlInfo& url, int64_t streamPos) {
  switch (state) {
    case kSendUser: return "user " + url.user + "\r\n";
    case kSendPass: return "pass " + url.password + "\r\n";
    case kSendCwd: return "cwd " + Directory(url.path) + "\r\n";
    case kSendType: return "type i\r\n";
    case kSendSize: return "size " + url.fileName + "\r\n";
    case kSendPassive: return url.epsvRefused ? "pasv\r\n" : "epsv\r\n";
    case kRestSent: return "rest " + std::to_string(streamPos) + "\r\n";
    case kRetrSent: return "retr " + url.path + "\r\n";
    default: return {};
  }
}

// ---- connecting ----

bool TFtpPeer::ConnectTo(TPeerId* peerId) {
  if (!TPeerObject::ConnectTo(peerId)) return false;
  TUrlInfo& url = Url();
  url.downloadComplete = false;
  url.body.clear();
  EndCycle();
  // A task that knows its content gives work before the login: none, and no login is made.
  if (!url.wholeBody && Task() && Task()->CanSchedule() && requests_.empty()) {
    TPeerObject::PlanRequests();
    if (requests_.empty()) {
      workState = kFinished;  // nothing to ask for: no fault of the source
      return false;
    }
  }
  ftpState = kAwaitWelcome;
  // Both connections take the proxy that every connection of the process takes.
  if (!Socket()->Connect(peerId->ip, peerId->port)) return false;
  linkState = kLinked;
  stats.incoming = false;
  stats.lastDataTime = 0;
  return true;
}

// ---- the control connection ----

void TFtpPeer::NoteReceived(const QSocket& socket, uint64_t before) {
  if (socket.BytesReceived() != before && Task()) stats.lastDataTime = Task()->Clock();
}

bool TFtpPeer::TakeReply(FtpReply* reply, bool* got) {
  QSocket& control = *Socket();
  const auto parse = [&control, reply] {
    return ParseFtpReply(reinterpret_cast<const char*>(control.ReceivedData()), control.ReceivedSize(), reply);
  };
  // What is held goes first: a close seen by Receive drops the held bytes.
  int64_t length = parse();
  if (length == kFtpReplyIncomplete) {
    const uint64_t before = control.BytesReceived();
    if (control.Receive() < 0) return false;
    NoteReceived(control, before);
    length = parse();
  }
  if (length == kFtpReplyMalformed) {
    control.Close();
    return false;
  }
  if (length == kFtpReplyIncomplete) return true;
  control.ConsumeReceived(length);
  *got = true;
  if (Task()) stats.lastDataTime = Task()->Clock();
  return true;
}

void TFtpPeer::Next(int32_t state) {
  ftpState = state;
  ftpPhase = kCommandDue;
}

bool TFtpPeer::QueueCommand() {
  const std::string command = CommandText(ftpState, Url(), streamPos);
  if (command.empty()) return true;
  if (Socket()->Send(command.data(), static_cast<int64_t>(command.size())) < 0) return false;
  ftpPhase = kCommandQueued;
  return true;
}

bool TFtpPeer::Refused(const FtpReply& reply) {
  if (reply.code >= 500 && Task()) Task()->PenalizeSource(*PeerId(), kServerErrorBackOff);
  return false;
}

bool TFtpPeer::OnReply(const FtpReply& reply) {
  const int32_t code = reply.code;
  TPeerId& id = *PeerId();
  if (code >= 400 && code < 500 && id.allowance > kLowestRetryAllowance) --id.allowance;
  switch (ftpState) {
    case kAwaitWelcome:
      if (code != 220) break;
      linkState = kGreeted;
      Next(kSendUser);
      return true;
    case kSendUser:
      if (code != 331 && code != 230) break;
      // A server that asks for no password has logged the user in already.
      Next(code == 331 ? kSendPass : kSendCwd);
      return true;
    case kSendPass:
      if (code != 230 && code != 332) break;
      Next(kSendCwd);
      return true;
    case kSendCwd:
      if (code != 250) break;
      Next(kSendType);
      return true;
    case kSendType:
      if (code != 200) break;
      Next(kSendSize);
      return true;
    case kSendSize: {
      const int64_t size = code == 213 ? ParseSizeReply(reply.text) : -1;
      if (size < 0) break;
      Url().fileSize = size;
      Next(kSendPassive);
      return true;
    }
    case kSendPassive: {
      TUrlInfo& url = Url();
      if (!url.epsvRefused && NotUnderstood(code)) {
        url.epsvRefused = true;  // asked with PASV from now on
        ftpPhase = kCommandDue;
        return true;
      }
      int32_t port = 0;
      const bool parsed = url.epsvRefused ? code == 227 && ParsePasvReply(reply.text, nullptr, &port)
                                          : code == 229 && ParseEpsvReply(reply.text, &port);
      if (!parsed) break;
      return OpenData(port);
    }
    case kRestSent:
      if (code != 350) break;
      ftpState = kRetrSent;
      return QueueCommand();
    case kRetrSent:
      if (code != 125 && code != 150) break;
      ftpState = kTransfer;
      ftpPhase = kAwaitReply;
      // A file streamed at full speed needs room between two steps (as an HTTP body does).
      if (!Url().wholeBody && dataSocket_->IsConnected()) {
        dataSocket_->SetReceiveBufferSize(QSocket::kMaxReceiveBufferOption);
      }
      return true;
    case kAwaitTransferEnd:
      if (code != 226 && code != 250 && code != 426) break;
      Next(kSendPassive);
      return true;
    default:
      break;
  }
  if (code == kLoginRefused && (ftpState == kSendUser || ftpState == kSendPass)) {
    // Credentials refused once are refused on every connection: the source is retired.
    workState = kFinished;
    Socket()->Close();
    if (Task()) Task()->RemoveSource(id);
    return false;
  }
  return Refused(reply);
}

bool TFtpPeer::OpenData(int32_t port) {
  // The data connection goes to the host of the control connection whatever the answer names:
  // a server cannot point the engine at a third party.
  if (!dataSocket_->Connect(PeerId()->ip, port)) return false;
  const bool wholeBody = Url().wholeBody;
  if (!wholeBody && requests_.empty()) {
    // The work went elsewhere meanwhile: a new cycle starts when there is more.
    dataSocket_->Close();
    Next(kSendPassive);
    return true;
  }
  streamPos = wholeBody ? 0 : requests_.front().block * kBlockSize;
  skipBytes = 0;
  ftpState = kRestSent;
  return QueueCommand();
}

bool TFtpPeer::ReadInput() {
  if (!IsConnected()) return false;
  if (IsTimedOut()) {
    if (Task()) Task()->PenalizeSource(*PeerId(), kTimeoutBackOff);
    return false;
  }
  // Replies may come several at once (the start and the end of a short transfer): each is
  // taken in turn while the state waits for one.
  for (;;) {
    if (ftpState == kTransfer) {
      if (!ReadTransfer()) return false;
      if (ftpState == kTransfer) return true;
    }
    if (ftpPhase != kAwaitReply) return true;
    FtpReply reply;
    bool got = false;
    if (!TakeReply(&reply, &got)) return false;
    if (!got) return true;
    if (!OnReply(reply)) return false;
  }
}

bool TFtpPeer::FlushOutput() {
  if (!IsConnected()) return false;
  if (ftpPhase != kCommandQueued) return true;
  QSocket& control = *Socket();
  if (control.SendQueued() > 0 && control.Flush() < 0) return false;
  if (control.SendQueued() == 0) ftpPhase = kAwaitReply;
  return true;
}

// ---- the data connection ----

void TFtpPeer::EndCycle() {
  dataSocket_->Close();
  ftpState = kAwaitTransferEnd;
  ftpPhase = kAwaitReply;
  streamPos = 0;
  skipBytes = 0;
}

bool TFtpPeer::ReadTransfer() {
  if (Task() && Task()->DownloadBudget() <= 0) return true;
  return Url().wholeBody ? ReadWholeBody() : ReadBlocks();
}

bool TFtpPeer::ReadWholeBody() {
  QSocket& data = *dataSocket_;
  TUrlInfo& url = Url();
  if (!MoveHeldIntoBody(data, url.body)) return false;
  const uint64_t before = data.BytesReceived();
  if (data.Receive() < 0) {
    // The server closes the data connection at the end of the file.
    if (static_cast<int64_t>(url.body.size()) < url.fileSize) return false;
    url.downloadComplete = true;
    workState = kFinished;
    EndCycle();
    return true;
  }
  NoteReceived(data, before);
  if (!MoveHeldIntoBody(data, url.body)) return false;
  if (static_cast<int64_t>(url.body.size()) >= url.fileSize) {
    url.downloadComplete = true;
    workState = kFinished;
  }
  return true;
}

bool TFtpPeer::WithinReach() {
  if (requests_.empty()) return false;
  const int64_t skip = requests_.front().block * kBlockSize - streamPos;
  if (skip < 0 || skip > kMaxSkip) return false;
  skipBytes = skip;
  return true;
}

bool TFtpPeer::DeliverHeld() {
  QSocket& data = *dataSocket_;
  const int64_t held = data.ReceivedSize();
  int64_t used = std::min(skipBytes, held);
  skipBytes -= used;
  streamPos += used;
  while (skipBytes == 0 && !requests_.empty()) {
    const TBlockRequest first = requests_.front();
    if (first.block * kBlockSize != streamPos || held - used < first.length) break;
    if (!DeliverBlock(first.block, first.length, data.ReceivedData() + used)) return false;
    used += first.length;
    streamPos += first.length;
  }
  // The buffer keeps its size while the file streams in.
  if (used > 0) data.ConsumeReceived(used, true);
  return true;
}

bool TFtpPeer::ReadBlocks() {
  QSocket& data = *dataSocket_;
  // A fast server keeps the connection full: the step reads on in growing reads, planning the
  // next piece whenever one is done, up to its share of bytes.
  const int64_t maxRead = MaxReadSize();
  int64_t size = QSocket::kDefaultReadSize;
  int64_t taken = 0;
  while (taken < kMaxStepBytes) {
    if (requests_.empty()) {
      TPeerObject::PlanRequests();
      // Following the task's position gives up the range, and with it this stream.
      if (ftpState != kTransfer) return true;
    }
    if (!WithinReach()) {
      EndCycle();
      return true;
    }
    if (!DeliverHeld()) return false;
    if (requests_.empty()) continue;
    const int64_t budget = Task() ? Task()->DownloadBudget() : INT64_MAX;
    if (budget <= 0) return true;
    size = std::min(size, budget);
    const uint64_t before = data.BytesReceived();
    if (data.Receive(size) < 0) {
      // The server has sent what it will; anything still wanted needs a new cycle.
      EndCycle();
      return true;
    }
    NoteReceived(data, before);
    const auto got = static_cast<int64_t>(data.BytesReceived() - before);
    taken += got;
    if (!DeliverHeld()) return false;
    if (got < size) return true;
    size = std::min(size * 2, maxRead);
  }
  if (Task()) Task()->RequestCycleSoon();
  return true;
}

// ---- planning ----

bool TFtpPeer::PlanRequests() {
  if (!IsConnected()) return false;
  TUrlInfo& url = Url();
  IPeerTask* task = Task();
  TPieces* pieces = task ? task->Pieces() : nullptr;
  if (!url.wholeBody && url.fileSize > 0 && pieces) {
    if (pieces->TotalLength() > 0 && pieces->TotalLength() != url.fileSize) {
      Socket()->Close();
      task->PenalizeSource(*PeerId(), kServerErrorBackOff);
      return false;
    }
    if (ftpState == kSendPassive) {
      if (requests_.empty() && !task->IsComplete()) TPeerObject::PlanRequests();
      // A complete task wants no further data cycle, whatever requests are left over; a source
      // with nothing left to fetch lets its connection go instead of idling into a time-out.
      if (task->IsComplete() || requests_.empty()) {
        workState = kFinished;
        return false;
      }
    }
  }
  if (ftpPhase != kCommandDue) return true;
  // A data cycle starts only for work to do.
  if (ftpState == kSendPassive && !url.wholeBody && requests_.empty()) return true;
  return QueueCommand();
}

bool TFtpPeer::IsTimedOut() {
  if (!SilentFor(ftpState == kTransfer ? kTransferTimeout : kCommandTimeout)) return false;
  workState = kTimedOut;
  ReleaseRange();
  return true;
}

void TFtpPeer::Reset() {
  TPeerObject::Reset();
  EndCycle();
  ftpState = kAwaitWelcome;
}

void TFtpPeer::ReleaseRange() {
  TPeerObject::ReleaseRange();
  skipBytes = 0;
  // The stream served the range: it has nothing more to give.
  if (ftpState == kTransfer) EndCycle();
}

}  // namespace bw
