#pragma once
#include <cstring>
#include <memory>
#include <vector>

#include "engine/net/UdpStreamTable.h"

namespace bw::fuzz {

// A stream table whose datagrams go nowhere, under a clock the input drives.
class FakeStreamHost : public IUdpStreamHost {
 public:
  explicit FakeStreamHost(uint8_t tagByte) {
    uint8_t tag[kUdpTagSize];
    std::memset(tag, tagByte, sizeof tag);
    identity = MakeUdpIdentity(tag);
    table = std::make_unique<UdpStreamTable>(*this, identity);
    table->SetTimeoutSeconds(30);
  }
  bool SendDatagram(uint32_t, int, const uint8_t*, int length) override {
    sent.push_back(length);
    return true;
  }
  void RequestIntroduction(QUdpStream& s) override { s.introductionSequence = ++introductions; }
  void ForgetPunch(uint32_t, int) override {}
  uint32_t LocalAddress() override { return 0x0100007F; }
  uint32_t NowMs() override { return now; }

  UdpIdentity identity;
  std::unique_ptr<UdpStreamTable> table;
  uint32_t introductions = 0;
  uint32_t now = 1000;
  std::vector<int> sent;
};

}  // namespace bw::fuzz
