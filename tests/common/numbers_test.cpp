// The decimal and hexadecimal readers and the bounded text helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "common/numbers.h"
#include "common/text.h"

namespace {

TEST(Numbers, DecimalReaderSkipsMinusAndStopsAtOtherCharacters) {
  struct Case {
    const char *text;
    uint32_t value;
  } cases[] = {{"123", 123},     {"-1", 1},  {"1-2-3", 123},
               {"12ab3", 12},    {"", 0},    {"x12", 0},
               {" 5", 0},        {"007", 7}, {"4294967295", 4294967295u},
               {"4294967296", 0}};
  for (const Case &c : cases)
    EXPECT_EQ(qx::readDecimal(c.text), c.value) << c.text;
  EXPECT_EQ(qx::readDecimal(nullptr), 0u);
  EXPECT_EQ(qx::readDecimal("12345", 2), 12u);
}

TEST(Numbers, HexReaderTakesBothCases) {
  EXPECT_EQ(qx::readHex("1aF"), 0x1AFu);
  EXPECT_EQ(qx::readHex("FFffFFff"), 0xFFFFFFFFu);
  EXPECT_EQ(qx::readHex("12g4"), 0x12u);
  EXPECT_EQ(qx::readHex("-1"), 0u);
  EXPECT_EQ(qx::readHex(nullptr), 0u);
}

TEST(Text, CopiesAndFormatsAreCutAndTerminated) {
  char field[8];
  std::memset(field, 'x', sizeof field);
  qx::copyText(field, "abcdefghijkl", 7);
  EXPECT_STREQ(field, "abcdefg");
  qx::copyText(field, nullptr, 7);
  EXPECT_STREQ(field, "");
  qx::copyText(field, "ab", 7);
  qx::appendText(field, sizeof field, "cdefghij");
  EXPECT_STREQ(field, "abcdefg");
  EXPECT_EQ(qx::formatText(field, sizeof field, "%d", 123456789), 7u);
  EXPECT_STREQ(field, "1234567");
}

TEST(Text, CompareIgnoresCaseOfAsciiOnly) {
  EXPECT_EQ(qx::compareNoCase("QX_Ver", "qx_ver"), 0);
  EXPECT_NE(qx::compareNoCase("qx_ver", "qx_vers"), 0);
  EXPECT_EQ(qx::compareNoCaseN("qx_VERSION", "QX_vers", 6), 0);
  EXPECT_NE(qx::compareNoCase("\xC4", "\xE4"), 0);
}

}  // namespace
