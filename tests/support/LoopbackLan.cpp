// Linked into every test program that runs engine tasks: their LAN discovery stays on the
// loopback interface and a port of the program's own, so that no datagram leaves the host and
// two test programs do not hear each other.
#include <arpa/inet.h>

#include "engine/task/EngineSettings.h"
#include "tests/net/LoopbackServer.h"

namespace {

bool KeepLanOnLoopback() {
  bw::ProcessSettings().lanInterface = htonl(INADDR_LOOPBACK);
  bw::ProcessSettings().lanPort = bw::test::FreePort();
  return true;
}

const bool kLanOnLoopback = KeepLanOnLoopback();

}  // namespace
