// Capture from a primary surface the test controls (depth, pitch, palette,
// the window in front) and from the fake host's read-back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_host.h"
#include "host/client_state.h"
#include "screenshot/capture.h"
#include "test_heap.h"

namespace {

namespace ss = qx::screenshot;
namespace platform = qx::platform;

// A screen of surfaceWidth x surfaceHeight pixels at some depth, held in a
// buffer of exactly pitch * height bytes, so that a read outside it is an
// out-of-bounds read under the sanitizers.
struct FakeScreen {
  bool own = true;
  bool placementOk = true;
  platform::WindowPlacement window{1, 0, 0, 800, 600};
  bool opens = true, locks = true;
  bool faultyBits = false;  // the lock hands out an address that faults
  int32_t bitsPerPixel = 32, pitch = 0, height = 0;
  std::vector<uint8_t> bits;
  bool hasPalette = true;
  platform::PaletteColour palette[256] = {};
  int calls = 0, opened = 0, closed = 0, locked = 0, unlocked = 0;

  // Fills the surface with pixel values from value(x, y) at the depth.
  template <typename Value>
  void fill(int32_t width, int32_t rows, int32_t depth, Value value) {
    bitsPerPixel = depth;
    const int bytes = (depth + 7) / 8;
    pitch = width * bytes;
    height = rows;
    bits.assign(size_t(pitch) * rows, 0);
    for (int32_t y = 0; y < rows; ++y)
      for (int32_t x = 0; x < width; ++x) {
        const uint32_t v = value(x, y);
        for (int b = 0; b < bytes; ++b)
          bits[size_t(y) * pitch + x * bytes + b] = uint8_t(v >> (8 * b));
      }
  }

  static FakeScreen *current;
};
FakeScreen *FakeScreen::current = nullptr;

const platform::ScreenAccess kFakeAccess = {
    [] {
      ++FakeScreen::current->calls;
      return FakeScreen::current->own;
    },
    [](platform::WindowPlacement &out) {
      ++FakeScreen::current->calls;
      out = FakeScreen::current->window;
      return FakeScreen::current->placementOk;
    },
    []() -> platform::Surface {
      FakeScreen *s = FakeScreen::current;
      ++s->calls;
      if (!s->opens) return nullptr;
      ++s->opened;
      return s;
    },
    [](platform::Surface, platform::SurfaceLock &out) {
      FakeScreen *s = FakeScreen::current;
      if (!s->locks) return false;
      ++s->locked;
      out = {s->bits.data(), s->pitch, s->bitsPerPixel, s->height};
      if (s->faultyBits) out.bits = reinterpret_cast<const uint8_t *>(16);
      return true;
    },
    [](platform::Surface) { ++FakeScreen::current->unlocked; },
    [](platform::Surface, platform::PaletteColour *entries) {
      FakeScreen *s = FakeScreen::current;
      for (int i = 0; i < 256; ++i)
        entries[i] = s->hasPalette
                         ? s->palette[i]
                         : platform::PaletteColour{uint8_t(i), 0, 0, 0};
      return true;
    },
    [](platform::Surface) { ++FakeScreen::current->closed; },
};

class SurfaceCapture : public testing::Test {
 protected:
  void SetUp() override {
    FakeScreen::current = &screen;
    platform::setScreenAccess(&kFakeAccess);
    capture = ss::newCapture();
    ASSERT_NE(capture, nullptr);
    // A 32-bit screen of 1024 x 768 whose pixel tells its own place.
    screen.fill(1024, 768, 32, [](int32_t x, int32_t y) {
      return uint32_t(x & 0xFF) | uint32_t(y & 0xFF) << 8 |
             uint32_t(x >> 8) << 16;
    });
  }
  void TearDown() override {
    ss::releaseCapture(capture);
    platform::setScreenAccess(nullptr);
  }

  int take(int32_t w, int32_t h, int32_t x, int32_t y, int32_t step = 1) {
    error[0] = '\0';
    return ss::captureSurface(*capture, w, h, x, y, step, error);
  }
  // take inside a fault guard, as a frame runs the screenshot step; false
  // when a fault was contained.
  bool takeGuarded(int32_t w, int32_t h) {
    struct Args {
      SurfaceCapture *test;
      int32_t w, h;
    } args{this, w, h};
    return platform::runGuarded(
        [](void *p) {
          const Args &a = *static_cast<Args *>(p);
          a.test->take(a.w, a.h, 0, 0);
        },
        &args);
  }
  // Pixel c of sampled row r: red, green, blue.
  const uint8_t *pixel(uint32_t r, uint32_t c) const {
    const uint32_t out = capture->width / capture->step;
    return capture->pixels + r * (3 * out + 1) + 1 + 3 * c;
  }
  // The screen column and row a pixel of the position pattern came from.
  int column(uint32_t r, uint32_t c) const {
    return pixel(r, c)[2] | pixel(r, c)[0] << 8;
  }
  int row(uint32_t r, uint32_t c) const { return pixel(r, c)[1]; }

  FakeScreen screen;
  ss::Capture *capture = nullptr;
  char error[256] = {};
};

// A fault while the locked surface is copied (its memory gone with a mode
// change, say) abandons the capture. The guard that contains it unlocks and
// closes the surface, which would otherwise stay locked with the screen's
// objects alive; the next capture runs normally.
TEST_F(SurfaceCapture, AFaultDuringTheCopyReleasesTheSurface) {
  screen.faultyBits = true;
  EXPECT_FALSE(takeGuarded(64, 48));
  EXPECT_EQ(screen.locked, 1);
  EXPECT_EQ(screen.unlocked, 1);
  EXPECT_EQ(screen.opened, 1);
  EXPECT_EQ(screen.closed, 1);
  platform::releaseScreen();  // as at unload: nothing is left to release
  EXPECT_EQ(screen.closed, 1);
  screen.faultyBits = false;
  EXPECT_EQ(take(64, 48, 0, 0), 1);
  EXPECT_EQ(screen.unlocked, 2);
  EXPECT_EQ(screen.closed, 2);
}

TEST_F(SurfaceCapture, FailuresHaveTheirTexts) {
  struct Case {
    const char *name;
    int32_t w, h;
    void (*prepare)(FakeScreen &);
    const char *text;
    bool unusable;
  } cases[] = {
      {"zero width", 0, 480, [](FakeScreen &) {}, ss::kSizeText, false},
      {"other process in front", 640, 480, [](FakeScreen &s) { s.own = false; },
       ss::kForegroundText, false},
      {"minimised", 640, 480, [](FakeScreen &s) { s.window.showState = 2; },
       ss::kWindowStateText, false},
      {"no DirectDraw", 640, 480, [](FakeScreen &s) { s.opens = false; },
       ss::kSurfaceText, true},
      {"lock refused", 640, 480, [](FakeScreen &s) { s.locks = false; },
       ss::kSurfaceText, true},
      {"black screen", 640, 480,
       [](FakeScreen &s) {
         s.fill(1024, 768, 32, [](int, int) { return 0u; });
       },
       ss::kSurfaceText, true},
      {"unknown depth", 640, 480,
       [](FakeScreen &s) {
         s.fill(1024, 768, 12, [](int x, int) { return uint32_t(x); });
       },
       ss::kSurfaceText, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    screen = FakeScreen();
    SetUp();
    c.prepare(screen);
    screen.calls = 0;
    EXPECT_EQ(take(c.w, c.h, 50, 50), 0);
    EXPECT_STREQ(error, c.text);
    EXPECT_EQ(ss::marksSurfaceUnusable(error), c.unusable);
    // Whatever was opened was closed again.
    EXPECT_EQ(screen.opened, screen.closed);
    EXPECT_EQ(screen.locked, screen.unlocked);
    if (c.w == 0) {
      EXPECT_EQ(screen.calls, 0);  // before any window call
    }
  }
}

TEST_F(SurfaceCapture, WidthIsClampedAndReducedToTheStep) {
  screen.window = {1, 0, 0, 1024, 768};
  ASSERT_EQ(take(1023, 600, 0, 0, 4), 1);
  EXPECT_EQ(capture->width, 1020);
  EXPECT_EQ(capture->height, 600);  // not reduced to a multiple of the step
  EXPECT_EQ(capture->step, 4);
  EXPECT_EQ(column(0, 254), 254 * 4);  // 255 columns, every fourth pixel
  EXPECT_EQ(row(1, 0), 4);

  screen.window = {1, 100, 50, 300, 150};   // smaller than asked
  ASSERT_EQ(take(640, 480, 50, 50, 3), 1);  // step 3 counts as 1
  EXPECT_EQ(capture->width, 200);
  EXPECT_EQ(capture->height, 100);
  EXPECT_EQ(capture->step, 1);
  EXPECT_EQ(column(0, 0), 100);
  EXPECT_EQ(row(0, 0), 50);
}

TEST_F(SurfaceCapture, PositionFollowsThePercentages) {
  screen.window = {1, 0, 0, 800, 600};
  ASSERT_EQ(take(640, 480, 50, 50), 1);
  EXPECT_EQ(column(0, 0), 80);
  EXPECT_EQ(row(0, 0), 60);
  ASSERT_EQ(take(640, 480, 100, 0), 1);
  EXPECT_EQ(column(0, 639), 799);  // ends at the window's right edge
  EXPECT_EQ(row(0, 0), 0);
}

TEST_F(SurfaceCapture, OnlyBytesInsideTheSurfaceAreRead) {
  // Partly left of and above the screen, and partly below it.
  screen.window = {1, -30, -20, 170, 180};
  ASSERT_EQ(take(200, 200, 0, 0), 1);
  EXPECT_EQ(pixel(0, 0)[0] | pixel(0, 0)[1] | pixel(0, 0)[2], 0);
  EXPECT_EQ(column(20, 30), 0);  // the screen's first pixel
  EXPECT_EQ(row(20, 30), 0);
  EXPECT_EQ(column(25, 199), 169);
  EXPECT_EQ(row(25, 199), 5);

  screen.window = {1, 900, 700, 1200, 900};  // right of and below the screen
  ASSERT_EQ(take(300, 200, 0, 0), 1);
  EXPECT_EQ(column(67, 123), 1023);
  EXPECT_EQ(row(67, 123), 767 & 0xFF);
  EXPECT_EQ(column(68, 0), 0);   // below the surface: not copied
  EXPECT_EQ(column(0, 124), 0);  // right of it: not copied
}

TEST_F(SurfaceCapture, DepthsConvertToRedGreenBlue) {
  struct Case {
    int32_t depth;
    uint32_t value;
    uint8_t r, g, b;
  } cases[] = {
      {16, 0xFFFF, 248, 252, 248},
      {16, 0xF800, 248, 0, 0},
      {16, 0x07E0, 0, 252, 0},
      {15, 0x7FFF, 248, 248, 248},
      {15, 0xFC00, 248, 0, 0},  // bit 15 ignored
      {24, 0x112233, 0x11, 0x22, 0x33},
      {32, 0xAA112233, 0x11, 0x22, 0x33},
      {8, 7, 70, 71, 72},
  };
  for (int i = 0; i < 256; ++i)
    screen.palette[i] = {uint8_t(10 * i), uint8_t(10 * i + 1),
                         uint8_t(10 * i + 2), 0};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.depth);
    // The value at (0, 0), other pixels elsewhere, so the picture varies.
    screen.fill(64, 64, c.depth, [&](int x, int y) {
      return x == 0 && y == 0 ? c.value : uint32_t(x + 3);
    });
    screen.window = {1, 0, 0, 64, 64};
    ASSERT_EQ(take(64, 64, 0, 0), 1) << error;
    EXPECT_EQ(capture->bitsPerPixel, c.depth);
    EXPECT_EQ(pixel(0, 0)[0], c.r);
    EXPECT_EQ(pixel(0, 0)[1], c.g);
    EXPECT_EQ(pixel(0, 0)[2], c.b);
  }
  // Without a palette of its own the surface takes the system palette.
  screen.hasPalette = false;
  screen.fill(64, 64, 8, [](int x, int) { return uint32_t(x); });
  ASSERT_EQ(take(64, 64, 0, 0), 1);
  EXPECT_EQ(pixel(0, 9)[0], 9);
}

TEST_F(SurfaceCapture, PercentagesAboveOneHundredAreRandom) {
  screen.window = {1, 0, 0, 1000, 600};
  ASSERT_EQ(take(100, 100, 500, 0), 1);
  EXPECT_LE(column(0, 0), 900);
  EXPECT_EQ(capture->offsetX, column(0, 0));
}

// ---- read-back -----------------------------------------------------------

class ReadBack : public testing::Test {
 protected:
  void SetUp() override {
    capture = ss::newCapture();
    // Pixel (x, y) of the host's frame is (x mod 256, y mod 256, x / 256).
    host.setFrame(640, 480, [](int32_t x, int32_t y, uint8_t *p) {
      p[0] = uint8_t(x);
      p[1] = uint8_t(y);
      p[2] = uint8_t(x >> 8);
    });
  }
  void TearDown() override { ss::releaseCapture(capture); }
  int take(int32_t w, int32_t h, int32_t x, int32_t y, int32_t step = 1) {
    std::strcpy(error, "untouched");
    return ss::captureReadBack(*capture, &host.gi, w, h, x, y, step, error);
  }
  const uint8_t *pixel(uint32_t r, uint32_t c) const {
    const uint32_t out = capture->width / capture->step;
    return capture->pixels + r * (3 * out + 1) + 1 + 3 * c;
  }

  qxtest::FakeHost host;
  ss::Capture *capture = nullptr;
  char error[256] = {};
};

TEST_F(ReadBack, SamplesTopRowFromTheLastRowDelivered) {
  ASSERT_EQ(take(640, 480, 50, 50, 2), 1);
  ASSERT_EQ(host.readBacks.size(), 1u);
  const auto &call = host.readBacks[0];
  EXPECT_EQ(call.width, 640);
  EXPECT_EQ(call.height, 480);
  EXPECT_EQ(call.format, 1);
  EXPECT_EQ(call.type, 5121);
  EXPECT_EQ(capture->width / capture->step, 320);
  EXPECT_EQ(capture->height / capture->step, 240);
  EXPECT_EQ(pixel(0, 0)[1], 0);  // top row of the frame
  EXPECT_EQ(pixel(1, 3)[1], 2);  // every second row
  EXPECT_EQ(pixel(1, 3)[0], 6);  // every second column
  EXPECT_EQ(pixel(0, 0)[0], 0);
  EXPECT_EQ(pixel(239, 0)[1], 222);  // row 478 mod 256
}

// A fresh record gets its buffers one allocation a call (each can take
// most of a millisecond); a record that holds them gets none.
TEST_F(ReadBack, BuffersComeOneAllocationACall) {
  std::vector<int> results;
  for (int i = 0; i < 5; ++i) {
    const uint64_t before = qxtest::heapCounts().allocations;
    const int r =
        ss::readBackBegin(*capture, &host.gi, 640, 480, 50, 50, 1, error);
    EXPECT_LE(qxtest::heapCounts().allocations - before, 1u);
    results.push_back(r);
    if (r != ss::kBuffersInPart) break;
    // Before the work buffer is there, the read-back writes nowhere.
    if (i == 0) {
      EXPECT_EQ(ss::readBackCopy(*capture, &host.gi), 0);
      EXPECT_TRUE(host.readBacks.empty());
    }
  }
  EXPECT_EQ(results,
            (std::vector<int>{ss::kBuffersInPart, ss::kBuffersInPart, 1}));
  const uint64_t before = qxtest::heapCounts().allocations;
  EXPECT_EQ(ss::readBackBegin(*capture, &host.gi, 640, 480, 50, 50, 1, error),
            1);
  EXPECT_EQ(qxtest::heapCounts().allocations, before);
}

TEST_F(ReadBack, ClampsToTheFrameAndPlacesByPercent) {
  ASSERT_EQ(take(200, 100, 100, 50), 1);
  EXPECT_EQ(host.readBacks[0].x, 440);
  EXPECT_EQ(host.readBacks[0].y, 190);
  EXPECT_EQ(pixel(0, 0)[0], 440 & 0xFF);
  EXPECT_EQ(pixel(0, 0)[1], 190);
  // Percentages above 100 become random ones within the frame.
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(take(200, 100, 101 + 97 * i, 65535), 1);
    EXPECT_LE(host.readBacks.back().x, 440);
    EXPECT_LE(host.readBacks.back().y, 380);
  }
  ASSERT_EQ(take(5000, 5000, 0, 0), 1);  // larger than the frame
  EXPECT_EQ(capture->width, 640);
  EXPECT_EQ(capture->height, 480);
  // A large enough buffer is kept for the next capture.
  uint8_t *pixels = capture->pixels;
  ASSERT_EQ(take(64, 64, 0, 0), 1);
  EXPECT_EQ(capture->pixels, pixels);
}

TEST_F(ReadBack, FailuresAndTheirTexts) {
  struct Case {
    const char *name;
    void (*prepare)(qxtest::FakeHost &);
    int32_t w;
    const char *text;
  } cases[] = {
      {"no capture query",
       [](qxtest::FakeHost &h) { h.gi.captureQuery = nullptr; }, 64,
       ss::kInterfaceText},
      {"read-back not available",
       [](qxtest::FakeHost &h) { h.readBackFormat = 0; }, 64, "untouched"},
      {"zero size", [](qxtest::FakeHost &) {}, 0, ss::kSizeText},
      {"no frame", [](qxtest::FakeHost &h) { h.frameWidth = 0; }, 64,
       "untouched"},
      {"no function", [](qxtest::FakeHost &h) { h.offerReadBack = false; }, 64,
       "untouched"},
  };
  const QxCaptureQueryFn query = host.gi.captureQuery;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    host.gi.captureQuery = query;
    host.readBackFormat = 1;
    host.offerReadBack = true;
    c.prepare(host);
    EXPECT_EQ(take(c.w, 64, 0, 0), 0);
    EXPECT_STREQ(error, c.text);
    EXPECT_TRUE(host.readBacks.empty());
  }
}

TEST_F(ReadBack, HugeAndTinyFramesFollowTheClampedSize) {
  host.frameWidth = host.frameHeight = 100000;  // what the host claims
  host.framePixels.clear();                     // rows it cannot deliver
  ASSERT_EQ(take(308, 232, 50, 50), 1);
  EXPECT_EQ(host.readBacks.back().x, (100000 - 308) / 2);
  // The buffers hold the clamped capture and what is made of it (the
  // annotated image, its stream and PNG), never a frame the host only
  // claims: 100000 x 100000 pixels would be 30 GB.
  EXPECT_LE(capture->workCapacity, 1024u * 1024);
  EXPECT_LE(capture->pixelsCapacity, 1024u * 1024);
  host.frameWidth = host.frameHeight = 1;
  ASSERT_EQ(take(308, 232, 50, 50, 4), 1);
  EXPECT_EQ(capture->width, 1);
  EXPECT_EQ(capture->height, 1);
}

}  // namespace

#if !defined(_WIN32)
namespace {

// Without a replacement the capture meets the system's screen: POSIX has
// no primary surface, and that failure sends requests to the read-back.
TEST(SystemScreen, PosixHasNoPrimarySurface) {
  qx::platform::setScreenAccess(nullptr);
  ss::Capture *capture = ss::newCapture();
  char error[256] = {};
  EXPECT_EQ(ss::captureSurface(*capture, 640, 480, 50, 50, 1, error), 0);
  EXPECT_STREQ(error, ss::kSurfaceText);
  EXPECT_TRUE(ss::marksSurfaceUnusable(error));
  ss::releaseCapture(capture);
}

}  // namespace
#endif
