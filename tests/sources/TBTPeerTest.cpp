#include "engine/sources/TBTPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/sources/BTWire.h"
#include "platform/Thread.h"
#include "tests/net/LoopbackServer.h"
#include "tests/sources/FakePeerTask.h"

namespace bw {
namespace {

std::string Handshake(const std::string& peerId) {
  return std::string("\x13" "BitTorrent protocol") + std::string(8, '\0') + std::string(20, 'H') + peerId;
}

// A BitTorrent peer on one end of a loopback connection, the test on the other.
class BTPeerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    task.swarmHandshake = Handshake(std::string(20, 'o'));
    ASSERT_TRUE(listener.Listen(port, test::Loopback()));
  }
  void TearDown() override {
    peer->Reset();
    id->Release();
  }

  // Bytes the remote end has received, once at least `count` are there.
  std::string ReadAtLeast(QSocket& remote, size_t count) {
    for (int i = 0; i < 100 && static_cast<size_t>(remote.ReceivedSize()) < count; ++i) {
      if (peer->Socket()) peer->Socket()->Flush();
      remote.WaitReadable(1);
      if (remote.Receive(4096) < 0) break;
    }
    return std::string(reinterpret_cast<const char*>(remote.ReceivedData()), static_cast<size_t>(remote.ReceivedSize()));
  }

  test::FakePeerTask task{4 * 65536, 65536};
  QSocket listener;
  const uint16_t port = test::FreePort();
  TPeerId* id = test::MakeIdentity(SOURCE_BTNODE, port);
  TRef<TBTPeer> peer = MakeRef<TBTPeer>(&task);
};

TEST_F(BTPeerFixture, AnIncomingDisguiseIsAnsweredInKindAndTheHandshakeAccepted) {
  for (const bool disguised : {false, true}) {
    QSocket remote;
    ASSERT_TRUE(remote.Connect(test::Loopback(), port, true));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> accepted = listener.Accept();
    ASSERT_NE(accepted, nullptr);
    const std::string greeting =
        (disguised ? "GET / HTTP/1.0\r\nHost: 127.0.0.1:80\r\n\r\n" : "") + Handshake(std::string(20, 'r'));
    remote.Send(greeting.data(), static_cast<int64_t>(greeting.size()));
    // The listener has read the greeting before it hands the socket over.
    while (accepted->ReceivedSize() < static_cast<int64_t>(greeting.size())) {
      accepted->WaitReadable(1);
      ASSERT_GE(accepted->Receive(4096), 0);
    }
    ASSERT_TRUE(peer->AttachSocket(std::move(accepted)));
    ASSERT_TRUE(peer->DownloadStep());
    EXPECT_EQ(peer->linkState, TPeerObject::kGreeted) << disguised;
    const std::string reply = ReadAtLeast(remote, 68);
    const size_t handshakeAt = disguised ? reply.find("\r\n\r\n") + 4 : 0;
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\nConnection: ", 0) == 0, disguised) << reply.substr(0, 40);
    EXPECT_EQ(reply.substr(handshakeAt, 68), task.swarmHandshake) << disguised;
    peer->Reset();
  }
}

TEST_F(BTPeerFixture, ADialledPeerIsGreetedWithARequestOnlyWhenTheDisguiseIsOn) {
  for (const bool disguise : {false, true}) {
    task.disguise = disguise;
    ++id->attempts;
    ASSERT_TRUE(peer->ConnectTo(id));
    ASSERT_TRUE(listener.WaitReadable(5));
    std::unique_ptr<QSocket> remote = listener.Accept();
    ASSERT_NE(remote, nullptr);
    const std::string expected =
        (disguise ? btwire::RequestDisguise(id->ip, port, id->attempts % 2 == 0) : "") + task.swarmHandshake;
    for (int i = 0; i < 100 && !peer->Socket()->IsConnected(); ++i) platform::SleepMs(5);
    ASSERT_TRUE(peer->DownloadStep());
    EXPECT_EQ(ReadAtLeast(*remote, expected.size()).substr(0, expected.size()), expected) << disguise;
    peer->Reset();
  }
}

}  // namespace
}  // namespace bw
