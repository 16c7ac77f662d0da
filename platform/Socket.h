#pragma once
#include <cstdint>
#include <span>

namespace platform {

// Error codes as the engine knows them (Windows Sockets numbering); errno values map onto them.
enum SocketError : int {
  kSockOk = 0,
  kWsaEintr = 10004,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEalready = 10037,
  kWsaEnotsock = 10038,
  kWsaEmsgsize = 10040,
  kWsaEafnosupport = 10047,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetdown = 10050,
  kWsaEnetunreach = 10051,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEisconn = 10056,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostunreach = 10065,
  kWsaNotInitialised = 10093,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;

// An IPv4 socket address: ip in network order, port in host order, and the 8 spare bytes that
// the stream-over-UDP transport uses to carry an engine tag.
struct SockAddrV4 {
  uint32_t ip = 0;
  uint16_t port = 0;
  uint8_t spare[8] = {};
};

// Readiness bits for WaitSocket.
enum : int { kWaitRead = 1, kWaitWrite = 2, kWaitError = 4 };

// The socket library needs no start-up here; reports version 2 like the system expects.
bool SocketStartup(int* version);

// Error of the last socket call on this thread; the stream-over-UDP transport sets it too.
int LastSocketError();
void SetLastSocketError(int code);
int MapErrno(int err);

// All calls return -1 (or kNoSocket) on failure and set the thread's last socket error.
SocketHandle OpenTcpSocket();
SocketHandle OpenUdpSocket();
bool SetNonBlocking(SocketHandle s, bool on);
bool SetReuseAddress(SocketHandle s);
bool SetReceiveBufferSize(SocketHandle s, int bytes);
int Connect(SocketHandle s, const SockAddrV4& to);
int Bind(SocketHandle s, const SockAddrV4& at);
int Listen(SocketHandle s, int backlog);
// The accepted socket is non-blocking already.
SocketHandle Accept(SocketHandle s, SockAddrV4* peer);
// Never raises SIGPIPE; a peer that went away is an error.
int64_t Send(SocketHandle s, const void* data, int64_t len);
int64_t Recv(SocketHandle s, void* buffer, int64_t len);
// One receive filling the buffers in order; buffers past the first kMaxRecvBuffers stay unfilled.
constexpr size_t kMaxRecvBuffers = 64;
int64_t RecvInto(SocketHandle s, std::span<const std::span<uint8_t>> buffers);
// One datagram each; a datagram longer than len is cut to len.
int64_t SendTo(SocketHandle s, const void* data, int64_t len, const SockAddrV4& to);
int64_t RecvFrom(SocketHandle s, void* buffer, int64_t len, SockAddrV4* from);
// One datagram of a batch read: the buffer it goes to, then its length and sender.
struct DatagramSlot {
  void* buffer = nullptr;
  int64_t capacity = 0;
  int64_t length = 0;
  // Datagrams the system joined into one (see EnableDatagramJoining): the length of each, the
  // last possibly shorter; 0 for a single datagram.
  int64_t segment = 0;
  SockAddrV4 from;
};
// Up to count waiting datagrams with one call: how many arrived (at least 1), or -1 (with
// kWsaEwouldblock when none was waiting).
int RecvFromBatch(SocketHandle s, DatagramSlot* slots, int count);
// Lets the system hand over a run of datagrams from one sender as one buffer (see
// DatagramSlot::segment), which a slot must then have room for: 65,535 bytes. False when it cannot.
bool EnableDatagramJoining(SocketHandle s);
// Datagrams to one address with as few calls as the system allows; the wire sees the same
// datagrams. Where the system segments, a run of equal lengths (the last possibly shorter) goes as
// one buffer; *segmenting is cleared for good when it cannot. How many went out from the first, or
// -1 when not even the first did.
int SendToRun(SocketHandle s, const uint8_t* const* datagrams, const int* lengths, int count,
              const SockAddrV4& to, bool* segmenting);
int GetSockName(SocketHandle s, SockAddrV4* local);
// The pending error of a connect (0 when none), as a mapped code.
int PendingError(SocketHandle s);
void CloseSocket(SocketHandle s);

// Waits until the socket is ready for what `what` asks (kWaitRead, kWaitWrite), or until
// timeoutMs passes (negative: no limit). Returns the ready bits (errors included as kWaitError),
// 0 on time-out, -1 on failure.
int WaitSocket(SocketHandle s, int what, int timeoutMs);

}  // namespace platform
