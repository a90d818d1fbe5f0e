// Screenshot requests through the entry points: the server's requests end
// to end (the server side reassembles the upload), the player's qx_GetSs
// and qx_SsOptions, the stages and the files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../channel/channel_fixture.h"
#include "common/heap.h"
#include "common/protocol.h"
#include "peer/digest.h"
#include "peer/screenshot_peer.h"
#include "png_decode.h"
#include "screenshot/capture.h"
#include "screenshot/png.h"
#include "screenshot/screenshot.h"
#include "test_heap.h"

namespace channeltest {
namespace {

namespace ss = qx::screenshot;
namespace qxh = qx::host;

qx::platform::CalendarTime december8() { return {2026, 12, 8, 14, 5, 9}; }

// A frame with something to see: colour bands, a white square and a
// diagonal, so that it compresses like a picture and not like noise.
void gameFrame(int32_t x, int32_t y, uint8_t *p) {
  p[0] = uint8_t(x / 3);
  p[1] = uint8_t(y / 2);
  p[2] = uint8_t(x * y / 255);
  if (x > 280 && x < 360 && y > 200 && y < 280) p[0] = p[1] = p[2] = 255;
  if (x == y) p[0] = p[1] = p[2] = 0;
}

// A screen without a usable primary surface on every platform, as on
// Linux: requests go to the host's read-back.
const qx::platform::ScreenAccess kNoSurface = {
    [] { return true; },
    [](qx::platform::WindowPlacement &w) {
      w = {1, 0, 0, 640, 480};
      return true;
    },
    []() -> qx::platform::Surface { return nullptr; },
    [](qx::platform::Surface, qx::platform::SurfaceLock &) { return false; },
    [](qx::platform::Surface) {},
    [](qx::platform::Surface, qx::platform::PaletteColour *) { return false; },
    [](qx::platform::Surface) {},
};

// The work clock that the screenshots' budget is measured by: it advances
// g_workStep microseconds at every reading, so that a test, not the speed
// of the machine, decides how many slices fit in a call. 0: all of them;
// the budget or more: one.
uint64_t g_workNow = 0, g_workStep = 0;
uint64_t workClock() { return g_workNow += g_workStep; }
// A step at which one slice fits in a call and a second does not: the
// call has spent one step when the screenshots' turn comes, and a slice
// takes one step (as the budget learns); a step that cannot be cut may
// still run.
constexpr uint64_t kOneSlicePerCall = 350;
static_assert(kOneSlicePerCall < qxh::kFreshCallMicros &&
                  2 * kOneSlicePerCall <= qxh::kCallBudgetMicros &&
                  3 * kOneSlicePerCall > qxh::kCallBudgetMicros &&
                  kOneSlicePerCall + qxh::kFirstSliceEstimate <=
                      qxh::kCallBudgetMicros,
              "one slice per call");

class Screenshots : public ChannelTest {
 protected:
  void SetUp() override {
    g_workStep = 0;
    qx::platform::setWallClockSource(workClock);
    qx::platform::setScreenAccess(&kNoSurface);
    ChannelTest::SetUp();
    qx::platform::setCalendarSource(december8);
    host.setFrame(640, 480, gameFrame);
    host.details = {
        {"game", "FakeGame"}, {"map", "q3dm17"}, {"player", "Sarge"}};
    host.cvars["name"] = "Sarge";
  }
  void TearDown() override {
    qx::platform::setCalendarSource(nullptr);
    qx::platform::setScreenAccess(nullptr);
    qx::platform::setWallClockSource(nullptr);
  }

  std::string home() const { return client().host.homeDir; }
  ss::Slot &slot(int i = 0) { return client().screenshot.slots[i]; }
  // The budget of a new call, begun now.
  static qxh::CallBudget &newCall() {
    qxh::CallBudget &call = qxh::currentCall();
    call.begin();
    return call;
  }
  int busy() {
    int n = 0;
    for (const ss::Slot &s : client().screenshot.slots) n += s.stage != 0;
    return n;
  }

  // A server request: "<seconds> <check> <number> <words...>".
  void request(uint32_t seconds, int32_t number,
               std::vector<std::string> words = {}) {
    peer::ScreenshotRequest r;
    r.seconds = seconds;
    r.number = number;
    r.numbers = std::move(words);
    sendE(peer::screenshotRequest(r, kHostNumbers[2]));
  }

  // Runs due calls, each more than half a second apart, until no slot is
  // busy; feeds what the client sent to the server side. Returns the calls.
  int runUntilDone(int maxFrames = 4000) {
    int calls = 0;
    for (; calls < maxFrames && busy(); ++calls) {
      host.advance(600);
      host.frame();
      takeSent();
    }
    EXPECT_EQ(busy(), 0);
    return calls;
  }
  // Runs frames until the first slot has taken its picture.
  void runUntilCaptured() {
    for (int i = 0; i < 20 && slot().stage == ss::kStageCapture; ++i) {
      host.advance(600);
      host.frame();
    }
  }
  void takeSent() {
    for (const qxtest::Packet &p : host.sent) {
      const peer::Unframed u = peer::unframe(key, p.bytes);
      ASSERT_TRUE(u.ok);
      const peer::ScreenshotReceiver::Event e = receiver.accept(u.message);
      if (!e.kind.empty()) events.push_back(e);
    }
    host.sent.clear();
  }
  const peer::ScreenshotReceiver::Event *completed() const {
    for (const auto &e : events)
      if (e.kind == "complete") return &e;
    return nullptr;
  }

  peer::ScreenshotReceiver receiver;
  std::vector<peer::ScreenshotReceiver::Event> events;
};

TEST_F(Screenshots, ServerScreenshotTravelsToTheServer) {
  request(10, 42);
  ASSERT_EQ(busy(), 1);
  EXPECT_LT(slot().delayMs, 10000u);
  EXPECT_STREQ(
      slot().text,
      (std::to_string(peer::screenshotCheck(kHostNumbers[2], 10)) + " 42")
          .c_str());
  runUntilDone();
  const auto *done = completed();
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->name, "qx000042.png");
  EXPECT_EQ(events.front().kind, "header");
  EXPECT_EQ(events[1].kind, "chunk");  // the first chunk follows at once
  EXPECT_EQ(events[1].chunk, 0u);
  for (const auto &e : events) EXPECT_NE(e.kind, "bad");
    // The budget shrinks 640 x 480 to 311 x 232, captured as 308 x 232.
#if defined(QX_HAVE_LIBPNG)
  const sstest::Decoded d = sstest::decodePng(done->png);
  ASSERT_TRUE(d.ok);
  // The text panel's longest line may widen the image, on both sides.
  ASSERT_GE(d.width, 308u + 20);
  EXPECT_EQ(d.height, 232u + 106);
  const uint32_t left = (d.width - 308) / 2;
  // Picture pixel (0, 0) is frame pixel ((640 - 308) / 2, (480 - 232) / 2).
  uint8_t expected[3];
  gameFrame(166, 124, expected);
  EXPECT_EQ(std::memcmp(d.at(left, 10), expected, 3), 0);
  gameFrame(166 + 307, 124 + 231, expected);
  EXPECT_EQ(std::memcmp(d.at(left + 307, 10 + 231), expected, 3), 0);
#endif
  // Not saved (qx_SsSave 0), but logged.
  const std::string log = qxtest::readFile(home() + "qxsslog.htm");
  EXPECT_NE(log.find("<p> 1208 (Not Saved) qx000042.png [14:05:09] MD5="),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" 10.1.2.3:27960 Sarge\r\n"), std::string::npos);
  EXPECT_EQ(qxtest::readFile(home() + "scrnshot\\1208_000.png"), "");
}

// The log is a page the player opens: a value the server or the host
// chooses shows as text there and never becomes markup or script.
TEST_F(Screenshots, LogEscapesValuesFromOutside) {
  struct Case {
    std::string player, shown;
  } cases[] = {
      {"<script>alert('x')</script> & \"q\"",
       "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;"},
      // The longest value, all of it escaped, still ends the line whole.
      {std::string(255, '<'),
       [] {
         std::string s;
         for (int i = 0; i < 255; ++i) s += "&lt;";
         return s;
       }()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.shown.substr(0, 20));
    host.details["player"] = c.player;
    request(0, 42, {"64", "64"});
    runUntilDone();
    // Each case appends its line at the end of the log.
    const std::string log = qxtest::readFile(home() + "qxsslog.htm");
    const std::string tail = " 10.1.2.3:27960 " + c.shown + "\r\n";
    ASSERT_GE(log.size(), tail.size()) << log;
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;
  }
}

TEST_F(Screenshots, RequestWordsBecomeTheCaptureSize) {
  struct Case {
    std::vector<std::string> words;
    uint16_t width, height, step;  // of the capture after stage 1
  } cases[] = {
      {{}, 308, 232, 1},  // the budget: 11 steps of 15/16, then multiples of 4
      {{"640", "480", "50", "50", "2"}, 640, 480, 2},  // 76800 sampled pixels
      {{"5", "5", "0", "100", "9"}, 8, 8, 4},  // at least 10, rate at most 4
      {{"200", "100", "0", "0", "0"}, 200, 100, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words.empty() ? "defaults" : c.words[0]);
    request(0, 7, c.words);
    runUntilCaptured();
    ASSERT_GE(slot().stage, ss::kStageEncode);
    ASSERT_NE(slot().capture, nullptr);
    EXPECT_EQ(slot().capture->width, c.width);
    EXPECT_EQ(slot().capture->height, c.height);
    EXPECT_EQ(slot().capture->step, c.step);
    EXPECT_EQ(uint8_t(slot().status), qx::protocol::kScreenshotReadBack);
    EXPECT_EQ(uint8_t(slot().lines[0][23]), qx::protocol::kScreenshotReadBack);
    runUntilDone();
    ASSERT_NE(completed(), nullptr);
    events.clear();
  }
}

// A host whose read-back pads every row to 4 bytes, as the common graphics
// libraries do by default, against the header's word: rows of 1366 pixels
// take 4100 bytes instead of 4098. Run under AddressSanitizer, a buffer
// sized for packed rows is overrun by the last rows.
struct PaddingHost {
  static int32_t width, height;
  static size_t written;  // bytes the last read-back wrote
  static void QX_READBACK_CALL readBack(int32_t, int32_t, int32_t w, int32_t h,
                                        int32_t, int32_t, void *out) {
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t{3};
    written = stride * size_t(h);
    for (size_t i = 0; i < written; ++i)
      static_cast<uint8_t *>(out)[i] = uint8_t(i % 251);
  }
  static intptr_t QX_CDECL query(int32_t code) {
    switch (code) {
      case QX_CAP_READBACK:
        return reinterpret_cast<intptr_t>(&readBack);
      case QX_CAP_WIDTH:
        return width;
      case QX_CAP_HEIGHT:
        return height;
      default:
        return 1;
    }
  }
};
int32_t PaddingHost::width = 1366, PaddingHost::height = 768;
size_t PaddingHost::written = 0;

TEST_F(Screenshots, ReadBackThatPadsItsRowsStaysInItsBuffer) {
  host.gi.captureQuery = PaddingHost::query;
  request(0, 11, {"1400", "768", "50", "50", "4"});
  runUntilCaptured();
  ASSERT_GE(slot().stage, ss::kStageEncode);
  ASSERT_NE(slot().capture, nullptr);
  EXPECT_EQ(slot().capture->width, 1366);
  EXPECT_EQ(slot().capture->height, 768);
  EXPECT_EQ(PaddingHost::written, 4100u * 768);
  runUntilDone();
  EXPECT_NE(completed(), nullptr);
}

TEST_F(Screenshots, BadRequestWordsStayWithinTheFrame) {
  const std::vector<std::vector<std::string>> cases = {
      {"99999999999999999999", "abc"},
      {"4294967295", "4294967295", "-2147483649", "x", "4294967295"},
      {"10", "4294967295", "999", "-1", "1"},
      {"-", "--", "\x80", "1e9", "2"},
      {"\"640", "480\"", "50"},
      {"0", "0", "0", "0", "0", "0", "0", "0"},
  };
  for (const auto &words : cases) {
    SCOPED_TRACE(words[0]);
    request(0, 9, words);
    runUntilCaptured();
    if (slot().capture) {
      EXPECT_LE(slot().capture->width, 640);
      EXPECT_LE(slot().capture->height, 480);
      EXPECT_LE(slot().capture->pixelsCapacity, 640u * 480 * 3 + 480);
    }
    runUntilDone();
  }
  // Every request produced an image, uploaded whole (or a failure image).
  int complete = 0;
  for (const auto &e : events) complete += e.kind == "complete";
  EXPECT_EQ(complete, int(cases.size()));
}

TEST_F(Screenshots, RequestCheckRefusesOddTens) {
  const uint32_t c = uint32_t(kHostNumbers[2]);
  const std::string refused = "0 " + std::to_string(c ^ 10u) + " 5";
  sendE(peer::text("I" + refused));
  EXPECT_EQ(busy(), 0);  // queued, then refused and cleared in one pass
  EXPECT_TRUE(events.empty());
  takeSent();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(host.readBacks.empty());
}

TEST_F(Screenshots, SixthRequestIsIgnored) {
  for (int i = 0; i < 6; ++i) {
    const std::string text = "1000 0 " + std::to_string(i);
    ss::queueScreenshot(&host.gi, int32_t(text.size()), text.c_str());
  }
  EXPECT_EQ(busy(), 5);
  EXPECT_STREQ(slot(4).text, "0 4");
  // Empty texts, texts with a leading space and lengths below 1.
  ss::releaseScreenshots(client().screenshot);
  for (ss::Slot &s : client().screenshot.slots) s = ss::Slot{};
  ss::queueScreenshot(&host.gi, 0, "5 0 1");
  ss::queueScreenshot(&host.gi, 5, " 5 0 1");
  ss::queueScreenshot(&host.gi, 5, "");
  EXPECT_EQ(busy(), 0);
  // The length bounds the text: no terminator needed.
  const char unterminated[3] = {'7', ' ', '9'};
  ss::queueScreenshot(&host.gi, 3, unterminated);
  EXPECT_STREQ(slot().text, "9");
  EXPECT_LT(slot().delayMs, 7000u);
}

TEST_F(Screenshots, DelayIsRandomBelowTheSeconds) {
  struct Case {
    const char *text;
    uint32_t below;
  } cases[] = {
      {"0 0 1", 1},
      {"10 0 1", 10000},
      // seconds * 1000 is 2^32 * 125: no wrap to a modulus of 0.
      {"536870912 0 1", 0x80000000u},
      {"4294967295 0 1", 0x80000000u},
      {"99999999999999999999 0 1", 0x80000000u},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ss::queueScreenshot(&host.gi, int32_t(std::strlen(c.text)), c.text);
    EXPECT_EQ(slot().stage, ss::kStageCapture);
    EXPECT_LT(slot().delayMs, c.below);
    slot() = ss::Slot{};
  }
}

TEST_F(Screenshots, SchedulerRetriesAtWorkFramesAndKeepsOneFinishedRecord) {
  for (int i = 0; i < 2; ++i) ss::queueScreenshot(&host.gi, 1, "0");
  const uint32_t now = qxtest::FakeHost::now;
  auto workFrame = [&] { ss::runScreenshots(&host.gi, now, newCall()); };
  auto otherCall = [&] { ss::continueScreenshots(&host.gi, newCall()); };
  // A work frame takes the requests on; sizing a capture may allocate, so
  // it waits for a call outside the work frames, one slot a call.
  auto attempt = [&] {
    workFrame();
    EXPECT_EQ(slot(1).failures % 3, slot(0).failures % 3);
    for (int i = 0; i < 2; ++i) otherCall();
  };
  attempt();
  EXPECT_EQ(slot(0).stage, 1);  // local, options 0: a silent failure
  EXPECT_EQ(slot(0).failures, 1);
  EXPECT_EQ(slot(1).failures, 1);
  // A retry waits for a work frame's pass.
  EXPECT_FALSE(ss::workUnderWay());
  otherCall();
  EXPECT_EQ(slot(0).failures, 1);
  for (int i = 0; i < 2; ++i) attempt();
  EXPECT_EQ(slot(0).failures, 3);
  EXPECT_EQ(slot(1).failures, 3);
  // The fourth failure shows in the image; setting up the first
  // compressor waits for a call that has done nothing else yet.
  workFrame();
  otherCall();
  EXPECT_EQ(slot(0).stage, ss::kStageEncode);
  EXPECT_FALSE(host.printedPart("Screenshot saved to "));
  for (int i = 0; i < 20 && busy() > 0; ++i) otherCall();
  EXPECT_EQ(busy(), 0);
  int saved = 0;
  for (const std::string &t : host.texts)
    saved += t.rfind("Screenshot saved to ", 0) == 0;
  EXPECT_EQ(saved, 2);
  // Both records are kept whole for the next screenshots.
  ss::State &st = client().screenshot;
  ASSERT_NE(st.kept[0], nullptr);
  ASSERT_NE(st.kept[1], nullptr);
  EXPECT_NE(st.kept[0]->work, nullptr);
  EXPECT_EQ(slot(0).capture, nullptr);
  EXPECT_EQ(slot(1).capture, nullptr);
  EXPECT_FALSE(ss::buffersRetired());
  // The next request takes the one with the larger buffers.
  ss::Capture *larger =
      ss::recordBytes(*st.kept[0]) >= ss::recordBytes(*st.kept[1]) ? st.kept[0]
                                                                   : st.kept[1];
  ss::queueScreenshot(&host.gi, 1, "0");
  workFrame();
  EXPECT_EQ(slot(0).capture, larger);
  EXPECT_NE(st.kept[0] == nullptr, st.kept[1] == nullptr);
}

// Records are kept one per slot while they hold at most kKeptBytes in all;
// the first whatever its size.
TEST_F(Screenshots, KeptRecordsStayWithinTheirBytes) {
  // Records made while none is kept are new ones.
  auto records = [](std::vector<uint64_t> sizes) {
    std::vector<ss::Capture *> out;
    for (uint64_t bytes : sizes) {
      out.push_back(ss::newCapture());
      EXPECT_TRUE(ss::growWork(*out.back(), bytes));
    }
    return out;
  };
  const ss::State &st = client().screenshot;
  auto finish = [&st](std::vector<ss::Capture *> &rs) {
    for (ss::Capture *&c : rs) ss::finishCapture(c);
    int kept = 0;
    for (const ss::Capture *k : st.kept) kept += k != nullptr;
    return kept;
  };
  struct Case {
    const char *name;
    std::vector<uint64_t> sizes;
    int kept;
  } cases[] = {
      {"the first whatever its size", {ss::kKeptBytes + 1, 4096}, 1},
      {"within the bytes", {ss::kKeptBytes / 2, ss::kKeptBytes / 4}, 2},
      {"beyond the bytes", {ss::kKeptBytes / 2, ss::kKeptBytes / 2 + 1}, 1},
      {"one per slot", std::vector<uint64_t>(ss::kSlotCount + 1, 4096),
       ss::kSlotCount},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ss::Capture *> rs = records(c.sizes);
    EXPECT_EQ(finish(rs), c.kept);
    EXPECT_EQ(ss::buffersRetired(), c.kept < int(c.sizes.size()));
    ss::releaseBuffers(client().screenshot);
  }
}

TEST_F(Screenshots, LocalScreenshotIsStoredAndLogged) {
  host.console("qx_GetSs");
  host.pump(1);  // runs the line and a first capture attempt
  EXPECT_EQ(slot().failures, 1);
  EXPECT_EQ(client().frame.lastFrameTick, 0u);
  host.frame();  // no time has passed: the next frame is due at once
  EXPECT_EQ(slot().failures, 2);
  runUntilDone();
  EXPECT_TRUE(host.printedPart("Screenshot saved to "));
  EXPECT_TRUE(events.empty());  // nothing uploaded
  const std::string log = qxtest::readFile(home() + "qxsslog.htm");
  EXPECT_EQ(log,
            "<p> <a href=scrnshot\\1208_000.htm target=_blank>"
            "scrnshot\\1208_000.png</a> qx000000.png [14:05:09] MD5=" +
                std::string(32, '0') + " Local Screenshot\r\n");
  EXPECT_EQ(qxtest::readFile(home() + "scrnshot\\1208_000.htm"),
            "<p> <img src=1208_000.png>\r\n");
  const std::string png = qxtest::readFile(home() + "scrnshot\\1208_000.png");
#if defined(QX_HAVE_LIBPNG)
  const sstest::Decoded d =
      sstest::decodePng(std::vector<uint8_t>(png.begin(), png.end()));
  ASSERT_TRUE(d.ok);
  // The failure image: a 1 x 1 black picture, widened for the text.
  EXPECT_EQ(d.height, 10u + 1 + 96);
#endif
}

TEST_F(Screenshots, FilesAreNumberedModuloOneThousand) {
  client().screenshot.fileCounter = 1000;
  client().settings.ssSave = 1;
  request(0, 3, {"64", "64"});
  runUntilDone();
  EXPECT_NE(qxtest::readFile(home() + "scrnshot\\1208_000.png"), "");
  EXPECT_TRUE(
      host.printed("Screenshot saved to " + home() + "scrnshot\\1208_000.png"));
  const std::string log = qxtest::readFile(home() + "qxsslog.htm");
  const auto *done = completed();
  ASSERT_NE(done, nullptr);
  EXPECT_NE(log.find("MD5=" + qx::peer::digestText(done->png.data(),
                                                   done->png.size(), 0)),
            std::string::npos);
}

TEST_F(Screenshots, ImageThatCannotBeEncodedIsReportedAndDropped) {
  // An annotated image whose compression bound passes 4 GiB: no buffer for
  // it, so the request ends with the message, before any upload or log.
  ss::Slot &s = slot();
  std::snprintf(s.text, sizeof s.text, "%s", "1 2 77");
  s.stage = ss::kStageEncode;
  s.capture = ss::newCapture();
  s.capture->imageSize = 0xFFFFFFF0u;
  ss::continueScreenshots(&host.gi, newCall());
  EXPECT_TRUE(host.printed(ss::kOutOfMemoryMessage));
  ss::continueScreenshots(&host.gi, newCall());  // clears the finished slot
  EXPECT_EQ(busy(), 0);
  EXPECT_EQ(slot().capture, nullptr);
  EXPECT_TRUE(host.sent.empty());
  EXPECT_EQ(qxtest::readFile(home() + "qxsslog.htm"), "");
}

TEST_F(Screenshots, PngThatCannotBeCreatedIsReported) {
  // A file stands where the scrnshot directory should be.
  std::string dir = home() + "scrnshot";
  for (char &c : dir)
    if (c == '\\') c = '/';
  std::filesystem::remove_all(dir);
  std::FILE *blocker = std::fopen(dir.c_str(), "wb");
  ASSERT_NE(blocker, nullptr);
  std::fclose(blocker);
  host.console("qx_GetSs");
  host.pump(1);
  runUntilDone();
  EXPECT_TRUE(host.printed("ERROR Creating Screenshot file " + home() +
                           "scrnshot\\1208_000.png"));
  EXPECT_FALSE(host.printedPart("Screenshot saved"));
  // The log line is written all the same.
  EXPECT_NE(qxtest::readFile(home() + "qxsslog.htm").find("Local Screenshot"),
            std::string::npos);
}

TEST_F(Screenshots, UploadPacesChunksOnePerSecond) {
  ss::Slot &s = slot();
  s.stage = ss::kStageUpload;
  std::snprintf(s.text, sizeof s.text, "%s", "1 2 77");
  s.number = 77;
  s.capture = ss::newCapture();
  s.capture->pngSize = 2049;
  s.capture->work = static_cast<uint8_t *>(qx::heap::allocateZeroed(2049, 1));
  s.capture->work[2048] = 0x5A;
  const uint32_t t = 500000;
  struct Step {
    uint32_t at;
    size_t packets;  // sent in this pass
    int stage;
  } steps[] = {{t, 2, 3},        {t + 999, 0, 3},  {t + 1000, 1, 3},
               {t + 2000, 1, 3}, {t + 2500, 0, 3}, {t + 3000, 0, 4}};
  std::vector<size_t> lengths;
  for (const Step &step : steps) {
    host.sent.clear();
    ss::uploadStage(&host.gi, s, step.at);
    EXPECT_EQ(host.sent.size(), step.packets) << step.at - t;
    EXPECT_EQ(s.stage, step.stage);
    // Between chunks the calls outside work frames have nothing to do.
    EXPECT_EQ(ss::workUnderWay(), step.stage != ss::kStageUpload);
    for (const auto &u : packets()) lengths.push_back(u.message.size());
  }
  // Header, then chunks of 1024, 1024 and 1 bytes with 4 bytes before them.
  ASSERT_EQ(lengths.size(), 4u);
  EXPECT_EQ(lengths[1], 1028u);
  EXPECT_EQ(lengths[2], 1028u);
  EXPECT_EQ(lengths[3], 5u);
  EXPECT_EQ(s.transfer.letter, 'A');
  EXPECT_EQ(client().screenshot.transferCounter, 1u);
}

TEST_F(Screenshots, OptionsAreCheckedAndSaved) {
  struct Case {
    const char *line;
    const char *printed;
  } cases[] = {
      {"qx_SsOptions 800 600 50 50 3",
       "Screenshots: W=800, H=600, X=50%, Y=50%, Srate=3"},
      {"qx_SsOptions 800 600 50 50 5", ss::kOptionsRefused},
      {"qx_SsOptions 9", ss::kOptionsRefused},
      {"qx_SsOptions 1024 768 0 101 1", ss::kOptionsRefused},
      {"qx_SsOptions 4294967295 600 50 50 1", ss::kOptionsRefused},
      {"qx_SsOptions 640", "Screenshots: W=640, H=600, X=50%, Y=50%, Srate=3"},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    host.console(c.line);
    host.pump(2);
    EXPECT_TRUE(host.printed(c.printed)) << c.line;
  }
  host.console("qx_WriteCfg");
  host.pump(2);
  EXPECT_NE(qxtest::readFile(home() + "qxcl.cfg")
                .find("qx_SsOptions 640 600 50 50 3 //"),
            std::string::npos);
}

// A screen whose window is behind another process's for the first calls,
// then in front over a 32-bit surface of varied pixels.
int g_behind = 0;
std::vector<uint8_t> g_surface(64 * 64 * 4);
const qx::platform::ScreenAccess kLateWindow = {
    [] { return g_behind-- <= 0; },
    [](qx::platform::WindowPlacement &w) {
      w = {1, 0, 0, 64, 64};
      return true;
    },
    []() -> qx::platform::Surface { return &g_surface; },
    [](qx::platform::Surface, qx::platform::SurfaceLock &out) {
      for (size_t i = 0; i < g_surface.size(); ++i)
        g_surface[i] = uint8_t(i * 13);
      out = {g_surface.data(), 64 * 4, 32, 64};
      return true;
    },
    [](qx::platform::Surface) {},
    [](qx::platform::Surface, qx::platform::PaletteColour *) { return false; },
    [](qx::platform::Surface) {},
};

TEST_F(Screenshots, SurfaceCaptureAfterFailuresCountsThem) {
  qx::platform::setScreenAccess(&kLateWindow);
  g_behind = 2;
  const std::string text =
      "0 " + std::to_string(peer::screenshotCheck(kHostNumbers[2], 0)) +
      " 8 64 64";
  ss::queueScreenshot(&host.gi, int32_t(text.size()), text.c_str());
  const uint32_t now = qxtest::FakeHost::now;
  // A work frame starts each attempt, and a call after it sizes the capture
  // and goes on.
  auto turn = [&] {
    ss::runScreenshots(&host.gi, now, newCall());
    ss::continueScreenshots(&host.gi, newCall());
  };
  // Two silent failures, then the capture, which goes on up to the upload,
  // which waits for its next chunk.
  for (int i = 0; i < 2; ++i) turn();
  EXPECT_EQ(slot().stage, ss::kStageCapture);
  EXPECT_EQ(slot().failures, 2);
  for (int i = 0; i < 5 && slot().stage != ss::kStageUpload; ++i) turn();
  ASSERT_EQ(slot().stage, ss::kStageUpload);
  EXPECT_EQ(uint8_t(slot().status), qx::protocol::kScreenshotSurface);
  EXPECT_STREQ(slot().lines[3], "Requested 64x64 at X=50% Y=50%");
  EXPECT_STREQ(slot().lines[4], "Picture 64x64 step 1 (2)");

  // Behind another window for good: the fourth attempt shows the failure.
  ss::releaseScreenshots(client().screenshot);
  for (ss::Slot &s : client().screenshot.slots) s = ss::Slot{};
  g_behind = 100;
  ss::queueScreenshot(&host.gi, int32_t(text.size()), text.c_str());
  for (int i = 0; i < 6; ++i) turn();
  ASSERT_EQ(slot().stage, ss::kStageUpload);
  EXPECT_EQ(uint8_t(slot().status), qx::protocol::kScreenshotFailed);
  EXPECT_STREQ(slot().lines[3], ss::kForegroundText);
  EXPECT_STREQ(slot().lines[4], "Screen capture failed");
  EXPECT_EQ(slot().failures, 4);
}

// A 16-bit surface of 320 x 240 pixels, for the surface path.
std::vector<uint8_t> g_surface16;
const qx::platform::ScreenAccess kSurface16 = {
    [] { return true; },
    [](qx::platform::WindowPlacement &w) {
      w = {1, 0, 0, 320, 240};
      return true;
    },
    []() -> qx::platform::Surface { return &g_surface16; },
    [](qx::platform::Surface, qx::platform::SurfaceLock &out) {
      out = {g_surface16.data(), 320 * 2, 16, 240};
      return true;
    },
    [](qx::platform::Surface) {},
    [](qx::platform::Surface, qx::platform::PaletteColour *) { return false; },
    [](qx::platform::Surface) {},
};

// How the work is sliced never changes the bytes: the same requests give
// the PNGs that the client made before its work was cut by time, whose
// digests are written here, whether a call fits one slice (the clock jumps
// past the budget at every reading), a dozen, or all of them.
TEST_F(Screenshots, SlicingNeverChangesTheBytes) {
  const std::string local = "0CA1066FAD7157071220454B47AABBFB";
  const std::string surface = "E5AD4931ED7A875560935FC4208AFA97";
  const std::string server = "0D51AD228816DF9BA48B01ABD42F959B";
  g_surface16.resize(320 * 240 * 2);
  for (size_t i = 0; i < g_surface16.size(); ++i)
    g_surface16[i] = uint8_t((i / 2) % 320 + i / 640 * 3 + (i & 1) * 17);
  auto stored = [&](uint32_t n) {
    char name[32];
    std::snprintf(name, sizeof name, "scrnshot\\1208_%03u.png", n);
    const std::string png = qxtest::readFile(home() + name);
    return qx::peer::digestText(png.data(), png.size(), 0);
  };
  uint32_t file = 0;
  for (uint64_t step : {kOneSlicePerCall, uint64_t{37}, uint64_t{0}}) {
    SCOPED_TRACE(step);
    g_workStep = step;
    host.setFrame(1024, 768, [](int32_t x, int32_t y, uint8_t *p) {
      p[0] = uint8_t(x * 7 / 11);
      p[1] = uint8_t((x + y) / 5);
      p[2] = uint8_t(((x / 32) ^ (y / 32)) & 1 ? 200 : 40);
    });
    host.console("qx_SsOptions 800 600 30 70 1");
    host.console("qx_GetSs");
    host.pump(1);
    const int calls = runUntilDone();
    EXPECT_EQ(stored(file++), local);
    if (step == kOneSlicePerCall) {
      EXPECT_GT(calls, 300);  // one slice per call
    } else if (step == 0) {
      EXPECT_LT(calls, 10);  // the copy in a call of its own, then the rest
    }

    events.clear();
    request(0, 42, {"640", "480", "50", "50", "2"});
    runUntilDone();
    ++file;  // numbered, not saved
    ASSERT_NE(completed(), nullptr);
    EXPECT_EQ(qx::peer::digestText(completed()->png.data(),
                                   completed()->png.size(), 0),
              server);

    qx::platform::setScreenAccess(&kSurface16);
    host.console("qx_SsOptions 300 200 10 90 2");
    host.console("qx_GetSs");
    host.pump(1);
    runUntilDone();
    EXPECT_EQ(stored(file++), surface);
    qx::platform::setScreenAccess(&kNoSurface);
  }
}

// The player cannot take the last free slot: it stays for the server, and
// the player is told why nothing happened.
TEST_F(Screenshots, LocalRequestsLeaveTheLastSlotToTheServer) {
  for (int i = 0; i < 5; ++i) ss::takeLocalScreenshot();
  EXPECT_EQ(busy(), 4);
  int refusals = 0;
  for (const std::string &t : host.texts) refusals += t == ss::kLocalRefused;
  EXPECT_EQ(refusals, 1);
  // A request of the server's without words is a local one too.
  ss::queueScreenshot(&host.gi, 1, "0");
  EXPECT_EQ(busy(), 4);
  ss::queueScreenshot(&host.gi, 7, "100 0 5");
  EXPECT_EQ(busy(), 5);
  EXPECT_STREQ(slot(4).text, "0 5");
  ss::queueScreenshot(&host.gi, 7, "100 0 6");  // none left: dropped
  EXPECT_STREQ(slot(4).text, "0 5");
}

// Three large local screenshots are under way when the server asks for
// one: the server's is taken and its upload starts first, whatever the
// slot order, and the player's still all end stored.
TEST_F(Screenshots, ServerRequestGoesAheadOfThePlayers) {
  g_workStep = kOneSlicePerCall;  // one slice per call
  host.setFrame(640, 480, gameFrame);
  host.console("qx_SsOptions 640 480 50 50 1");
  for (int i = 0; i < 3; ++i) host.console("qx_GetSs");
  host.pump(1);
  for (int i = 0; i < 20; ++i) {
    host.advance(100);
    host.frame();
  }
  request(0, 77);
  int calls = 0;
  for (; calls < 4000 && events.empty(); ++calls) {
    host.advance(20);
    host.frame();
    takeSent();
  }
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().kind, "header");
  EXPECT_FALSE(host.printedPart("Screenshot saved"));
  runUntilDone(20000);
  int saved = 0;
  for (const std::string &t : host.texts)
    saved += t.rfind("Screenshot saved to ", 0) == 0;
  EXPECT_EQ(saved, 3);
}

// The work goes on in the calls between work frames: with qx_Sleep at 2 s
// a local screenshot is stored long before the next work frame.
TEST_F(Screenshots, WorkGoesOnBetweenWorkFrames) {
  g_workStep = 100;  // five slices per call
  host.console("qx_Sleep 2000");
  host.console("qx_SsOptions 640 480 0 0 1");
  host.console("qx_GetSs");
  host.pump(1);
  host.frame();  // qx_GetSs makes this call a work frame
  const uint32_t workFrame = client().frame.lastFrameTick;
  ASSERT_NE(workFrame, 0u);
  for (int i = 0; i < 1000 && busy(); ++i) {
    host.advance(1);
    host.frame();
  }
  EXPECT_EQ(busy(), 0);
  EXPECT_TRUE(host.printedPart("Screenshot saved to "));
  EXPECT_EQ(client().frame.lastFrameTick, workFrame);  // no work frame since
}

// A host whose every call costs 600 us of wall time in its server-address
// query, which the frame driver asks at the start of each call.
QxQueryFn g_hostQuery = nullptr;
intptr_t QX_CDECL slowQuery(int32_t code, char *buffer, int32_t size) {
  if (code == QX_Q_SERVER_ADDRESS) g_workNow += 600;
  return g_hostQuery(code, buffer, size);
}

// The budget counts from the call's entry even when no screenshot was under
// way then: a qx_GetSs drained in a call whose host callbacks took 600 us
// does not size the capture's buffers (a megabyte here) at the end of that
// call, nor run any slice; the next call, which is quick, does.
TEST_F(Screenshots, CallBudgetCountsFromTheEntryOfEveryCall) {
  host.console("qx_SsOptions 640 480 0 0 1");
  host.pump(1);
  g_workStep = 0;
  g_hostQuery = host.gi.query;
  host.gi.query = slowQuery;
  const uint64_t heldBefore = qxtest::heapCounts().liveBytes;
  host.console("qx_GetSs");
  host.frame();  // drains the line, then a work frame takes the request on
  host.gi.query = g_hostQuery;
  ASSERT_EQ(slot().stage, ss::kStageCapture);
  EXPECT_EQ(slot().phase, 1);  // the next step sizes the buffers
  EXPECT_LT(qxtest::heapCounts().liveBytes, heldBefore + 64 * 1024);
  host.frame();
  EXPECT_GT(qxtest::heapCounts().liveBytes, heldBefore + 1024 * 1024);
}

// An unload in the middle of any stage frees everything the slots hold and
// leaves no temporary file behind; AddressSanitizer and LeakSanitizer check
// the memory.
// The records kept for the next screenshots go back to the heap once no
// screenshot has wanted one for five minutes, a step of their own at a
// time: never in a work frame, and one buffer (or record) in a call.
TEST_F(Screenshots, KeptRecordIsGivenBackAfterFiveMinutes) {
  host.console("qx_SsOptions 640 480 0 0 1");
  host.console("qx_GetSs");
  host.pump(1);
  runUntilDone();
  ASSERT_TRUE(ss::anyKept());
  const uint64_t heldWithKept = qxtest::heapCounts().liveBytes;
  for (int i = 0; i < 20; ++i) {
    host.advance(14000);
    host.frame();
  }
  EXPECT_TRUE(ss::anyKept());  // still wanted within five minutes
  host.advance(30000);
  const uint64_t bytes = qxtest::heapCounts().liveBytes;
  ss::runScreenshots(&host.gi, qxtest::FakeHost::now, newCall());
  EXPECT_FALSE(ss::anyKept());
  EXPECT_TRUE(ss::buffersRetired());
  EXPECT_EQ(qxtest::heapCounts().liveBytes, bytes);
  // One slice: at most 512 KiB of a buffer.
  ss::continueScreenshots(&host.gi, newCall());
  EXPECT_LT(qxtest::heapCounts().liveBytes, bytes);
  EXPECT_GE(qxtest::heapCounts().liveBytes + 512 * 1024, bytes);
  EXPECT_TRUE(ss::buffersRetired());
  for (int i = 0; i < 100 && ss::buffersRetired(); ++i)
    ss::continueScreenshots(&host.gi, newCall());
  EXPECT_FALSE(ss::buffersRetired());
  EXPECT_LT(qxtest::heapCounts().liveBytes + 500000, heldWithKept);
}

TEST_F(Screenshots, UnloadInTheMiddleOfAnyStageFreesEverything) {
  struct Case {
    const char *name;
    bool (*reached)(const ss::Slot &);
  } cases[] = {
      {"clearing", [](const ss::Slot &s) { return s.phase == 2; }},
      {"sampling", [](const ss::Slot &s) { return s.phase == 7; }},
      {"annotating", [](const ss::Slot &s) { return s.phase == 9; }},
      {"deflating",
       [](const ss::Slot &s) {
         return s.stage == ss::kStageEncode && s.capture &&
                s.capture->encoder.phase == ss::kEncodeDeflating;
       }},
      {"writing the PNG",
       [](const ss::Slot &s) { return s.store.file != nullptr; }},
      {"the PNG whole, not yet in place",
       [](const ss::Slot &s) {
         return s.stage == ss::kStageStore && !s.store.file && s.capture &&
                s.store.written == s.capture->pngSize;
       }},
  };
  g_workStep = kOneSlicePerCall;
  host.setFrame(640, 480, gameFrame);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    host.console("qx_SsOptions 640 480 0 0 1");
    host.console("qx_GetSs");
    host.pump(1);
    bool reached = false;
    for (int i = 0; i < 4000 && busy() && !reached; ++i) {
      host.advance(20);
      host.frame();
      reached = c.reached(slot());
    }
    ASSERT_TRUE(reached);
    std::string temporary = slot().store.temporary;
    for (char &ch : temporary)
      if (ch == '\\') ch = '/';
    qx::unloadClientState();
    EXPECT_EQ(slot().capture, nullptr);
    EXPECT_EQ(slot().store.file, nullptr);
    if (!temporary.empty()) {
      EXPECT_FALSE(std::filesystem::exists(temporary));
    }
    // A fresh client for the next case, as a new load of the library.
    qx::loadClientState();
    host.start();
  }
}

TEST(ScreenshotStartUp, MissingCaptureQueryIsReportedOnce) {
  qxtest::FakeHost host;
  host.gi.captureQuery = nullptr;
  host.start();
  int warnings = 0;
  for (const std::string &t : host.texts)
    warnings += t == "Warning: Corrupted Interface";
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(client().screenshot.firstRunDone, 1);
  // The preparation's slot is cleared at the scheduler's first pass.
  host.pump(2);
  EXPECT_EQ(client().screenshot.slots[0].stage, 0);
  EXPECT_EQ(client().screenshot.slots[0].capture, nullptr);
}

}  // namespace
}  // namespace channeltest

namespace channeltest {
namespace {

// The server side on its own: chunks in any order, a header again after a
// restart, chunks again after the end, a damaged chunk.
TEST(ScreenshotReceiver, ReassemblesInAnyOrderAndChecksTheDigest) {
  std::vector<uint8_t> file(2500);
  for (size_t i = 0; i < file.size(); ++i) file[i] = uint8_t(i * 7 + 3);
  const std::string digest = qx::peer::digestText(file.data(), file.size(), 0);
  const std::string header = "G2500 " + digest + " Kqx000005.png";
  auto chunk = [&](uint32_t n, bool damaged = false) {
    const size_t from = n * 1024, to = std::min<size_t>(from + 1024, 2500);
    Bytes m(4 + to - from);
    m[0] = 'H';
    m[1] = uint8_t(n >> 8);
    m[2] = uint8_t(n);
    m[3] = 'K';
    std::copy(file.begin() + long(from), file.begin() + long(to),
              m.begin() + 4);
    if (damaged) m.back() ^= 1;
    return m;
  };
  peer::ScreenshotReceiver receiver;
  EXPECT_EQ(receiver.accept(peer::text(header)).kind, "header");
  EXPECT_EQ(receiver.accept(chunk(2)).kind, "chunk");
  EXPECT_EQ(receiver.missing('K'), (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(receiver.accept(peer::text(header)).kind, "header");  // restart
  EXPECT_EQ(receiver.accept(chunk(0)).kind, "chunk");
  Bytes wrongSize = chunk(1);
  wrongSize.pop_back();
  EXPECT_EQ(receiver.accept(wrongSize).kind, "bad");
  const auto done = receiver.accept(chunk(1));
  EXPECT_EQ(done.kind, "complete");
  EXPECT_EQ(done.name, "qx000005.png");
  EXPECT_EQ(done.png, file);
  // A restart that arrives after the end: the chunks come again, whole.
  EXPECT_EQ(receiver.accept(chunk(2)).kind, "again");
  EXPECT_EQ(receiver.accept(wrongSize).kind, "bad");

  peer::ScreenshotReceiver other;
  other.accept(peer::text(header));
  other.accept(chunk(0));
  other.accept(chunk(1, true));
  EXPECT_EQ(other.accept(chunk(2)).kind, "bad-digest");
  EXPECT_EQ(other.accept(peer::text("G12 nothex Kx")).kind, "bad");
  EXPECT_EQ(other.accept({'H', 0, 0}).kind, "bad");
}

}  // namespace
}  // namespace channeltest
