// The client's own UDP socket: datagrams from 127.0.0.1 reach the channel,
// with or without the FF FF FF FF prefix; the prefix alone is dropped.
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include "channel_fixture.h"
#include "host/frame.h"
#include "platform/platform.h"

namespace channeltest {
namespace {

namespace platform = qx::platform;

class DatagramTest : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    for (uint16_t p = 28500; p < 28600 && !port; ++p) {
      client().settings.netPort = p;
      host.pump(2);
      if (client().settings.netPort == p) port = p;
    }
    ASSERT_NE(port, 0);
    sender = platform::udpOpen();
    ASSERT_NE(sender, platform::kNoSocket);
    host.clearOutput();
  }
  void TearDown() override { platform::socketClose(sender); }

  // Sends one datagram to the client and runs frames until it was read.
  void datagram(const Bytes &bytes) {
    ASSERT_EQ(platform::socketSendTo(sender, "127.0.0.1", port, bytes.data(),
                                     static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
    host.pump(4);
  }

  uint16_t port = 0;
  platform::Socket sender = platform::kNoSocket;
};

TEST_F(DatagramTest, PrefixIsRemovedAndAPrefixAloneIsDropped) {
  const Bytes prefix = {0xFF, 0xFF, 0xFF, 0xFF};
  const uint32_t before = client().channel.bytesIn;
  datagram(prefix);
  EXPECT_EQ(client().channel.bytesIn, before);
  EXPECT_TRUE(host.texts.empty());

  Bytes prefixed = prefix;
  const Bytes packet =
      peer::frameScrambled(key, peer::serverText("with prefix"));
  prefixed.insert(prefixed.end(), packet.begin(), packet.end());
  datagram(prefixed);
  EXPECT_TRUE(host.printed("with prefix"));

  datagram(peer::frameScrambled(key, peer::serverText("without prefix")));
  EXPECT_TRUE(host.printed("without prefix"));

  // Other bytes in front are not a prefix: the packet is refused whole.
  Bytes other = {0xFF, 0xFF, 0xFF, 0xFE};
  const Bytes third = peer::frameScrambled(key, peer::serverText("not shown"));
  other.insert(other.end(), third.begin(), third.end());
  datagram(other);
  EXPECT_FALSE(host.printed("not shown"));
}

// A flood of datagrams cannot hold a frame: each work frame reads at most
// 32 of them and the rest wait in the socket for the next one.
TEST_F(DatagramTest, AWorkFrameReadsAtMost32Datagrams) {
  const Bytes ignored = {'Q', 'X', '_', 'Z'};  // counted, otherwise ignored
  for (int i = 0; i < 40; ++i)
    ASSERT_EQ(
        platform::socketSendTo(sender, "127.0.0.1", port, ignored.data(), 4),
        4);
  const uint32_t before = client().channel.bytesIn;
  host.pump(2);  // two due calls: one drains, one works
  EXPECT_EQ(client().channel.bytesIn - before, 32u * 4);
  host.pump(2);
  EXPECT_EQ(client().channel.bytesIn - before, 40u * 4);
}

// A scripted socket for the receive loop: each receive gives the next
// entry, a datagram's bytes or one of the platform's outcomes.
struct Script {
  std::vector<Bytes> datagrams;  // empty entries give outcome[i]
  std::vector<int> outcomes;
  size_t next = 0;
  static Script *current;
  static int receive(platform::Socket, void *buffer, int size) {
    Script &s = *current;
    if (s.next >= s.outcomes.size()) return platform::kNoDatagram;
    const size_t i = s.next++;
    if (s.outcomes[i] != 0) return s.outcomes[i];
    const Bytes &d = s.datagrams[i];
    const int n =
        static_cast<int>(d.size()) < size ? static_cast<int>(d.size()) : size;
    if (n > 0) std::memcpy(buffer, d.data(), static_cast<size_t>(n));
    return n;
  }
};
Script *Script::current = nullptr;

// A lost datagram (a reset report, one over size) or an empty one does not
// end the frame's reading: the packet behind it is handled in the same
// frame. Nothing waiting or any other error ends it.
TEST_F(DatagramTest, ReadingGoesOnPastLostDatagrams) {
  const Bytes packet = peer::frameScrambled(key, peer::serverText("behind"));
  struct Case {
    int before;  // outcome of the receive ahead of the packet
    bool handled;
    int receives;  // the last one finds nothing waiting
  } cases[] = {
      {platform::kDatagramLost, true, 4},
      {platform::kNoDatagram, false, 1},
      {platform::kReceiveFailed, false, 1},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    Script script;
    script.datagrams = {{}, packet, Bytes{}};
    script.outcomes = {c.before, 0, 0};
    Script::current = &script;
    const int receives = qx::host::readDatagrams(&host.gi, 0, Script::receive);
    EXPECT_EQ(host.printed("behind"), c.handled) << c.before;
    EXPECT_EQ(receives, c.receives) << c.before;
  }
}

// A sender that makes every receive fail cannot hold the frame.
TEST_F(DatagramTest, LostDatagramsCountAgainstTheFramesReads) {
  Script script;
  script.outcomes.assign(1000, platform::kDatagramLost);
  script.datagrams.resize(1000);
  Script::current = &script;
  EXPECT_EQ(qx::host::readDatagrams(&host.gi, 0, Script::receive),
            qx::host::kDatagramsPerFrame);
}

#if defined(_WIN32)
// Under Windows a send to a closed port comes back as a reset report on the
// socket. It must not end the frame's reading: the datagram behind it is
// handled in the same work frame.
TEST_F(DatagramTest, AResetReportDoesNotStopTheFramesReading) {
  platform::Socket closed = platform::udpOpen();
  uint16_t closedPort = 0;
  for (uint16_t p = 28700; p < 28800 && !closedPort; ++p)
    if (platform::socketBind(closed, p)) closedPort = p;
  ASSERT_NE(closedPort, 0);
  platform::socketClose(closed);  // nothing listens there now
  const Bytes query = {'q'};
  ASSERT_EQ(platform::socketSendTo(client().frame.udpSocket, "127.0.0.1",
                                   closedPort, query.data(), 1),
            1);
  Sleep(100);  // the port-unreachable report reaches the socket first
  const Bytes packet =
      peer::frameScrambled(key, peer::serverText("after the reset"));
  ASSERT_EQ(platform::socketSendTo(sender, "127.0.0.1", port, packet.data(),
                                   static_cast<int>(packet.size())),
            static_cast<int>(packet.size()));
  Sleep(100);
  host.pump(2);  // one drain, one work frame
  EXPECT_TRUE(host.printed("after the reset"));
}
#endif

// Every socket the platform hands out is non-blocking from the start, so a
// receive never waits for a datagram.
TEST(UdpSocket, IsNonBlockingFromItsCreation) {
  const platform::Socket s = platform::udpOpen();
  ASSERT_NE(s, platform::kNoSocket);
#if !defined(_WIN32)
  ASSERT_NE(fcntl(static_cast<int>(s), F_GETFL) & O_NONBLOCK, 0);
#endif
  uint8_t buffer[16];
  EXPECT_LT(platform::socketReceive(s, buffer, sizeof buffer), 1);
  platform::socketClose(s);
}

}  // namespace
}  // namespace channeltest
