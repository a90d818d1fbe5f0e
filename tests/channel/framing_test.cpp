// Packets in and out: check value, channel key, 'E' and 'P' framing, the
// token announcement, traffic counters, the out-of-band route and refusal
// of bad packets.
#include <gtest/gtest.h>

#include <cstring>

#include "channel_fixture.h"
#include "common/protocol.h"
#include "peer/digest.h"

namespace channeltest {
namespace {

TEST(CheckValue, KnownValuesAndSignedBytes) {
  struct Case {
    Bytes message;
    int32_t expected;
  } cases[] = {
      {{}, 7777777},
      {{'A'}, 199947319},
      {{0xFF}, 7777777 + 16 * 2343531},  // 0xFF counts as -1
      {{0x00, 0xFF}, 7777777 + 17 * 2343531 + 16 * 2343531 + 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(channel::checkValue(c.message.data(),
                                  static_cast<int>(c.message.size())),
              c.expected);
    EXPECT_EQ(peer::checkValue(c.message), c.expected);
  }
  // A long message wraps the accumulator; both sides agree.
  Bytes big(1100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 37);
  EXPECT_EQ(channel::checkValue(big.data(), 1100), peer::checkValue(big));
}

TEST_F(ChannelTest, FirstScrambledPacketDerivesTheKeyTheServerUses) {
  sendE(peer::serverText("hello"));
  EXPECT_TRUE(host.printed("hello"));
  EXPECT_EQ(std::string(channel::keyText()), key);
  ASSERT_EQ(key.size(), 29u);
  const int32_t offset = client().channel.keyOffset;
  EXPECT_GE(offset, 33);
  EXPECT_LE(offset, 932);
  EXPECT_EQ(client().channel.keyBlock[offset + 29], 0);
  EXPECT_EQ(client().channel.linkEstablished, 1);
}

// Known answers for fixed host numbers, computed with the server side's
// own digest (OpenSSL's MD5 with moved chaining words) and checked once
// more against a separate RFC 1321 implementation: the client and the
// server side must both give exactly these bytes.
TEST(ChannelKey, KnownAnswersForFixedHostNumbers) {
  EXPECT_EQ(
      peer::digestText(qx::protocol::kKeyText, sizeof qx::protocol::kKeyText,
                       qx::protocol::kKeySeed),
      "6B833FE40C3ED57F9C922A700AFD62D3");
  struct Case {
    int32_t a, b, c, d;
    const char *key;  // hexadecimal, upper case
  } cases[] = {
      {1234, 77, 250, 9,
       "2056A0967E6ED2C26C06EEFEECF6964AA246AA52E07616320CC6BC2A08"},
      {0, 0, 0, 0,
       "1C76A0678A7AB03460695CD9D813C8F6CA01DC8A5C6FE03060B3989484"},
      {-5, 300, -7, 2147483647,
       "D1AEF93B24BE9C2AF7619A49F7AB2A38B2A944C059F7728E871B8B4E8D"},
  };
  qx::resetClientState();
  ASSERT_TRUE(channel::ensureKeyBlock());
  for (const Case &c : cases) {
    const std::string client = channel::deriveChannelKey(
        qx::client().channel.keyBlock, c.a, c.b, c.c, c.d);
    const std::string server = peer::deriveKey(c.a, c.b, c.c, c.d);
    const auto *bytes = reinterpret_cast<const uint8_t *>(client.data());
    EXPECT_EQ(peer::hexText(bytes, client.size()), c.key);
    bytes = reinterpret_cast<const uint8_t *>(server.data());
    EXPECT_EQ(peer::hexText(bytes, server.size()), c.key);
  }
}

TEST_F(ChannelTest, HostCode18DerivesFromFiveWords) {
  const char *text = reinterpret_cast<const char *>(
      host.call(QX_CB_DERIVE_KEY, 0, "ignored 5 6 7 8"));
  EXPECT_EQ(std::string(text), peer::deriveKey(5, 6, 7, 8));
  EXPECT_EQ(std::strlen(text), 29u);
}

TEST_F(ChannelTest, KeyBytesNeverZero) {
  // Sweep numbers so that some positions come out as 0 before the
  // replacement by 224.
  bool replaced = false;
  for (int32_t a = 0; a < 256; a += 3) {
    const std::string k = peer::deriveKey(a, 1, 2, 3);
    ASSERT_EQ(k.size(), 29u);
    replaced |= k.find('\xE0') != std::string::npos;
    ASSERT_TRUE(channel::ensureKeyBlock());
    EXPECT_EQ(std::string(channel::deriveChannelKey(client().channel.keyBlock,
                                                    a, 1, 2, 3)),
              k);
  }
  EXPECT_TRUE(replaced);
}

TEST_F(ChannelTest, ScrambledPacketWithWrongLengthIsRefusedButCounted) {
  sendE(peer::serverText("first"));  // the key now exists
  const uint32_t in = client().channel.bytesIn;
  const uint32_t dispatched = client().channel.dispatched;
  Bytes packet = peer::frameScrambled(key, peer::serverText("second"));
  packet[9] -= 1;  // length field one less than the body
  EXPECT_EQ(channel::receivePacket(
                &host.gi, static_cast<int32_t>(packet.size()), packet.data()),
            0);
  EXPECT_EQ(client().channel.bytesIn, in + packet.size());
  packet[9] += 1;
  packet[7] ^= 1;  // wrong check value
  EXPECT_EQ(channel::receivePacket(
                &host.gi, static_cast<int32_t>(packet.size()), packet.data()),
            0);
  EXPECT_EQ(client().channel.dispatched, dispatched);
  EXPECT_FALSE(host.printed("second"));
}

TEST_F(ChannelTest, OversizedScrambledMessageIsRefused) {
  Bytes message = peer::serverText(std::string(1100, 'x'));
  EXPECT_EQ(message.size(), 1102u);
  const Bytes packet = peer::frameScrambled(key, message);
  EXPECT_EQ(channel::receivePacket(
                &host.gi, static_cast<int32_t>(packet.size()), packet.data()),
            0);
  EXPECT_EQ(client().channel.dispatched, 0u);
}

// Every type letter with every length from 0 to 1200 bytes of arbitrary
// content: nothing is dispatched, and no read goes past the packet (the
// sanitizer builds check that).
TEST_F(ChannelTest, ArbitraryPacketsOfEveryLengthAreNotDispatched) {
  sendE(peer::serverText("key"));
  const uint32_t dispatched = client().channel.dispatched;
  for (char type : {'E', 'P', '1', 'C', 'Z'}) {
    for (int length = 0; length <= 1200; ++length) {
      // An exact-size heap copy, so any overread is caught.
      std::vector<uint8_t> packet(static_cast<size_t>(length));
      for (int i = 0; i < length; ++i)
        packet[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 131 + 7);
      const char head[4] = {'Q', 'X', '_', type};
      if (length > 0) std::memcpy(packet.data(), head, length < 4 ? length : 4);
      channel::receivePacket(&host.gi, length, packet.data());
    }
  }
  EXPECT_EQ(client().channel.dispatched, dispatched);
}

TEST_F(ChannelTest, PlainPacketWithTheTokenIsDispatched) {
  sendP(peer::serverText("plain text"));
  EXPECT_TRUE(host.printed("plain text"));
  EXPECT_TRUE(host.sent.empty());
}

TEST_F(ChannelTest, WrongTokenIsAnsweredWithTheAnnouncementAndNotDispatched) {
  const uint32_t token = client().channel.token;
  ASSERT_NE(token, 0u);
  EXPECT_EQ(token & 0x80008000u, 0u);  // 15-bit halves
  host.packet(peer::framePlain(token + 1, peer::serverText("forged")));
  host.pump(3);
  EXPECT_FALSE(host.printed("forged"));
  const auto sent = packets();
  ASSERT_GE(sent.size(), 1u);
  // Refused packets are offered again while their retries last; each try
  // is answered the same way.
  for (const peer::Unframed &u : sent) {
    EXPECT_EQ(u.type, 'P');
    EXPECT_EQ(u.token, token);
    const peer::Reply r = peer::decodeReply(u.message);
    EXPECT_EQ(r.kind, "token");
    EXPECT_EQ(r.number, token);
    EXPECT_EQ(r.text, kPlayerGuid);
    EXPECT_EQ(u.message.size(), std::strlen(kPlayerGuid) + 6);
  }
}

TEST_F(ChannelTest, FramingOfOutgoingMessages) {
  const Bytes text = {'B', 'D', ' ', 0};
  channel::sendMessage(&host.gi, text.data(), 4);  // no key yet
  sendE(peer::serverText("key"));
  channel::sendMessage(&host.gi, text.data(), 4);
  const Bytes announce = {'J', 1, 2, 3, 4, 0};
  channel::sendMessage(&host.gi, announce.data(), 6);
  const auto sent = packets();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].type, 'P');
  EXPECT_EQ(sent[0].token, client().channel.token);
  EXPECT_EQ(sent[1].type, 'E');
  EXPECT_EQ(sent[1].message, text);
  EXPECT_EQ(host.sent[1].bytes.size(), 14u);
  EXPECT_EQ(sent[2].type, 'P');  // 'J' always goes plain
  EXPECT_EQ(sent[2].message, announce);
}

// Scrambling and the check value work on blocks of bytes; every message
// length must survive the round trip in both directions.
TEST_F(ChannelTest, EveryMessageLengthRoundTrips) {
  sendE(peer::serverText("key"));
  host.clearOutput();
  for (int length = 0; length <= 1100; ++length) {
    Bytes message(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i)
      message[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 97 + length);
    if (length) message[0] = 'Z';  // ignored by the dispatcher
    channel::sendMessage(&host.gi, message.data(), length);
    const peer::Unframed u = peer::unframe(key, host.sent.back().bytes);
    ASSERT_TRUE(u.ok) << length;
    ASSERT_EQ(u.message, message);
    const Bytes packet = peer::frameScrambled(key, message);
    ASSERT_EQ(channel::receivePacket(
                  &host.gi, static_cast<int32_t>(packet.size()), packet.data()),
              1)
        << length;
  }
}

TEST_F(ChannelTest, LongMessagesAreCutAndTrafficIsCounted) {
  sendE(peer::serverText("key"));
  const uint32_t out = client().channel.bytesOut;
  Bytes big(1500, 'q');
  channel::sendMessage(&host.gi, big.data(), 1500);
  const auto sent = packets();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].message.size(), 1100u);
  EXPECT_EQ(client().channel.bytesOut, out + 1110);
}

TEST_F(ChannelTest, ForcedOutOfBandRouteNeedsAnAddressAndPort) {
  client().settings.forceOob = 1;
  const Bytes m = {'U', '3', 0};
  channel::sendMessage(&host.gi, m.data(), 3);
  ASSERT_EQ(host.sentOob.size(), 1u);
  EXPECT_EQ(host.sentOob[0].address, "10.1.2.3");
  EXPECT_EQ(host.sentOob[0].port, 27960);
  EXPECT_TRUE(host.sent.empty());

  client().frame.serverPort = 0;  // no port known
  channel::sendMessage(&host.gi, m.data(), 3);
  EXPECT_EQ(host.sentOob.size(), 1u);
  EXPECT_EQ(host.sent.size(), 1u);
}

TEST_F(ChannelTest, NothingIsReceivedOrCountedWhileDisabled) {
  client().host.enabled = 0;
  const Bytes packet = peer::frameScrambled(key, peer::serverText("x"));
  const uint32_t in = client().channel.bytesIn;
  EXPECT_EQ(channel::receivePacket(
                &host.gi, static_cast<int32_t>(packet.size()), packet.data()),
            0);
  EXPECT_EQ(client().channel.bytesIn, in);
}

TEST_F(ChannelTest, FirstLinkMakesTheServerTasksDue) {
  client().frame.mark30 = qxtest::FakeHost::now;
  const Bytes packet = peer::frameScrambled(key, peer::serverText("x"));
  channel::receivePacket(&host.gi, static_cast<int32_t>(packet.size()),
                         packet.data());
  EXPECT_GE(qxtest::FakeHost::now - client().frame.mark30, 31000u);
}

TEST_F(ChannelTest, ConnectHookAppendsTheGuidWithinTheLimit) {
  char buffer[1200] = "connect";
  int32_t length = 7;
  EXPECT_EQ(host.gi.connectHook(2, buffer, &length), nullptr);
  EXPECT_EQ(std::string(buffer), std::string("connect *") + kPlayerGuid);
  length = 1100 - 34;
  EXPECT_STREQ(host.gi.connectHook(2, buffer, &length),
               "Max Packet Length Reached");
  EXPECT_TRUE(host.printed("in client connecting"));
}

}  // namespace
}  // namespace channeltest
