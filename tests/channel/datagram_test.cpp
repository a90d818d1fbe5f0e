// The client's own UDP socket: datagrams from 127.0.0.1 reach the channel,
// with or without the FF FF FF FF prefix; the prefix alone is dropped.
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#endif

#include "channel_fixture.h"
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
