// Sealing: the server recovers m with its private exponent and checks both
// copies; the key stream is the 1998 MT19937 with its multiplicative seeding.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "channel_fixture.h"
#include "common/protocol.h"

namespace channeltest {
namespace {

// The standard library's engine, loaded with the multiplicatively seeded
// state, is an independent oracle for the key stream.
TEST(SealStream, MatchesTheStandardEngineFromTheSameState) {
  for (uint32_t m : {2u, 4357u, 60490u}) {
    std::ostringstream state;
    uint32_t word = m;
    for (int i = 0; i < 624; ++i) {
      state << word << ' ';
      word *= 69069u;
    }
    state << 624;
    std::mt19937 engine;
    std::istringstream(state.str()) >> engine;
    const Bytes stream = peer::sealStream(m, 1500);  // crosses a regeneration
    for (size_t i = 0; i < stream.size(); ++i)
      ASSERT_EQ(stream[i], static_cast<uint8_t>(engine() >> 7)) << i;
  }
}

TEST(Seal, TheServerVerifiesASealedText) {
  client().channel.sealAllowance = 2;
  uint8_t message[64] = "twenty bytes of text";
  const int length = channel::sealMessage(message, 20);
  ASSERT_EQ(length, 33);
  EXPECT_EQ(message[0], 7);
  EXPECT_EQ(client().channel.sealAllowance, 1u);
  // h = m^e mod N is outside the key stream; m and the text are inside.
  const Bytes sealed(message, message + length);
  const peer::Unsealed u = peer::unseal(sealed);
  ASSERT_TRUE(u.sealed);
  EXPECT_TRUE(u.valid);
  EXPECT_EQ(u.message, peer::text("twenty bytes of text", false));
  uint32_t h = 0, m5 = 0;
  for (int i = 0; i < 4; ++i) {
    h |= uint32_t{message[1 + i]} << (8 * i);
    m5 |= uint32_t{message[5 + i]} << (8 * i);
  }
  // h is m to the public exponent modulo N, computed here in 64 bits.
  const uint64_t n = qx::protocol::kSealModulus;
  uint64_t expected = 1, base = u.m % n;
  for (uint32_t e = qx::protocol::kSealExponent; e != 0; e >>= 1) {
    if (e & 1) expected = expected * base % n;
    base = base * base % n;
  }
  EXPECT_EQ(h, expected);
  EXPECT_NE(m5, u.m);  // bytes 5 on are hidden by the key stream

  // A forged h no longer matches the copies of m.
  Bytes forged = sealed;
  forged[1] ^= 1;
  EXPECT_FALSE(peer::unseal(forged).valid);
}

TEST(Seal, LeavesTheMessageAloneWhenItMayNotSeal) {
  struct Case {
    uint32_t allowance, modulus;
    int length;
  } cases[] = {
      {0, qx::protocol::kSealModulus, 20},    // no allowance
      {1, 0, 20},                             // no modulus
      {1, qx::protocol::kSealModulus, 1087},  // 1087 + 13 reaches 1100
  };
  for (const Case &c : cases) {
    client().channel.sealAllowance = c.allowance;
    client().channel.sealModulus = c.modulus;
    uint8_t message[1200] = "abc";
    EXPECT_EQ(channel::sealMessage(message, c.length), c.length);
    EXPECT_EQ(message[0], 'a');
    EXPECT_EQ(client().channel.sealAllowance, c.allowance);
  }
  client().channel.sealAllowance = 1;
  client().channel.sealModulus = qx::protocol::kSealModulus;
  uint8_t message[1200] = {};
  EXPECT_EQ(channel::sealMessage(message, 1086), 1099);
}

TEST(Seal, ExponentZeroGivesOne) {
  client().channel.sealAllowance = 1;
  client().channel.sealExponent = 0;
  uint8_t message[32] = "x";
  ASSERT_EQ(channel::sealMessage(message, 2), 15);
  EXPECT_EQ(message[1], 1);
  EXPECT_EQ(message[2] | message[3] | message[4], 0);
}

TEST_F(ChannelTest, SealedRepliesReachTheServerVerified) {
  client().channel.sealAllowance = 5;
  sendE(peer::aliveEcho());
  const auto r = replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0].sealed);
  EXPECT_TRUE(r[0].sealValid);
  EXPECT_EQ(r[0].kind, "echo");
}

}  // namespace
}  // namespace channeltest
