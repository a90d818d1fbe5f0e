// Seeded MD5: the standard vectors at seed 0, OpenSSL with moved chaining
// words as the oracle for other seeds, and the text forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/md5.h"

#if defined(QX_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#endif

namespace {

std::string hexOf(const std::string &data, uint32_t seed) {
  uint8_t digest[16];
  qx::md5(data.data(), data.size(), seed, digest);
  char text[33];
  qx::md5ToText(digest, text);
  return text;
}

TEST(Md5, StandardVectorsAtSeedZero) {
  struct Case {
    const char *data, *digest;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901"
       "234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const Case &c : cases) EXPECT_EQ(hexOf(c.data, 0), c.digest) << c.data;
}

TEST(Md5, PiecewiseUpdatesMatchOneCall) {
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  for (size_t step : {1u, 3u, 63u, 64u, 65u, 500u}) {
    qx::Md5 m;
    qx::md5Init(m, 1234);
    for (size_t i = 0; i < data.size(); i += step)
      qx::md5Update(m, data.data() + i, std::min(step, data.size() - i));
    uint8_t digest[16];
    qx::md5Final(m, digest);
    char text[33];
    qx::md5ToText(digest, text);
    EXPECT_EQ(text, hexOf(data, 1234)) << step;
  }
}

#if defined(QX_HAVE_OPENSSL)
TEST(Md5, SeedMovesTheChainingWordsLikeOpenSsl) {
  for (uint32_t seed : {1u, 0x5C13E7A4u, 0xFFFFFFFFu}) {
    for (size_t size : {0u, 55u, 56u, 64u, 1100u, 4097u}) {
      std::vector<uint8_t> data(size);
      for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i ^ seed);
      MD5_CTX ctx;
      MD5_Init(&ctx);
      ctx.A += 11u * seed;
      ctx.B += 71u * seed;
      ctx.C += 37u * seed;
      ctx.D += 97u * seed;
      MD5_Update(&ctx, data.data(), data.size());
      uint8_t expected[16], got[16];
      MD5_Final(expected, &ctx);
      qx::md5(data.data(), data.size(), seed, got);
      EXPECT_EQ(std::memcmp(expected, got, 16), 0) << seed << " " << size;
    }
  }
}
#endif

TEST(Md5, TextFormRoundTripsAndReadsEitherCase) {
  uint8_t digest[16], back[16];
  qx::md5("abc", 3, 7, digest);
  char text[33];
  qx::md5ToText(digest, text);
  ASSERT_TRUE(qx::md5FromText(text, back));
  EXPECT_EQ(std::memcmp(digest, back, 16), 0);
  for (char &c : text) c = static_cast<char>(std::tolower(c));
  ASSERT_TRUE(qx::md5FromText(text, back));
  EXPECT_EQ(std::memcmp(digest, back, 16), 0);
  // Too short or not hexadecimal.
  EXPECT_FALSE(qx::md5FromText("900150983CD24FB0D6963F7D28E17F7", back));
  EXPECT_FALSE(qx::md5FromText("900150983CD24FB0D6963F7D28E17FXX", back));
  EXPECT_FALSE(qx::md5FromText(nullptr, back));
}

}  // namespace
