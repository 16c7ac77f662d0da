// bwrendezvous: the rendezvous server that engines meet through on the UDP transport.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"
#include "tools/bwrendezvous/RendezvousServer.h"

namespace {

constexpr int kMaxDatagram = 8192;

int Usage() {
  std::fprintf(stderr,
               "usage: bwrendezvous [--address A.B.C.D] [--port N]\n"
               "  Answers address probes, registrations and introductions of engines on UDP.\n"
               "  --address  the address to listen on (default 127.0.0.1)\n"
               "  --port     the UDP port (default 0: one the system picks; printed at start)\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SockAddrV4 at;
  inet_pton(AF_INET, "127.0.0.1", &at.ip);
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--address") == 0 && hasValue) {
      if (inet_pton(AF_INET, argv[++i], &at.ip) != 1) return Usage();
    } else if (std::strcmp(argv[i], "--port") == 0 && hasValue) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != 0 || value < 0 || value > 65535) return Usage();
      at.port = static_cast<uint16_t>(value);
    } else {
      return Usage();
    }
  }
  platform::CatchStopSignals();
  const platform::SocketHandle socket = platform::OpenUdpSocket();
  platform::SockAddrV4 bound;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &at.ip, text, sizeof text);
  if (socket == platform::kNoSocket || platform::Bind(socket, at) != 0 ||
      platform::GetSockName(socket, &bound) != 0) {
    std::fprintf(stderr, "bwrendezvous: cannot listen on %s:%d\n", text, at.port);
    return 2;
  }
  std::printf("bwrendezvous listening on %s:%d\n", text, bound.port);
  std::fflush(stdout);
  bwrendezvous::RendezvousServer server(socket);
  uint8_t datagram[kMaxDatagram];
  while (platform::StopSignal() == 0) {
    const int ready = platform::WaitSocket(socket, platform::kWaitRead, 500);
    if (ready < 0) break;
    if (ready == 0) continue;
    platform::SockAddrV4 from;
    const int64_t n = platform::RecvFrom(socket, datagram, sizeof datagram, &from);
    if (n > 0) {
      server.Handle(datagram, static_cast<size_t>(n), from.ip, from.port, platform::TickCountMs() / 1000);
    }
  }
  platform::CloseSocket(socket);
  return 0;
}
