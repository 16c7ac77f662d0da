#include "engine/net/UdpStreamTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/net/BigEndian.h"
#include "engine/net/UdpStreamWire.h"
#include "platform/WakeableWait.h"

namespace bw {
namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network order on this host
constexpr int kListenPort = 6881;

struct Datagram {
  int from = 0;
  int to = 0;
  std::vector<uint8_t> bytes;
};

// Two connection tables joined by an in-memory network under a hand-driven clock, so each test
// decides which datagram arrives, when, and how often.
class Link {
 public:
  class Host : public IUdpStreamHost {
   public:
    Host(Link& link, int port, uint8_t tagByte) : link_(link), port_(port) {
      uint8_t tag[kUdpTagSize];
      std::memset(tag, tagByte, sizeof tag);
      identity = MakeUdpIdentity(tag);
      table = std::make_unique<UdpStreamTable>(*this, identity);
      table->SetTimeoutSeconds(30);
    }
    bool SendDatagram(uint32_t, int port, const uint8_t* data, int length) override {
      if (link_.blocked) return false;
      link_.wire.push_back({port_, port, std::vector<uint8_t>(data, data + length)});
      return true;
    }
    void RequestIntroduction(QUdpStream& s) override {
      s.introductionSequence = ++introductions;
      wanted.push_back(s.handle);
    }
    void ForgetPunch(uint32_t, int) override {}
    uint32_t LocalAddress() override { return kLoopback; }
    uint32_t NowMs() override { return link_.now; }

    UdpIdentity identity;
    std::unique_ptr<UdpStreamTable> table;
    uint32_t introductions = 0;
    std::vector<uint32_t> wanted;

   private:
    Link& link_;
    int port_;
  };

  Host a{*this, 1000, 0xA1};
  Host b{*this, 2000, 0xB2};
  uint32_t now = 5000;
  bool blocked = false;
  std::vector<Datagram> wire;

  UdpStreamTable& TableAt(int port) { return *(port == 1000 ? a : b).table; }

  // Delivers what is on the wire (and what the deliveries cause) until it is quiet; the filter
  // may drop a datagram (false) or change it.
  int Deliver(const std::function<bool(Datagram&)>& filter = nullptr) {
    int delivered = 0;
    while (!wire.empty()) {
      std::vector<Datagram> batch;
      batch.swap(wire);
      for (Datagram& d : batch) {
        if (filter && !filter(d)) continue;
        TableAt(d.to).HandlePacket(d.bytes.data(), d.bytes.size(), kLoopback, d.from);
        TableAt(d.to).WakeWaiters();
        ++delivered;
      }
    }
    return delivered;
  }

  void Passes(int ms) {
    for (int t = 0; t < ms; t += 20) {
      now += 20;
      for (Host* h : {&a, &b}) {
        h->table->RetransmissionPass();
        h->table->AcknowledgementPass();
        if (now % 2000 < 20) h->table->Maintenance();
      }
      Deliver();
    }
  }

  // A connection from a to b's listener: the two handles (a's, b's).
  std::pair<int, int> Connect() {
    const int listener = b.table->Socket();
    platform::SockAddrV4 at;
    at.port = kListenPort;
    EXPECT_EQ(b.table->Bind(listener, at), 0);
    EXPECT_EQ(b.table->Listen(listener, 5), 0);
    const int client = a.table->Socket();
    EXPECT_EQ(a.table->Connect(client, To(b)), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::kWsaEwouldblock);
    IntroducedPeer peer{kLoopback, 2000, {}};
    std::memcpy(peer.tag, b.identity.data(), kUdpTagSize);
    a.table->HandleIntroduction(a.introductions, {peer});
    Deliver();
    platform::SockAddrV4 from;
    const int accepted = b.table->Accept(listener, &from);
    EXPECT_GT(accepted, 0);
    EXPECT_EQ(std::memcmp(from.spare, a.identity.data(), kUdpTagSize), 0);
    return {client, accepted};
  }

  static platform::SockAddrV4 To(const Host& h, int port = kListenPort) {
    platform::SockAddrV4 to;
    to.ip = kLoopback;
    to.port = static_cast<uint16_t>(port);
    std::memcpy(to.spare, h.identity.data(), kUdpTagSize);
    return to;
  }
};

std::string Pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

std::string ReadAll(UdpStreamTable& t, int handle) {
  std::string out;
  uint8_t buf[4096];
  for (;;) {
    const int n = t.Recv(handle, buf, sizeof buf);
    if (n <= 0) return out;
    out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
}

// Sends all of data from one table to the other, reading as it goes, with the network filter.
std::string Transfer(Link& link, UdpStreamTable& from, int fromHandle, UdpStreamTable& to,
                     int toHandle, const std::string& data,
                     const std::function<bool(Datagram&)>& filter = nullptr, int maxMs = 600000) {
  size_t sent = 0;
  std::string got;
  for (int ms = 0; ms < maxMs && got.size() < data.size(); ms += 20) {
    if (sent < data.size()) {
      const int n = from.Send(fromHandle, reinterpret_cast<const uint8_t*>(data.data()) + sent,
                              static_cast<int>(data.size() - sent));
      if (n > 0) sent += static_cast<size_t>(n);
    }
    link.Deliver(filter);
    got += ReadAll(to, toHandle);
    link.now += 20;
    from.RetransmissionPass();
    for (UdpStreamTable* t : {&from, &to}) t->AcknowledgementPass();
    link.Deliver(filter);
    got += ReadAll(to, toHandle);
  }
  return got;
}

TEST(UdpStreamTableTest, HandshakeThenBytesBothWaysArriveExact) {
  Link link;
  const auto [client, server] = link.Connect();
  const std::string up = Pattern(100000);
  const std::string down = Pattern(7000).substr(123);
  EXPECT_EQ(Transfer(link, *link.a.table, client, *link.b.table, server, up), up);
  EXPECT_EQ(Transfer(link, *link.b.table, server, *link.a.table, client, down), down);
  platform::SockAddrV4 local;
  ASSERT_EQ(link.a.table->GetSockName(client, &local), 0);
  EXPECT_EQ(local.port, kListenPort);
  EXPECT_EQ(std::memcmp(local.spare, link.a.identity.data(), kUdpTagSize), 0);
}

TEST(UdpStreamTableTest, LossDuplicatesAndReorderingStillDeliverInOrder) {
  Link link;
  const auto [client, server] = link.Connect();
  int n = 0;
  std::vector<Datagram> held;
  // Every 7th datagram lost, every 5th doubled, every 3rd held back behind the next one.
  const auto misbehave = [&](Datagram& d) {
    ++n;
    if (n % 7 == 0) return false;
    if (n % 5 == 0) link.wire.push_back(d);
    if (n % 3 == 0) {
      held.push_back(d);
      return false;
    }
    for (Datagram& h : held) link.wire.push_back(std::move(h));
    held.clear();
    return true;
  };
  const std::string data = Pattern(60000);
  EXPECT_EQ(Transfer(link, *link.a.table, client, *link.b.table, server, data, misbehave), data);
}

// Send takes a bounded amount at once; the receiver's acknowledgements alone then carry all of it
// across (no retransmission pass, no further send), resending what they report missing.
TEST(UdpStreamTableTest, AcknowledgementsDrainTheBoundedSendQueue) {
  for (const bool loseOne : {false, true}) {
    Link link;
    const auto [client, server] = link.Connect();
    const std::string data = Pattern(QUdpStream::kSendQueueBytes + 5000);
    ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size())),
              static_cast<int>(QUdpStream::kSendQueueBytes));
    bool lost = !loseOne;
    std::string got;
    for (int round = 0; round < 1000 && got.size() < QUdpStream::kSendQueueBytes; ++round) {
      link.Deliver([&](Datagram& d) {
        if (lost || LoadBe32(d.bytes.data() + kOffType) != kUdpData) return true;
        lost = true;
        return false;
      });
      got += ReadAll(*link.b.table, server);
      link.now += 40;  // past the guard against resending what just went out
      link.b.table->AcknowledgementPass();
    }
    EXPECT_TRUE(lost);
    EXPECT_EQ(got.size(), QUdpStream::kSendQueueBytes) << loseOne;
    EXPECT_TRUE(got == data.substr(0, got.size())) << loseOne;
    EXPECT_NE(link.a.table->Readiness(client, platform::kWaitWrite), 0);
  }
}

TEST(UdpStreamTableTest, WindowAndPacketSizeFollowTheLossRate) {
  constexpr int kPlain = QUdpStream::kPlainAckSlots;
  struct Case {
    uint32_t sent, resent;
    int peerSlots, window, payload;
  } cases[] = {
      {0, 0, kPlain, 13, 660},      // too few sent to judge: counted as 50 %
      {30, 0, kPlain, 24, 1320},
      {30, 9, kPlain, 18, 1320},    // 30 %
      {100, 31, kPlain, 17, 660},   // 31 %
      {100, 100, kPlain, 1, 660},
      {100, 0, 4096, QUdpStream::kSlots, 1320},  // a peer with more slots than we send
      {100, 30, QUdpStream::kSlots, QUdpStream::kSlots * 75 / 100, 1320},
      {100, 0, 1, 1, 1320},
  };
  for (const Case& c : cases) {
    QUdpStream s;
    s.sentPackets = c.sent;
    s.retransmittedPackets = c.resent;
    s.peerSlots = c.peerSlots;
    EXPECT_EQ(s.Window(), c.window) << c.sent << "/" << c.resent << " " << c.peerSlots;
    EXPECT_EQ(s.PayloadLimit(), c.payload) << c.sent << "/" << c.resent;
  }
}

// Rewrites an acknowledgement as an engine that knows only the 64-byte header sends it.
bool PlainAcknowledgements(Datagram& d) {
  if (LoadBe32(d.bytes.data() + kOffType) != kUdpAck) return true;
  d.bytes.resize(kStreamHeaderSize);
  SealStreamPacket(d.bytes.data(), kStreamHeaderSize, LoadBe32(&d.bytes[kOffConnection]),
                   LoadBe32(&d.bytes[kOffSequence]), kUdpAck, &d.bytes[kOffIdentity]);
  return true;
}

int DataOnWire(Link& link) {
  int count = 0;
  for (const Datagram& d : link.wire) count += LoadBe32(d.bytes.data() + kOffType) == kUdpData;
  return count;
}

// Past the slots an acknowledgement's header can flag, but only towards a peer whose
// acknowledgements announce that many slots; never more than the receiver keeps.
TEST(UdpStreamTableTest, WindowWidensOnlyForAPeerThatAnnouncesMoreSlots) {
  const struct {
    bool plainPeer;
    int inFlight;
  } cases[] = {{false, QUdpStream::kSlots}, {true, QUdpStream::kPlainAckSlots}};
  for (const auto& c : cases) {
    Link link;
    const auto [client, server] = link.Connect();
    const auto filter = c.plainPeer ? std::function<bool(Datagram&)>(PlainAcknowledgements) : nullptr;
    const std::string warmUp = Pattern(100000);
    ASSERT_EQ(Transfer(link, *link.a.table, client, *link.b.table, server, warmUp, filter), warmUp);
    for (int i = 0; i < 5; ++i) {
      link.now += 20;
      link.b.table->AcknowledgementPass();
      link.Deliver(filter);
    }
    const std::string data = Pattern(QUdpStream::kSendQueueBytes);
    ASSERT_GT(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size())), 0);
    EXPECT_EQ(DataOnWire(link), c.inFlight) << c.plainPeer;
    // Whatever the sender does while no acknowledgement comes, nothing more goes out.
    for (int i = 0; i < 10; ++i) {
      link.now += 20;
      link.a.table->RetransmissionPass();
    }
    EXPECT_EQ(DataOnWire(link), c.inFlight) << c.plainPeer;
    std::string got;
    link.Deliver(filter);
    for (int round = 0; round < 100 && got.size() < data.size(); ++round) {
      got += ReadAll(*link.b.table, server);
      link.now += 20;
      link.b.table->AcknowledgementPass();
      link.Deliver(filter);
    }
    EXPECT_TRUE(got == data) << c.plainPeer;
  }
}

// A reader that stops holds the sender to what the receiver keeps; when it reads again the
// sender hears of the room at once, not at the next idle acknowledgement. Also when the reader
// sends too (as requests go back): the sender's acknowledgements then tell that it holds nothing
// unacknowledged, which must not pass for the sender knowing the reader's new base.
TEST(UdpStreamTableTest, StalledReaderBoundsTheSenderAndReleasesItAtOnce) {
  for (const bool readerSends : {false, true}) {
    Link link;
    const auto [client, server] = link.Connect();
    const std::string data = Pattern(4 << 20);
    size_t sent = 0;
    std::string back;
    const auto step = [&] {
      const int n = link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()) + sent,
                                       static_cast<int>(data.size() - sent));
      if (n > 0) sent += static_cast<size_t>(n);
      if (readerSends) {
        ASSERT_EQ(link.b.table->Send(server, reinterpret_cast<const uint8_t*>("request"), 7), 7);
      }
      link.Passes(20);
      back += ReadAll(*link.a.table, client);
    };
    for (int ms = 0; ms < 5000; ms += 20) step();
    // Queued and in flight on the sending side, delivered and held on the receiving one.
    const size_t kept = (QUdpStream::kDeliveryPackets + 2 * QUdpStream::kSlots) * kStreamMaxPayload;
    EXPECT_LE(sent, QUdpStream::kSendQueueBytes + kept);
    std::string got = ReadAll(*link.b.table, server);
    EXPECT_GT(got.size(), 0u);
    const size_t stalledAt = got.size();
    for (int ms = 0; ms < 60; ms += 20) {
      step();
      got += ReadAll(*link.b.table, server);
    }
    EXPECT_GT(got.size(), stalledAt) << readerSends;
    EXPECT_TRUE(got == data.substr(0, got.size()));
    EXPECT_EQ(back.size(), readerSends ? 7u * (5000 + 60) / 20 : 0u);
  }
}

TEST(UdpStreamTableTest, UnacknowledgedPacketIsResentOnlyAfterItsBackOff) {
  Link link;
  const auto [client, server] = link.Connect();
  const std::string data = Pattern(500);
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), 500), 500);
  link.wire.clear();  // the first send is lost
  const auto dataSent = [&] {
    int count = 0;
    for (const Datagram& d : link.wire) count += LoadBe32(d.bytes.data() + kOffType) == kUdpData;
    link.wire.clear();
    return count;
  };
  // Resends wait 1,600 ms (the first send is stamped 5 ms early), then 1,600 + 800 × retries.
  const int waits[] = {1595, 2400, 3200, 4000};
  for (int wait : waits) {
    link.now += static_cast<uint32_t>(wait);
    link.a.table->RetransmissionPass();
    EXPECT_EQ(dataSent(), 0) << wait;
    link.now += 1;
    link.a.table->RetransmissionPass();
    EXPECT_EQ(dataSent(), 1) << wait;
  }
}

// A data packet built by hand, for the checks on what a receiver accepts.
std::vector<uint8_t> DataPacket(const Link::Host& to, uint32_t connection, uint32_t sequence,
                                uint32_t payload, size_t actual) {
  std::vector<uint8_t> p(kStreamHeaderSize + actual);
  StoreBe32(&p[32], payload);
  StoreBe32(&p[36], sequence);
  SealStreamPacket(p.data(), static_cast<uint32_t>(p.size()), connection, 99, kUdpData, to.identity.data());
  return p;
}

TEST(UdpStreamTableTest, DataOutsideTheWindowOrMisSizedIsDropped) {
  Link link;
  const auto [client, server] = link.Connect();
  const std::string first = Pattern(500);
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(first.data()), 500), 500);
  link.Deliver();
  ASSERT_EQ(ReadAll(*link.b.table, server), first);
  const uint32_t serverHandle = static_cast<uint32_t>(server);
  const struct {
    uint32_t sequence, payload;
    size_t actual;
  } hostile[] = {
      {0, 100, 100},          // a duplicate below the receive base
      {0xFFFFFFFF, 100, 100},
      {QUdpStream::kSlots + 1, 100, 100},  // beyond the slots
      {1, 1321, 1321},        // longer than a packet may carry
      {1, 200, 100},          // length field and datagram disagree
      {1, 0, 0},
  };
  for (const auto& h : hostile) {
    const auto p = DataPacket(link.b, serverHandle, h.sequence, h.payload, h.actual);
    link.b.table->HandlePacket(p.data(), p.size(), kLoopback, 1000);
    EXPECT_EQ(link.b.table->Readiness(server, platform::kWaitRead), 0) << h.sequence << " " << h.payload;
  }
  // The connection still works.
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(first.data()), 500), 500);
  link.Deliver();
  EXPECT_EQ(ReadAll(*link.b.table, server), first);
}

bool Woken(platform::WakeableWait& wait) { return wait.Wait({}, 0); }

// A task waits on its connections over UDP through the server: woken once when what it waits
// for comes (input, room to send, the connect done, the close), never for what it did not ask.
TEST(UdpStreamTableTest, WatcherIsWokenOnceWhenWhatItWaitsForComes) {
  Link link;
  platform::WakeableWait wait;
  // The connect completing makes the socket writable.
  const int listener = link.b.table->Socket();
  platform::SockAddrV4 at;
  at.port = kListenPort;
  ASSERT_EQ(link.b.table->Bind(listener, at), 0);
  ASSERT_EQ(link.b.table->Listen(listener, 5), 0);
  const int client = link.a.table->Socket();
  link.a.table->Connect(client, Link::To(link.b));
  EXPECT_EQ(link.a.table->WatchReady(client, platform::kWaitWrite, &wait), 0);
  IntroducedPeer peer{kLoopback, 2000, {}};
  std::memcpy(peer.tag, link.b.identity.data(), kUdpTagSize);
  link.a.table->HandleIntroduction(link.a.introductions, {peer});
  link.Deliver();
  EXPECT_TRUE(Woken(wait));
  const int server = link.b.table->Accept(listener, nullptr);
  ASSERT_GT(server, 0);

  // Input: one wake for a run of packets; none for a watch that asked for output only.
  EXPECT_EQ(link.b.table->WatchReady(server, platform::kWaitWrite, &wait), platform::kWaitWrite);
  EXPECT_EQ(link.b.table->WatchReady(server, platform::kWaitRead, &wait), 0);
  const std::string data = Pattern(5000);
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), 5000), 5000);
  link.Deliver();
  EXPECT_TRUE(Woken(wait));
  EXPECT_EQ(link.b.table->WatchReady(server, platform::kWaitRead, nullptr), platform::kWaitRead);
  EXPECT_TRUE(ReadAll(*link.b.table, server) == data);
  EXPECT_EQ(link.b.table->WatchReady(server, platform::kWaitRead, nullptr), 0);
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), 100), 100);
  link.Deliver();
  EXPECT_FALSE(Woken(wait));  // the request was withdrawn
  ReadAll(*link.b.table, server);

  // Output: a full queue wakes its writer once half of it has left.
  const std::string big = Pattern(QUdpStream::kSendQueueBytes);
  ASSERT_EQ(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(big.data()), static_cast<int>(big.size())),
            static_cast<int>(big.size()));
  EXPECT_EQ(link.a.table->WatchReady(client, platform::kWaitWrite, &wait), 0);
  bool woken = false;
  for (int round = 0; round < 100 && !woken; ++round) {
    link.Deliver();
    ReadAll(*link.b.table, server);
    link.now += 20;
    link.b.table->AcknowledgementPass();
    woken = Woken(wait);
  }
  EXPECT_TRUE(woken);
  EXPECT_EQ(link.a.table->WatchReady(client, platform::kWaitWrite, nullptr), platform::kWaitWrite);

  // The close.
  EXPECT_EQ(link.b.table->WatchReady(server, platform::kWaitRead, &wait), 0);
  link.a.table->Close(client);
  link.Deliver();
  EXPECT_TRUE(Woken(wait));
}

// The reader far behind has a full delivery queue when the FIN comes: the rest of the stream
// is still in the reorder slots and must stay readable.
TEST(UdpStreamTableTest, FinLetsThePeerReadTheRestThenReportsTheClose) {
  // A stalled reader makes the sender see loss and cut smaller packets: what the receiver can
  // hold however the data is cut, more than the delivery queue holds however it is cut.
  const size_t farBehind = QUdpStream::kDeliveryPackets * kStreamMaxPayload + QUdpStream::kSlots / 4 * kStreamSmallPayload;
  for (const size_t size : {size_t{3000}, farBehind}) {
    Link link;
    const auto [client, server] = link.Connect();
    const std::string data = Pattern(size);
    size_t sent = 0;
    for (int ms = 0; ms < 5000 && sent < data.size(); ms += 20) {
      const int n = link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()) + sent,
                                       static_cast<int>(data.size() - sent));
      if (n > 0) sent += static_cast<size_t>(n);
      link.Passes(20);
    }
    // Every packet acknowledged, so the close itself loses nothing on the sending side.
    link.Passes(1000);
    ASSERT_EQ(sent, data.size());
    ASSERT_EQ(link.a.table->Close(client), 0);
    link.Deliver();
    EXPECT_NE(link.b.table->Readiness(server, platform::kWaitRead) & platform::kWaitRead, 0);
    const std::string got = ReadAll(*link.b.table, server);
    EXPECT_TRUE(got == data) << size << " sent, " << got.size() << " read";
    uint8_t byte;
    EXPECT_EQ(link.b.table->Recv(server, &byte, 1), 0);
    EXPECT_EQ(link.b.table->Readiness(server, platform::kWaitWrite), platform::kWaitWrite | platform::kWaitError);
    EXPECT_EQ(link.b.table->Send(server, &byte, 1), -1);
    EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnotconn);
    EXPECT_EQ(link.b.table->Close(server), 0);
    link.Deliver();
    EXPECT_EQ(link.a.table->LiveCount(), 0u);
  }
}

// The owner closes at once after a write the send queue took whole: the connection lingers until
// the peer holds every byte, then says FIN; one whose peer went silent goes after the time-out.
TEST(UdpStreamTableTest, CloseRightAfterAWriteStillDeliversEveryByte) {
  for (const bool peerGone : {false, true}) {
    Link link;
    const auto [client, server] = link.Connect();
    const std::string data = Pattern(QUdpStream::kSendQueueBytes);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    ASSERT_EQ(link.a.table->Send(client, bytes, static_cast<int>(data.size())), static_cast<int>(data.size()));
    ASSERT_EQ(link.a.table->Close(client), 0);
    EXPECT_EQ(link.a.table->Send(client, bytes, 1), -1);  // the handle is gone for its owner
    EXPECT_EQ(link.a.table->Close(client), -1);
    std::string got;
    for (int ms = 0; ms < 60000 && link.a.table->LiveCount() > 0; ms += 20) {
      if (peerGone) link.wire.clear();
      link.Passes(20);
      got += ReadAll(*link.b.table, server);
    }
    EXPECT_EQ(link.a.table->LiveCount(), 0u) << peerGone;
    if (peerGone) continue;
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " read";
    uint8_t byte;
    EXPECT_EQ(link.b.table->Recv(server, &byte, 1), 0);  // the FIN came behind the data
  }
}

TEST(UdpStreamTableTest, SynForAPortWithoutListenerIsRejected) {
  Link link;
  const int client = link.a.table->Socket();
  link.a.table->Connect(client, Link::To(link.b, 7777));
  IntroducedPeer peer{kLoopback, 2000, {}};
  std::memcpy(peer.tag, link.b.identity.data(), kUdpTagSize);
  link.a.table->HandleIntroduction(link.a.introductions, {peer});
  EXPECT_EQ(link.a.table->Readiness(client, platform::kWaitWrite), 0);  // connecting
  link.Deliver();
  EXPECT_EQ(link.a.table->Readiness(client, platform::kWaitWrite), platform::kWaitWrite | platform::kWaitError);
}

// Peers from a compact list are known by address and listen port only. Each was asked for alone,
// so a reply about the engine at that address answers only the request it carries the number of.
TEST(UdpStreamTableTest, PeerKnownByAddressTakesOnlyTheReplyToItsOwnRequest) {
  Link link;
  const auto byAddress = [](int listenPort) {
    platform::SockAddrV4 to;
    to.ip = kLoopback;
    to.port = static_cast<uint16_t>(listenPort);
    std::memcpy(to.spare + 2, &to.ip, 4);
    to.spare[6] = static_cast<uint8_t>(listenPort >> 8);
    to.spare[7] = static_cast<uint8_t>(listenPort);
    return to;
  };
  for (const int listenPort : {6881, 6882}) {
    const int s = link.a.table->Socket();
    link.a.table->Connect(s, byAddress(listenPort));
  }
  ASSERT_EQ(link.a.introductions, 2u);
  IntroducedPeer found{kLoopback, 2000, {}};
  std::memcpy(found.tag, link.b.identity.data(), kUdpTagSize);
  link.a.table->HandleIntroduction(2, {found});
  std::vector<uint32_t> targets;
  for (const Datagram& d : link.wire) {
    if (LoadBe32(d.bytes.data() + kOffType) == kUdpSyn) targets.push_back(LoadBe32(&d.bytes[48]));
  }
  EXPECT_EQ(targets, (std::vector<uint32_t>{6882, 6882}));  // a SYN goes twice
}

TEST(UdpStreamTableTest, IntroductionWithoutAnEntryEndsTheWaitingConnection) {
  Link link;
  const int waiting = link.a.table->Socket();
  link.a.table->Connect(waiting, Link::To(link.b));
  const int other = link.a.table->Socket();
  link.a.table->Connect(other, Link::To(link.b, 7001));
  // Only the connection the reply answers ends; a later request stays open.
  link.a.table->HandleIntroduction(1, {});
  EXPECT_NE(link.a.table->Readiness(waiting, platform::kWaitError), 0);
  EXPECT_EQ(link.a.table->Readiness(other, platform::kWaitError), 0);
}

TEST(UdpStreamTableTest, CallsRefusedByStateAndDisabledTransport) {
  Link link;
  const int s = link.a.table->Socket();
  uint8_t byte = 0;
  EXPECT_EQ(link.a.table->Send(s, &byte, 1), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnotconn);
  EXPECT_EQ(link.a.table->Listen(s, 5), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnotsock);
  EXPECT_EQ(link.a.table->Close(12345678), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnotsock);
  platform::SockAddrV4 at;
  at.port = 9000;
  const int other = link.a.table->Socket();
  ASSERT_EQ(link.a.table->Bind(s, at), 0);
  EXPECT_EQ(link.a.table->Bind(other, at), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEaddrinuse);
  link.a.table->SetDisabled(true);
  EXPECT_EQ(link.a.table->Connect(other, Link::To(link.b)), -1);
  EXPECT_EQ(platform::LastSocketError(), platform::kWsaEnetunreach);
}

TEST(UdpStreamTableTest, PeerThatStopsAcknowledgingIsClosedByMaintenance) {
  Link link;
  const auto [client, server] = link.Connect();
  const std::string data = Pattern(5000);
  ASSERT_GT(link.a.table->Send(client, reinterpret_cast<const uint8_t*>(data.data()), 5000), 0);
  link.wire.clear();  // b has gone silent
  for (int s = 0; s < 29; s += 2) {
    link.now += 2000;
    link.a.table->Maintenance();
    link.a.table->RetransmissionPass();
    link.wire.clear();
  }
  EXPECT_EQ(link.a.table->Readiness(client, platform::kWaitError), 0);
  link.now += 2000;
  link.a.table->Maintenance();
  EXPECT_NE(link.a.table->Readiness(client, platform::kWaitError), 0);
}

TEST(UdpStreamTableTest, IdleConnectionStaysUpOnKeepAlives) {
  Link link;
  const auto [client, server] = link.Connect();
  link.Passes(120000);
  EXPECT_EQ(link.a.table->Readiness(client, platform::kWaitWrite), platform::kWaitWrite);
  EXPECT_EQ(link.b.table->Readiness(server, platform::kWaitWrite), platform::kWaitWrite);
}

}  // namespace
}  // namespace bw
