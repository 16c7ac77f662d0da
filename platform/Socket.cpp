#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

thread_local int tLastError = 0;

int Fail() {
  tLastError = MapErrno(errno);
  return -1;
}

sockaddr_in ToNative(const SockAddrV4& a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = a.ip;
  sa.sin_port = htons(a.port);
  std::memcpy(sa.sin_zero, a.spare, sizeof a.spare);
  return sa;
}

void FromNative(const sockaddr_in& sa, SockAddrV4* a) {
  a->ip = sa.sin_addr.s_addr;
  a->port = ntohs(sa.sin_port);
  std::memcpy(a->spare, sa.sin_zero, sizeof a->spare);
}

}  // namespace

bool SocketStartup(int* version) {
  if (version) *version = 2;
  return true;
}

int LastSocketError() { return tLastError; }
void SetLastSocketError(int code) { tLastError = code; }

int MapErrno(int err) {
  switch (err) {
    case 0: return kSockOk;
    case EINTR: return kWsaEintr;
    case EBADF: return kWsaEnotsock;
    case EACCES: case EPERM: return kWsaEacces;
    case EFAULT: return kWsaEfault;
    case EINVAL: return kWsaEinval;
    case EMFILE: case ENFILE: return kWsaEmfile;
    case EAGAIN: case EINPROGRESS: return kWsaEwouldblock;
    case EALREADY: return kWsaEalready;
    case ENOTSOCK: return kWsaEnotsock;
    case EMSGSIZE: return kWsaEmsgsize;
    case EAFNOSUPPORT: return kWsaEafnosupport;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETDOWN: return kWsaEnetdown;
    case ENETUNREACH: return kWsaEnetunreach;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET: return kWsaEconnreset;
    case EPIPE: return kWsaEshutdown;
    case ENOBUFS: case ENOMEM: return kWsaEnobufs;
    case EISCONN: return kWsaEisconn;
    case ENOTCONN: return kWsaEnotconn;
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case EHOSTUNREACH: case EHOSTDOWN: return kWsaEhostunreach;
    default: return kWsaEinval;
  }
}

SocketHandle OpenTcpSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? Fail() : s;
}

bool SetNonBlocking(SocketHandle s, bool on) {
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return Fail(), false;
  if (::fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0) return Fail(), false;
  return true;
}

bool SetReuseAddress(SocketHandle s) {
  const int one = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 || (Fail(), false);
}

bool SetReceiveBufferSize(SocketHandle s, int bytes) {
  return ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0 || (Fail(), false);
}

int Connect(SocketHandle s, const SockAddrV4& to) {
  const sockaddr_in sa = ToNative(to);
  return ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : Fail();
}

SocketHandle OpenUdpSocket() {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return s < 0 ? Fail() : s;
}

int Bind(SocketHandle s, const SockAddrV4& at) {
  const sockaddr_in sa = ToNative(at);
  return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : Fail();
}

int Listen(SocketHandle s, int backlog) { return ::listen(s, backlog) == 0 ? 0 : Fail(); }

SocketHandle Accept(SocketHandle s, SockAddrV4* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  const int c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (c < 0) return Fail();
  if (peer) FromNative(sa, peer);
  return c;
}

int64_t Send(SocketHandle s, const void* data, int64_t len) {
  const ssize_t n = ::send(s, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  return n < 0 ? Fail() : n;
}

int64_t Recv(SocketHandle s, void* buffer, int64_t len) {
  const ssize_t n = ::recv(s, buffer, static_cast<size_t>(len), 0);
  return n < 0 ? Fail() : n;
}

int64_t RecvInto(SocketHandle s, std::span<const std::span<uint8_t>> buffers) {
  iovec vectors[kMaxRecvBuffers];
  const size_t count = std::min(buffers.size(), kMaxRecvBuffers);
  for (size_t i = 0; i < count; ++i) vectors[i] = {buffers[i].data(), buffers[i].size()};
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  const ssize_t n = ::recvmsg(s, &message, 0);
  return n < 0 ? Fail() : n;
}

int64_t SendTo(SocketHandle s, const void* data, int64_t len, const SockAddrV4& to) {
  const sockaddr_in sa = ToNative(to);
  const ssize_t n = ::sendto(s, data, static_cast<size_t>(len), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                             sizeof sa);
  return n < 0 ? Fail() : n;
}

int RecvFromBatch(SocketHandle s, DatagramSlot* slots, int count) {
  constexpr int kMaxBatch = 64;
  count = std::min(count, kMaxBatch);
  mmsghdr messages[kMaxBatch];
  iovec parts[kMaxBatch];
  sockaddr_in senders[kMaxBatch];
  alignas(cmsghdr) char controls[kMaxBatch][CMSG_SPACE(sizeof(int))];
  for (int i = 0; i < count; ++i) {
    parts[i] = {slots[i].buffer, static_cast<size_t>(slots[i].capacity)};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_control = controls[i];
    messages[i].msg_hdr.msg_controllen = sizeof controls[i];
  }
  const int n = ::recvmmsg(s, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  if (n <= 0) return n < 0 ? Fail() : (SetLastSocketError(kWsaEwouldblock), -1);
  for (int i = 0; i < n; ++i) {
    slots[i].length = messages[i].msg_len;
    slots[i].segment = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
      if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO) continue;
      int segment;
      std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
      if (segment > 0 && segment < slots[i].length) slots[i].segment = segment;
    }
    FromNative(senders[i], &slots[i].from);
  }
  return n;
}

bool EnableDatagramJoining(SocketHandle s) {
  const int one = 1;
  return ::setsockopt(s, SOL_UDP, UDP_GRO, &one, sizeof one) == 0 || (Fail(), false);
}

namespace {

constexpr int kMaxRun = 64;
// The most payload one datagram, and so one segmented buffer, can carry.
constexpr int kMaxUdpPayload = 65507;

// How many datagrams from the first can go as one segmented buffer: equal lengths, the last
// possibly shorter.
int SegmentRun(const int* lengths, int count) {
  const int size = lengths[0];
  const int most = std::min({count, kMaxRun, kMaxUdpPayload / std::max(size, 1)});
  int n = 1;
  while (n < most && lengths[n] <= size) {
    if (lengths[n++] < size) break;
  }
  return n;
}

// -1 with errno set, else the count.
int SendSegmented(SocketHandle s, const uint8_t* const* datagrams, const int* lengths, int count,
                  const sockaddr_in& to) {
  iovec parts[kMaxRun];
  for (int i = 0; i < count; ++i) parts[i] = {const_cast<uint8_t*>(datagrams[i]), static_cast<size_t>(lengths[i])};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_in*>(&to);
  message.msg_namelen = sizeof to;
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<size_t>(count);
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  const auto segment = static_cast<uint16_t>(lengths[0]);
  std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
  return ::sendmsg(s, &message, MSG_NOSIGNAL) < 0 ? -1 : count;
}

int SendEach(SocketHandle s, const uint8_t* const* datagrams, const int* lengths, int count, const sockaddr_in& to) {
  count = std::min(count, kMaxRun);
  mmsghdr messages[kMaxRun];
  iovec parts[kMaxRun];
  for (int i = 0; i < count; ++i) {
    parts[i] = {const_cast<uint8_t*>(datagrams[i]), static_cast<size_t>(lengths[i])};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  return ::sendmmsg(s, messages, static_cast<unsigned>(count), MSG_NOSIGNAL);
}

}  // namespace

int SendToRun(SocketHandle s, const uint8_t* const* datagrams, const int* lengths, int count,
              const SockAddrV4& to, bool* segmenting) {
  const sockaddr_in sa = ToNative(to);
  int sent = 0;
  while (sent < count) {
    const int run = *segmenting ? SegmentRun(lengths + sent, count - sent) : 0;
    int n = run >= 2 ? SendSegmented(s, datagrams + sent, lengths + sent, run, sa) : -1;
    // Devices without checksum offload and older systems refuse segmenting: each datagram goes
    // on its own from then on.
    if (n < 0 && run >= 2 && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
      *segmenting = false;
    }
    if (n < 0 && (run < 2 || !*segmenting)) {
      n = SendEach(s, datagrams + sent, lengths + sent, *segmenting ? 1 : count - sent, sa);
    }
    if (n <= 0) return sent > 0 ? sent : Fail();
    sent += n;
  }
  return sent;
}

int64_t RecvFrom(SocketHandle s, void* buffer, int64_t len, SockAddrV4* from) {
  sockaddr_in sa{};
  socklen_t size = sizeof sa;
  const ssize_t n = ::recvfrom(s, buffer, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&sa), &size);
  if (n < 0) return Fail();
  if (from) FromNative(sa, from);
  return n;
}

int GetSockName(SocketHandle s, SockAddrV4* local) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return Fail();
  FromNative(sa, local);
  return 0;
}

int PendingError(SocketHandle s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return MapErrno(errno);
  return MapErrno(err);
}

void CloseSocket(SocketHandle s) {
  if (s >= 0) ::close(s);
}

int WaitSocket(SocketHandle s, int what, int timeoutMs) {
  pollfd p{s, static_cast<short>(((what & kWaitRead) ? POLLIN : 0) | ((what & kWaitWrite) ? POLLOUT : 0)), 0};
  int rc;
  while ((rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs)) < 0 && errno == EINTR) {
  }
  if (rc < 0) return Fail();
  if (rc == 0) return 0;
  int ready = 0;
  if (p.revents & (POLLIN | POLLHUP)) ready |= kWaitRead;
  if (p.revents & POLLOUT) ready |= kWaitWrite;
  if (p.revents & (POLLERR | POLLNVAL)) ready |= kWaitError;
  return ready;
}

}  // namespace platform
