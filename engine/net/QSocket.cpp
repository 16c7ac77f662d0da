#include "engine/net/QSocket.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "engine/net/IStreamTransport.h"
#include "engine/net/NetAddress.h"
#include "engine/net/NetClock.h"
#include "engine/net/ProxyProtocol.h"
#include "platform/Thread.h"

namespace bw {
namespace {

constexpr int64_t kSendSlack = 1024;
constexpr int64_t kReceiveSlack = 2048;
constexpr int kUdpBacklog = 1024;
constexpr int kTcpBacklog = 32;
constexpr int kDefaultSocketReceiveBuffer = 8192;
constexpr size_t kMaxProxyHostName = 255;

bool SameTextIgnoringCase(const std::string& a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

// A name that could break out of the tunnel request line.
bool IsUnsafeHostName(const std::string& host) {
  return std::any_of(host.begin(), host.end(), [](char c) { return static_cast<uint8_t>(c) <= 32; });
}

platform::SockAddrV4 Address(uint32_t ip, int port, const uint8_t* tag) {
  platform::SockAddrV4 a;
  a.ip = ip;
  a.port = static_cast<uint16_t>(port);
  if (tag) std::memcpy(a.spare, tag, sizeof a.spare);
  return a;
}

void SetLocalTag(uint8_t* localTag, const uint8_t* spare) {
  std::memset(localTag, 0, QSocket::kLocalTagSize);
  std::memcpy(localTag, spare, QSocket::kUdpTagSize);
  std::memcpy(localTag + QSocket::kUdpTagSize, "UDP", 3);
}

IStreamTransport& Transport() {
  // Only reached in stream-over-UDP mode, which Open refuses without a transport.
  return *IStreamTransport::Current();
}

int ClampInt(int64_t n) { return static_cast<int>(std::min<int64_t>(n, INT_MAX)); }

}  // namespace

QBufferPool& QSocket::BufferPool() {
  static auto* pool = new QBufferPool;  // outlives every socket, even static ones
  return *pool;
}

QSocket::QSocket() = default;

QSocket::~QSocket() { Close(); }

// ---- connecting ----

bool QSocket::Connect(uint32_t ip, int port, bool blocking, const QProxyInfo* proxy,
                      uint32_t bindIp, const uint8_t* udpTag) {
  QProxyInfo settings = proxy ? *proxy : QProxyInfo::Global();
  settings.target.clear();
  return ConnectWith(ip, port, blocking, std::move(settings), bindIp, udpTag);
}

bool QSocket::ConnectHost(const std::string& host, int port, bool blocking,
                          const QProxyInfo* proxy, uint32_t bindIp, const uint8_t* udpTag) {
  QProxyInfo settings = proxy ? *proxy : QProxyInfo::Global();
  settings.target.clear();
  uint32_t ip;
  if (!udpTag && settings.IsConfigured() && settings.remoteResolve &&
      settings.type != PROXY_SOCKS4) {
    if (host.empty() || host.size() > kMaxProxyHostName || IsUnsafeHostName(host)) {
      Close();
      return false;
    }
    ip = settings.address;  // the proxy resolves the name
    settings.target = settings.type == PROXY_HTTP
                          ? host + ":" + std::to_string(port) + " HTTP/1.1\r\n"
                          : host;
  } else {
    ip = ResolveHost(host);
  }
  if (!ConnectWith(ip, port, blocking, std::move(settings), bindIp, udpTag)) return false;
  hostText_ = host;
  return true;
}

bool QSocket::ConnectWith(uint32_t ip, int port, bool blocking, QProxyInfo settings,
                          uint32_t bindIp, const uint8_t* udpTag) {
  Close();
  if (ip == 0 || ip == kNoAddress || port < 1 || port > 65535) return false;
  remoteIp_ = ip;
  remotePort_ = port;
  blocking_ = blocking;
  if (!Open(udpTag != nullptr)) {
    Close();
    return false;
  }
  platform::SockAddrV4 to = Address(ip, port, udpTag);
  proxy_ = std::move(settings);
  const bool hostTarget = !proxy_.target.empty();
  ready_ = udpTag != nullptr || !proxy_.IsConfigured();
  if (!ready_) {
    to.ip = proxy_.address;
    to.port = proxy_.port;
    if (!hostTarget) {
      proxy_.target = DottedQuadText(ip) + ":" + std::to_string(port) + " HTTP/1.1\r\n";
    }
  }
  if (bindIp != 0 && bindIp != kNoAddress && !BindLocal(0, bindIp)) {
    Close();
    return false;
  }
  bool ok;
  const int rc = udpMode_ ? Transport().Connect(handle_, to) : platform::Connect(handle_, to);
  if (rc == 0) {
    MarkConnected();
    ok = true;
  } else if (platform::LastSocketError() == platform::kWsaEwouldblock) {
    ok = !blocking_ || (WaitWritable(-1) && IsConnected());
  } else {
    lastError_ = platform::LastSocketError();
    ok = false;
  }
  if (ok && !ready_) ok = SendProxyRequest(hostTarget);
  proxy_.target.clear();
  if (!ok) {
    Close();
    return false;
  }
  lastActivity_ = NetClockNow();
  return true;
}

bool QSocket::Open(bool udp) {
  if (HasHandle()) return true;
  if (udp) {
    IStreamTransport* transport = IStreamTransport::Current();
    const int h = transport ? transport->Socket() : -1;
    if (h <= 0) return false;
    handle_ = h;
    udpMode_ = true;
    return true;
  }
  const int h = platform::OpenTcpSocket();
  if (h == platform::kNoSocket) return false;
  if (!platform::SetNonBlocking(h, true)) {
    platform::CloseSocket(h);
    return false;
  }
  handle_ = h;
  return true;
}

void QSocket::MarkConnected() {
  connected_ = true;
  connectedAt_ = NetClockNow();
  platform::SockAddrV4 local;
  const int rc = udpMode_ ? Transport().GetSockName(handle_, &local)
                          : platform::GetSockName(handle_, &local);
  if (rc == 0) {
    localIp_ = local.ip;
    localPort_ = local.port;
    SetLocalTag(localTag_, local.spare);
  }
}

bool QSocket::IsConnected() {
  if (listening_ || remoteIp_ == 0 || !HasHandle()) return false;
  if (connected_) return true;
  const int ready = RawWait(platform::kWaitWrite, 0);
  if (ready <= 0) return false;
  if (udpMode_ && (ready & platform::kWaitError)) {
    // The transport gave up on the connect (no introduction, a reject, the time-out).
    lastError_ = platform::kWsaEconnrefused;
    CloseOnError();
    return false;
  }
  if (!udpMode_) {
    if (const int err = platform::PendingError(handle_)) {
      lastError_ = err;
      CloseOnError();
      return false;
    }
  }
  MarkConnected();
  return true;
}

bool QSocket::StartTls(const std::string& hostName) {
  if (!HasHandle() || listening_) return false;
  tls_ = TlsSession::Start(
      hostName, [this](const uint8_t* data, int64_t len) { return RawSend(data, len); },
      [this](uint8_t* out, int64_t len) { return RawRecv(out, len); });
  tlsFailure_.clear();
  tlsCertificateRefused_ = false;
  return tls_ != nullptr;
}

int64_t QSocket::TlsStall(int64_t result) {
  if (result == TlsSession::kAgain) return 0;
  if (result == TlsSession::kFailed) {
    tlsFailure_ = tls_->FailureText();
    tlsCertificateRefused_ = tls_->CertificateRefused();
    lastError_ = platform::kWsaEconnaborted;
  }
  CloseOnError();
  return -1;
}

int64_t QSocket::ReceiveTls(int64_t size) {
  const std::span<uint8_t> place(recv_.data + recv_.used, static_cast<size_t>(size));
  const int64_t got = ReadTls({&place, 1});
  if (got < 0) return -1;
  recv_.used += got;
  recv_.data[recv_.used] = 0;
  return recv_.used;
}

int64_t QSocket::ReadTls(std::span<const std::span<uint8_t>> places) {
  // One read of the session gives at most one record: the call reads on until the places are
  // full or the network has nothing more, as one read of a plain socket would.
  int64_t size = 0;
  for (const std::span<uint8_t>& place : places) size += static_cast<int64_t>(place.size());
  int64_t got = 0;
  size_t index = 0;
  int64_t inPlace = 0;
  for (;;) {
    int64_t r = tls_->Handshake();
    while (r > 0 && got < size) {
      const std::span<uint8_t>& place = places[index];
      r = tls_->Read(place.data() + inPlace, static_cast<int64_t>(place.size()) - inPlace);
      if (r > 0) {
        got += r;
        inPlace += r;
        if (inPlace == static_cast<int64_t>(place.size())) {
          ++index;
          inPlace = 0;
        }
      }
    }
    if (got > 0) break;
    if (TlsStall(r) < 0) return -1;
    if (!blocking_) break;
    RawWait(tls_->HasBacklog() ? platform::kWaitWrite : platform::kWaitRead, -1);
  }
  bytesReceived_ += static_cast<uint64_t>(got);
  tlsReadFull_ = got >= size;
  // Requests queued while the handshake ran go out now.
  if (tls_->Established() && send_.used > 0 && WriteQueued(0) < 0) return -1;
  return got;
}

// ---- proxy tunnel ----

bool QSocket::SendProxyRequest(bool hostTarget) {
  const int full = proxy_.HandshakeSeconds();
  const int half = full / 2;
  const bool byName = hostTarget && proxy_.remoteResolve;
  const uint16_t port = static_cast<uint16_t>(remotePort_);
  switch (proxy_.type) {
    case PROXY_HTTP:
      if (proxy_.noTunnel) {
        ready_ = true;
        return true;
      }
      return RawSendAll(HttpTunnelRequest(proxy_), full);
    case PROXY_SOCKS4:
    case PROXY_SOCKS4A:
      return RawSendAll(Socks4Request(remoteIp_, port, byName && proxy_.type == PROXY_SOCKS4A
                                                          ? proxy_.target
                                                          : std::string()),
                        half);
    case PROXY_SOCKS5: {
      const bool auth = !proxy_.user.empty() || !proxy_.password.empty();
      uint8_t reply[2];
      if (!RawSendAll(std::string{5, 1, static_cast<char>(auth ? 2 : 0)}, half) ||
          !RawReadExact(reply, 2, half) || reply[1] != (auth ? 2 : 0)) {
        return false;
      }
      if (auth && (!RawSendAll(Socks5AuthRequest(proxy_.user, proxy_.password), half) ||
                   !RawReadExact(reply, 2, half) || reply[1] != 0)) {
        return false;
      }
      return RawSendAll(Socks5ConnectRequest(remoteIp_, port, byName ? proxy_.target : ""), half);
    }
    default:
      return false;
  }
}

bool QSocket::RawSendAll(const std::string& bytes, int timeoutSec) {
  if (RawWait(platform::kWaitWrite, WaitMs(timeoutSec)) <= 0) return false;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const int64_t n = RawSend(data, static_cast<int64_t>(bytes.size()));
  if (n < 0) lastError_ = platform::LastSocketError();
  return n == static_cast<int64_t>(bytes.size());
}

bool QSocket::RawReadExact(uint8_t* out, int64_t n, int timeoutSec) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSec, 0));
  int64_t got = 0;
  while (got < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0 || RawWait(platform::kWaitRead, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    const int64_t r = RawRecv(out + got, n - got);
    if (r == 0) return false;
    if (r < 0) {
      if (platform::LastSocketError() == platform::kWsaEwouldblock) continue;
      lastError_ = platform::LastSocketError();
      return false;
    }
    got += r;
    bytesReceived_ += static_cast<uint64_t>(r);
  }
  return true;
}

int64_t QSocket::AdvanceTunnel() {
  const int64_t reply = ParseProxyReply(proxy_.type, recv_.data, static_cast<size_t>(recv_.used));
  if (reply == kProxyReplyIncomplete) return 0;
  if (reply < 0) return -1;
  ready_ = true;
  lastActivity_ = NetClockNow();
  if (reply > 0 && (proxy_.verb.empty() || SameTextIgnoringCase(proxy_.verb, "CONNECT"))) {
    ConsumeReceived(reply);
  }
  writableHint_ = true;
  if (Flush() < 0) return -1;
  return recv_.used;
}

// ---- moving bytes ----

int64_t QSocket::RawSend(const uint8_t* data, int64_t len) {
  return udpMode_ ? Transport().Send(handle_, data, ClampInt(len))
                  : platform::Send(handle_, data, len);
}

int64_t QSocket::RawRecv(uint8_t* buffer, int64_t len) {
  return udpMode_ ? Transport().Recv(handle_, buffer, ClampInt(len))
                  : platform::Recv(handle_, buffer, len);
}

int QSocket::RawWait(int what, int timeoutMs) {
  return udpMode_ ? Transport().Select(handle_, what, timeoutMs)
                  : platform::WaitSocket(handle_, what, timeoutMs);
}

int64_t QSocket::Write(const uint8_t* data, int64_t len) {
  if (len <= 0) return 0;
  if (tls_) {
    int64_t r = tls_->Handshake();
    if (r > 0) r = tls_->Write(data, len);
    if (r <= 0) return TlsStall(r);
    bytesSent_ += static_cast<uint64_t>(r);
    return r;
  }
  const int64_t n = RawSend(data, len);
  if (n < 0) {
    const int err = platform::LastSocketError();
    if (err == platform::kWsaEwouldblock) return 0;
    lastError_ = err;
    CloseOnError();
    return -1;
  }
  bytesSent_ += static_cast<uint64_t>(n);
  return n;
}

int64_t QSocket::Send(const void* data, int64_t len) {
  if (!HasHandle() || remoteIp_ == 0) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const bool withData = bytes != nullptr && len > 0;
  if (!ready_ && proxy_.IsConfigured()) {
    if (withData && !Queue(bytes, len)) return -1;
    const uint64_t before = bytesSent_;
    if (Receive() < 0) return -1;
    return static_cast<int64_t>(bytesSent_ - before);
  }
  if (!IsConnected()) {
    if (!HasHandle()) return -1;  // the connect failed
    return !withData || Queue(bytes, len) ? 0 : -1;
  }
  if (!withData || blocking_) {
    if (withData && !Queue(bytes, len)) return -1;
    return WriteQueued(len);
  }
  int64_t fromQueue = 0;
  if (send_.used > 0) {
    fromQueue = Write(send_.data, std::min(send_.used, len));
    if (fromQueue < 0) return -1;
    if (fromQueue == 0) return Queue(bytes, len) ? 0 : -1;
  }
  int64_t fromData = 0;
  if (send_.used == fromQueue && fromQueue < len) {
    fromData = Write(bytes, len - fromQueue);
    if (fromData < 0) return -1;
  }
  Consume(send_, fromQueue, keepBuffers_);
  if (fromData < len && !Queue(bytes + fromData, len - fromData)) return -1;
  return fromQueue + fromData;
}

int64_t QSocket::WriteQueued(int64_t n) {
  if (n <= 0 || n > send_.used) n = send_.used;
  int64_t total = 0;
  int64_t result = 0;
  while (total < n) {
    const int64_t w = Write(send_.data + total, n - total);
    if (w < 0) {
      result = -1;
      break;
    }
    total += w;
    if (!blocking_ || total >= n || !WaitWritable(-1)) break;
    platform::SleepMs(5);
  }
  Consume(send_, total, keepBuffers_);
  return result < 0 ? -1 : total;
}

int64_t QSocket::Receive(int64_t size) {
  if (!HasHandle() || remoteIp_ == 0) return -1;
  if (!IsConnected()) return HasHandle() ? 0 : -1;
  if (size <= 0) size = kDefaultReadSize;
  size = std::min(size, kMaxReceiveHeld - recv_.used);
  if (size <= 0 || !Grow(recv_, size, kReceiveSlack)) {
    lastError_ = platform::kWsaEnobufs;
    CloseOnError();
    return -1;
  }
  if (tls_ && ready_) return ReceiveTls(size);
  if (blocking_) WaitReadable(-1);
  const int64_t n = TakeRead(RawRecv(recv_.data + recv_.used, size));
  if (n < 0) return -1;
  recv_.used += n;
  recv_.data[recv_.used] = 0;
  bytesReceived_ += static_cast<uint64_t>(n);
  if (!ready_) return AdvanceTunnel();
  return recv_.used;
}

int64_t QSocket::ReceiveInto(std::span<const std::span<uint8_t>> places) {
  if (!HasHandle() || remoteIp_ == 0) return -1;
  if (!IsConnected() || !ready_) return HasHandle() ? 0 : -1;
  places = places.first(std::min(places.size(), platform::kMaxRecvBuffers));
  if (places.empty()) return 0;
  if (tls_) return ReadTls(places);
  if (blocking_) WaitReadable(-1);
  int64_t n = 0;
  if (udpMode_) {
    // The transport reads one buffer at a time.
    for (const std::span<uint8_t>& place : places) {
      const int64_t r = RawRecv(place.data(), static_cast<int64_t>(place.size()));
      if (r > 0) n += r;
      if (r != static_cast<int64_t>(place.size())) {
        if (n == 0) n = r;
        break;
      }
    }
  } else {
    n = platform::RecvInto(handle_, places);
  }
  n = TakeRead(n);
  if (n > 0) bytesReceived_ += static_cast<uint64_t>(n);
  return n;
}

int64_t QSocket::TakeRead(int64_t n) {
  if (n > 0) return n;
  if (n < 0) {
    const int err = platform::LastSocketError();
    if (err == platform::kWsaEwouldblock) return 0;
    lastError_ = err;
  }
  CloseOnError();  // an orderly close, or an error
  return -1;
}

bool QSocket::HoldReceived(const uint8_t* data, int64_t n) {
  if (n <= 0) return true;
  if (!Grow(recv_, n, kReceiveSlack)) return false;
  std::memcpy(recv_.data + recv_.used, data, static_cast<size_t>(n));
  recv_.used += n;
  recv_.data[recv_.used] = 0;
  return true;
}

platform::SocketWatch QSocket::Watch() const {
  if (!HasHandle() || listening_) return {};
  const bool sending = !connected_ || send_.used > 0 || (tls_ && tls_->HasBacklog());
  const int what = platform::kWaitRead | (sending ? platform::kWaitWrite : 0);
  return {udpMode_ ? platform::kNoSocket : handle_, what, 0};
}

int QSocket::WatchStream(int what, platform::WakeableWait* wait) const {
  if (!HasHandle() || !udpMode_) return 0;
  const int ready = Transport().WatchReady(handle_, what, wait);
  return ready < 0 ? platform::kWaitError : ready;
}

void QSocket::ConsumeReceived(int64_t n, bool keep) { Consume(recv_, n, keep || keepBuffers_); }

const uint8_t* QSocket::ReceivedData() const {
  return recv_.data ? recv_.data : reinterpret_cast<const uint8_t*>("");
}

// ---- buffers ----

bool QSocket::Grow(Buffer& b, int64_t need, int64_t slack) {
  if (b.cap - b.used >= need) return true;
  int64_t cap = need + b.cap + slack;
  if (&b == &recv_) cap = std::min(cap, kMaxReceiveHeld);
  return Reallocate(b, cap);
}

bool QSocket::Reallocate(Buffer& b, int64_t cap) {
  uint8_t* data = BufferPool().Alloc(cap);
  if (!data) return false;
  if (b.used) std::memcpy(data, b.data, static_cast<size_t>(b.used));
  data[b.used] = 0;
  BufferPool().Free(b.data);
  b.data = data;
  b.cap = cap;
  return true;
}

void QSocket::Consume(Buffer& b, int64_t n, bool keep) {
  if (!b.data) return;
  if (n < 0 || n > b.used) n = b.used;
  const int64_t rest = b.used - n;
  if (!keep) {
    if (rest == 0) {
      ReleaseBuffer(b);
      return;
    }
    int64_t cap = 0;
    if (b.cap > 4096 && b.cap / rest > 5) {
      cap = rest >= 1024 ? rest + 1024 : 1024;
    } else if (b.cap - rest > 2101248 && rest < 21012480) {
      cap = rest + rest / 10;
    }
    if (cap > 0) {
      uint8_t* data = BufferPool().Alloc(cap);
      if (data) {
        std::memcpy(data, b.data + n, static_cast<size_t>(rest));
        data[rest] = 0;
        BufferPool().Free(b.data);
        b = {data, rest, cap};
        return;
      }
    }
  }
  std::memmove(b.data, b.data + n, static_cast<size_t>(rest));
  b.used = rest;
  b.data[rest] = 0;
}

void QSocket::ReleaseBuffer(Buffer& b) {
  BufferPool().Free(b.data);
  b = {};
}

bool QSocket::Queue(const uint8_t* data, int64_t len) {
  if (!Grow(send_, len, kSendSlack)) return false;
  std::memcpy(send_.data + send_.used, data, static_cast<size_t>(len));
  send_.used += len;
  send_.data[send_.used] = 0;
  return true;
}

// ---- listening ----

bool QSocket::Listen(int port, uint32_t ip, const uint8_t* udpTag) {
  Close();
  if (port < 1 || port > 65535) return false;
  localIp_ = ip ? ip : PickLocalAddress();
  localPort_ = static_cast<uint32_t>(port);
  if (!Open(udpTag != nullptr)) {
    Close();
    return false;
  }
  const platform::SockAddrV4 at = Address(ip, port, udpTag);
  bool ok;
  if (udpMode_) {
    ok = Transport().Bind(handle_, at) == 0 && Transport().Listen(handle_, kUdpBacklog) == 0;
  } else {
    platform::SetReuseAddress(handle_);
    ok = platform::Bind(handle_, at) == 0 && platform::Listen(handle_, kTcpBacklog) == 0;
  }
  if (!ok) {
    lastError_ = platform::LastSocketError();
    Close();
    return false;
  }
  listening_ = true;
  lastActivity_ = NetClockNow();
  return true;
}

std::unique_ptr<QSocket> QSocket::Accept() {
  if (!listening_ || !HasHandle() || localPort_ == 0) return nullptr;
  if (blocking_) WaitReadable(-1);
  platform::SockAddrV4 peer;
  const int h = udpMode_ ? Transport().Accept(handle_, &peer) : platform::Accept(handle_, &peer);
  if (h < 0 || (udpMode_ && h == 0)) {
    const int err = platform::LastSocketError();
    // Only a broken listener is closed: a peer that gave up before the accept, or a moment
    // without free descriptors, must not end listening.
    if (!udpMode_ && (err == platform::kWsaEnotsock || err == platform::kWsaEinval)) {
      lastError_ = err;
      Close();
    }
    return nullptr;
  }
  auto s = std::make_unique<QSocket>();
  const uint64_t now = NetClockNow();
  s->handle_ = h;
  s->udpMode_ = udpMode_;
  s->localIp_ = localIp_;
  s->localPort_ = localPort_;
  s->remoteIp_ = peer.ip;
  s->remotePort_ = peer.port;
  s->ready_ = true;
  s->connected_ = true;
  s->hostText_ = DottedQuadText(peer.ip);
  s->connectedAt_ = now;
  s->lastActivity_ = now;
  SetLocalTag(s->localTag_, peer.spare);
  return s;
}

// ---- settings and closing ----

bool QSocket::BindLocal(int port, uint32_t ip) {
  if (udpMode_) return true;
  if (!HasHandle() || localIp_ != 0 || listening_) return false;
  if (platform::Bind(handle_, Address(ip, port, nullptr)) == 0) return true;
  lastError_ = platform::LastSocketError();
  CloseHandle();
  return false;
}

bool QSocket::SetReceiveBufferSize(int bytes) {
  if (udpMode_) return true;
  if (!connected_ || !HasHandle()) return false;
  if (bytes <= 0 || bytes > kMaxReceiveBufferOption) bytes = kDefaultSocketReceiveBuffer;
  return platform::SetReceiveBufferSize(handle_, bytes);
}

bool QSocket::WaitReadable(int timeoutSec) {
  if (!listening_ && remoteIp_ == 0) return false;
  if (tls_ && tls_->HasBuffered()) return true;
  return WaitFor(platform::kWaitRead, readableHint_, timeoutSec);
}

bool QSocket::WaitWritable(int timeoutSec) {
  if (remoteIp_ == 0) return false;
  return WaitFor(platform::kWaitWrite, writableHint_, timeoutSec);
}

bool QSocket::WaitFor(int what, bool& hint, int timeoutSec) {
  if (!HasHandle()) return false;
  if (hint) {
    hint = false;
    return true;
  }
  return RawWait(what, WaitMs(timeoutSec)) > 0;
}

int QSocket::WaitMs(int timeoutSec) const {
  if (timeoutSec == -2) return blocking_ ? -1 : 0;
  if (timeoutSec < 0) return -1;
  return timeoutSec > INT_MAX / 1000 ? INT_MAX : timeoutSec * 1000;
}

std::string QSocket::LocalAddressText() const { return DottedQuadText(LocalAddress()); }

void QSocket::CloseHandle() {
  tls_.reset();
  tlsReadFull_ = false;
  if (!HasHandle()) return;
  if (udpMode_) {
    if (IStreamTransport* transport = IStreamTransport::Current()) transport->Close(handle_);
  } else {
    platform::CloseSocket(handle_);
  }
  handle_ = platform::kNoSocket;
}

void QSocket::CloseOnError() {
  CloseHandle();
  recv_.used = 0;
  if (recv_.data) recv_.data[0] = 0;
  udpMode_ = false;
}

void QSocket::Close() {
  CloseHandle();
  ReleaseBuffer(send_);
  ReleaseBuffer(recv_);
  ready_ = false;
  hostText_.clear();
  remoteIp_ = 0;
  localIp_ = 0;
  remotePort_ = 0;
  localPort_ = 0;
  readableHint_ = false;
  writableHint_ = false;
  connected_ = false;
  listening_ = false;
  blocking_ = false;
  ownerFlag_ = false;
  bytesSent_ = 0;
  bytesReceived_ = 0;
  lastError_ = 0;
  connectedAt_ = 0;
  lastActivity_ = 0;
  udpMode_ = false;
  keepBuffers_ = false;
  tlsFailure_.clear();
  tlsCertificateRefused_ = false;
  std::memset(localTag_, 0, sizeof localTag_);
}

}  // namespace bw
