#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/common/QBufferPool.h"
#include "engine/net/QProxyInfo.h"
#include "engine/net/TlsSession.h"
#include "platform/Socket.h"
#include "platform/WakeableWait.h"

namespace bw {

// One stream connection, always non-blocking underneath, with its own send queue and receive
// buffer; reaches the remote end directly, through a proxy tunnel, or over the stream transport
// on UDP. Used by one thread at a time.
class QSocket {
 public:
  static constexpr int64_t kDefaultReadSize = 43008;
  // What one socket may hold unread; a peer that sends more without being read is dropped.
  static constexpr int64_t kMaxReceiveHeld = int64_t{16} << 20;
  // The largest system receive buffer SetReceiveBufferSize sets.
  static constexpr int kMaxReceiveBufferOption = 1048576;
  static constexpr int kUdpTagSize = 8;
  static constexpr int kLocalTagSize = 13;

  QSocket();
  ~QSocket();
  QSocket(const QSocket&) = delete;
  QSocket& operator=(const QSocket&) = delete;

  // proxy nullptr: the process-wide record. udpTag (kUdpTagSize bytes) selects the stream
  // transport on UDP. True when the connection is established or in progress.
  bool Connect(uint32_t ip, int port, bool blocking = false, const QProxyInfo* proxy = nullptr,
               uint32_t bindIp = 0, const uint8_t* udpTag = nullptr);
  bool ConnectHost(const std::string& host, int port, bool blocking = false,
                   const QProxyInfo* proxy = nullptr, uint32_t bindIp = 0,
                   const uint8_t* udpTag = nullptr);
  // After a connect: every byte from now on goes through TLS, the certificate checked for
  // hostName. The handshake runs as the connection is used (after a proxy tunnel is open).
  bool StartTls(const std::string& hostName);
  // Why the TLS session failed; empty while it has not.
  const std::string& TlsFailureText() const { return tlsFailure_; }
  bool TlsCertificateRefused() const { return tlsCertificateRefused_; }
  bool Listen(int port, uint32_t ip = 0, const uint8_t* udpTag = nullptr);
  std::unique_ptr<QSocket> Accept();

  // Takes all of the data: writes what the network takes now (at most len bytes in one call) and
  // queues the rest. Returns the bytes written, or -1 after an error (the socket is then closed).
  int64_t Send(const void* data, int64_t len);
  // Writes up to n queued bytes (n <= 0: all).
  int64_t Flush(int64_t n = 0) { return Send(nullptr, n); }
  // Reads at most size bytes (<= 0: kDefaultReadSize). Returns the bytes held; 0 while the
  // connect or the proxy reply is incomplete; -1 on error, orderly close or no connection.
  int64_t Receive(int64_t size = -1);
  // Reads as Receive does but into places, in order, instead of the receive buffer: a body is
  // received where its bytes belong. Only once the connection is ready (after a proxy tunnel), and
  // at most platform::kMaxRecvBuffers places. Returns the bytes read (0 when none are waiting),
  // -1 as Receive.
  int64_t ReceiveInto(std::span<const std::span<uint8_t>> places);
  // Holds bytes that ReceiveInto read after those held, as if Receive had read them.
  bool HoldReceived(const uint8_t* data, int64_t n);
  // Drops n bytes (negative: all) from the front of the receive buffer.
  void ConsumeReceived(int64_t n, bool keep = false);

  bool IsConnected();
  // timeoutSec: -2 polls (waits without limit in blocking mode), other negatives wait without limit.
  bool WaitReadable(int timeoutSec);
  bool WaitWritable(int timeoutSec);
  bool SetReceiveBufferSize(int bytes);
  bool BindLocal(int port, uint32_t ip);
  void Close();

  uint32_t RemoteAddress() const { return HasHandle() ? remoteIp_ : 0; }
  int RemotePort() const { return HasHandle() && remoteIp_ ? remotePort_ : 0; }
  uint32_t LocalAddress() const { return connected_ || listening_ ? localIp_ : 0; }
  uint32_t LocalPort() const { return connected_ || listening_ ? localPort_ : 0; }
  std::string LocalAddressText() const;
  const std::string& HostText() const { return hostText_; }
  const uint8_t* LocalTag() const { return localTag_; }

  bool IsOpen() const { return HasHandle(); }
  bool IsReady() const { return ready_; }
  bool IsListening() const { return listening_; }
  bool IsUdpMode() const { return udpMode_; }
  uint64_t BytesSent() const { return bytesSent_; }
  uint64_t BytesReceived() const { return bytesReceived_; }
  uint64_t ConnectedAt() const { return connectedAt_; }
  uint64_t LastActivity() const { return lastActivity_; }
  int LastError() const { return lastError_; }

  // Always 0-terminated after the held bytes (an empty buffer is "" rather than nullptr).
  const uint8_t* ReceivedData() const;
  int64_t ReceivedSize() const { return recv_.used; }
  int64_t ReceiveCapacity() const { return recv_.cap; }
  int64_t SendQueued() const { return send_.used; }
  int64_t SendCapacity() const { return send_.cap; }

  void SetKeepBuffers(bool keep) { keepBuffers_ = keep; }
  bool OwnerFlag() const { return ownerFlag_; }
  void SetOwnerFlag(bool on) { ownerFlag_ = on; }
  // The next wait succeeds at once.
  void SetReadableHint() { readableHint_ = true; }
  void SetWritableHint() { writableHint_ = true; }

  // What a wait on the system's sockets watches for this connection: its input, and its output
  // while a connect is under way or bytes wait to leave. No handle in stream-over-UDP mode, where
  // WatchStream waits instead.
  platform::SocketWatch Watch() const;
  // Stream-over-UDP mode: the ready bits of what now; when none, wait is woken once as soon as one
  // comes. A call with wait nullptr ends the request, and must come before the waiter goes.
  int WatchStream(int what, platform::WakeableWait* wait) const;
  // The last read stopped at its size: the rest of a TLS record, or records read from the network
  // ahead, wait in the session, where no wait on the socket sees them.
  bool MayHoldTlsInput() const { return tlsReadFull_; }

  // The pool all socket buffers come from; the task loop trims it.
  static QBufferPool& BufferPool();

 private:
  struct Buffer {
    uint8_t* data = nullptr;
    int64_t used = 0;
    int64_t cap = 0;
  };

  bool HasHandle() const { return handle_ != platform::kNoSocket; }
  bool ConnectWith(uint32_t ip, int port, bool blocking, QProxyInfo settings, uint32_t bindIp,
                   const uint8_t* udpTag);
  bool Open(bool udp);
  void MarkConnected();
  void CloseHandle();
  void CloseOnError();
  int WaitMs(int timeoutSec) const;
  bool WaitFor(int what, bool& hint, int timeoutSec);

  bool SendProxyRequest(bool hostTarget);
  bool RawSendAll(const std::string& bytes, int timeoutSec);
  bool RawReadExact(uint8_t* out, int64_t n, int timeoutSec);
  int64_t AdvanceTunnel();

  int64_t ReceiveTls(int64_t size);
  // Reads from the session into places until they are full or it has nothing more: the bytes
  // read, -1 when the session failed or closed.
  int64_t ReadTls(std::span<const std::span<uint8_t>> places);
  // The outcome of a TLS call that moved no bytes: 0 to try again later, -1 closed.
  int64_t TlsStall(int64_t result);

  // The outcome of a raw read: the bytes read, 0 when none wait, -1 after a close or an error
  // (the socket closed then).
  int64_t TakeRead(int64_t n);
  int64_t RawSend(const uint8_t* data, int64_t len);
  int64_t RawRecv(uint8_t* buffer, int64_t len);
  int RawWait(int what, int timeoutMs);
  int64_t Write(const uint8_t* data, int64_t len);
  int64_t WriteQueued(int64_t n);

  bool Grow(Buffer& b, int64_t need, int64_t slack);
  bool Reallocate(Buffer& b, int64_t cap);
  void Consume(Buffer& b, int64_t n, bool keep);
  void ReleaseBuffer(Buffer& b);
  bool Queue(const uint8_t* data, int64_t len);

  QProxyInfo proxy_;
  bool ready_ = false;
  std::string hostText_;
  uint32_t remoteIp_ = 0;
  uint32_t localIp_ = 0;
  int handle_ = platform::kNoSocket;
  Buffer send_;
  Buffer recv_;
  int remotePort_ = 0;
  uint32_t localPort_ = 0;
  bool readableHint_ = false;
  bool writableHint_ = false;
  bool connected_ = false;
  bool listening_ = false;
  bool blocking_ = false;
  bool ownerFlag_ = false;
  uint64_t bytesSent_ = 0;
  uint64_t bytesReceived_ = 0;
  int lastError_ = 0;
  uint64_t connectedAt_ = 0;
  uint64_t lastActivity_ = 0;
  bool udpMode_ = false;
  bool keepBuffers_ = false;
  std::unique_ptr<TlsSession> tls_;
  std::string tlsFailure_;
  bool tlsCertificateRefused_ = false;
  bool tlsReadFull_ = false;
  uint8_t localTag_[kLocalTagSize] = {};
};

}  // namespace bw
