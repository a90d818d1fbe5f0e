// The soak run's account of screenshots: an upload counts only as a sound
// PNG of the size asked for, every request the server sent is received or
// lost with its reason, and the server asks only while the client is sure
// to have a slot for the request.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "screenshot/screenshot.h"
#include "screenshots.h"

namespace {

using qx::peer::Bytes;
using Event = qx::peer::ScreenshotReceiver::Event;

void bigEndian(Bytes &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(v >> shift));
}

void chunk(Bytes &png, const std::string &type, const Bytes &body) {
  bigEndian(png, static_cast<uint32_t>(body.size()));
  Bytes typed(type.begin(), type.end());
  typed.insert(typed.end(), body.begin(), body.end());
  png.insert(png.end(), typed.begin(), typed.end());
  bigEndian(png, static_cast<uint32_t>(
                     crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

// A red-green-blue PNG of w x h pixels whose image data holds rows rows.
Bytes png(uint32_t w, uint32_t h, uint32_t rows) {
  Bytes out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  Bytes header;
  bigEndian(header, w);
  bigEndian(header, h);
  header.insert(header.end(), {8, 2, 0, 0, 0});
  chunk(out, "IHDR", header);
  const Bytes raw(size_t{rows} * (1 + w * 3), 0x40);
  Bytes packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf length = static_cast<uLongf>(packed.size());
  compress(packed.data(), &length, raw.data(), static_cast<uLong>(raw.size()));
  packed.resize(length);
  chunk(out, "IDAT", packed);
  chunk(out, "IEND", {});
  return out;
}

Bytes cut(const Bytes &b, size_t front, size_t back) {
  return Bytes(b.begin() + static_cast<long>(front),
               b.end() - static_cast<long>(back));
}

TEST(SoakScreenshots, AnUploadIsCheckedAsAPng) {
  struct Case {
    const char *name;
    Bytes png;
    const char *why;  // empty: sound
  } cases[] = {
      {"sound", png(160, 120, 120), ""},
      {"rows missing", png(160, 120, 119), "inflates to"},
      {"smaller than asked", png(150, 120, 120), "smaller than the 160 x 90"},
      {"no signature", cut(png(160, 120, 120), 1, 0), "no PNG signature"},
      {"cut short", cut(png(160, 120, 120), 0, 6), "ends inside a chunk"},
  };
  for (const Case &c : cases) {
    std::string why;
    EXPECT_EQ(qxsoak::pngSound(c.png, 160, 90, why), c.why[0] == '\0')
        << c.name << ": " << why;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
  }
  Bytes flipped = png(160, 120, 120);
  flipped[20] ^= 1;  // a bit of the header's width: its check value fails
  std::string why;
  EXPECT_FALSE(qxsoak::pngSound(flipped, 160, 90, why));
  EXPECT_EQ(why, "a chunk's check value is wrong");
}

Event upload(const char *kind, int32_t number, Bytes image = {}) {
  Event e;
  e.kind = kind;
  e.letter = 'A';
  e.name = qx::peer::screenshotName(number);
  e.png = std::move(image);
  return e;
}

constexpr uint64_t kSecond = 1000;

TEST(SoakScreenshots, EveryRequestIsReceivedOrLostWithItsReason) {
  qxsoak::ScreenshotTally tally;
  qxsoak::ScreenshotLedger ledger(tally);
  std::vector<std::string> failures, lost;
  // 1 comes whole; 2 never begins; 3 stops after one of three chunks; 4 is
  // still in time at the end.
  for (int32_t n = 1; n <= 3; ++n) ledger.asked(n, 5, 160, 90, 0);
  ledger.upload(upload("header", 1), 2, 8 * kSecond, failures);
  ledger.upload(upload("complete", 1, png(160, 120, 120)), 0, 10 * kSecond,
                failures);
  ledger.upload(upload("header", 3), 3, 8 * kSecond, failures);
  ledger.upload(upload("chunk", 3), 2, 9 * kSecond, failures);
  // A request sent again as garbage is owed nothing.
  ledger.askedAgain(1, 20 * kSecond);
  ledger.expire(38 * kSecond, lost);
  EXPECT_TRUE(lost.empty());
  ledger.expire(39 * kSecond, lost);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_NE(lost[0].find("screenshot 3 (asked at minute 1, a delay of up to "
                         "5 s): its upload stopped at 1 of 3 chunks"),
            std::string::npos)
      << lost[0];
  ledger.expire(64 * kSecond, lost);
  EXPECT_EQ(lost.size(), 1u);
  ledger.asked(4, 20, 160, 90, 60 * kSecond);
  ledger.end(65 * kSecond, lost);
  ASSERT_EQ(lost.size(), 2u);
  EXPECT_NE(lost[1].find("screenshot 2 (asked at minute 1, a delay of up to "
                         "5 s): no upload began within its delay and a minute"),
            std::string::npos)
      << lost[1];
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(tally.asked, 4u);
  EXPECT_EQ(tally.checked, 1u);
  EXPECT_EQ(tally.lost, 2u);
  EXPECT_EQ(tally.inFlight, 1u);
  EXPECT_EQ(tally.replays, 1u);
}

TEST(SoakScreenshots, WhatNoRequestAskedForAndBrokenUploadsFail) {
  qxsoak::ScreenshotTally tally;
  qxsoak::ScreenshotLedger ledger(tally);
  std::vector<std::string> failures;
  ledger.asked(1, 5, 160, 90, 0);
  ledger.upload(upload("complete", 7, png(160, 120, 120)), 0, kSecond,
                failures);
  ledger.upload(upload("complete", 1, png(100, 120, 120)), 0, kSecond,
                failures);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_NE(failures[0].find("\"qx000007.png\" that no request asked for"),
            std::string::npos);
  EXPECT_NE(failures[1].find("qx000001.png is no sound image"),
            std::string::npos);
}

TEST(SoakScreenshots, TheServerAsksOnlyWhileASlotIsSure) {
  qxsoak::ScreenshotTally tally;
  qxsoak::ScreenshotLedger ledger(tally);
  std::vector<std::string> failures;
  EXPECT_TRUE(ledger.mayAsk());
  ledger.asked(1, 5, 160, 90, 0);
  ledger.asked(2, 5, 160, 90, 0);
  EXPECT_TRUE(ledger.mayAsk());
  // A replay may hold a third slot, the player's screenshot a fourth.
  ledger.askedAgain(1, 0);
  EXPECT_FALSE(ledger.mayAsk());
  EXPECT_TRUE(ledger.mayTakeLocal());
  ledger.localAsked(0);
  EXPECT_FALSE(ledger.mayTakeLocal());
  ledger.printed("Screenshot saved to scrnshot\\1208_000.png", kSecond,
                 failures);
  EXPECT_TRUE(ledger.mayTakeLocal());
  ledger.asked(3, 5, 160, 90, 0);
  ledger.asked(4, 5, 160, 90, 0);
  EXPECT_FALSE(ledger.mayTakeLocal());  // five may be in hand
  ledger.upload(upload("complete", 4, png(160, 120, 120)), 0, kSecond,
                failures);
  EXPECT_FALSE(ledger.mayTakeLocal());  // four
  ledger.upload(upload("complete", 3, png(160, 120, 120)), 0, kSecond,
                failures);
  EXPECT_TRUE(ledger.mayTakeLocal());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(tally.localSaved, 1u);
}

TEST(SoakScreenshots, ThePlayersScreenshotIsSavedOrRefused) {
  qxsoak::ScreenshotTally tally;
  qxsoak::ScreenshotLedger ledger(tally);
  std::vector<std::string> failures, lost;
  ledger.localAsked(0);
  ledger.printed(std::string(qx::screenshot::kLocalRefused), kSecond, failures);
  ledger.localAsked(2 * kSecond);
  ledger.expire(62 * kSecond, lost);
  EXPECT_TRUE(lost.empty());
  ledger.expire(63 * kSecond, lost);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_NE(lost[0].find("neither saved nor refused"), std::string::npos);
  ledger.printed("ERROR Creating Screenshot file scrnshot\\1208_001.png",
                 64 * kSecond, failures);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(tally.localRefused, 1u);
}

}  // namespace
