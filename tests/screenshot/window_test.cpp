// Under Wine on an Xvfb display: a real window with known pixels, captured
// through DirectDraw from the screen's primary surface; a minimised window
// and another process's window in front; and the host's read-back function
// called with either convention; a whole 1920 x 1080 screenshot through ca.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_host.h"
#include "host/client_state.h"
#include "platform/platform.h"
#include "screenshot/capture.h"
#include "screenshot/screenshot.h"

namespace {

namespace ss = qx::screenshot;

constexpr int kLeft = 100, kTop = 80, kWidth = 320, kHeight = 240;
const COLORREF kRed = RGB(200, 30, 40), kGreen = RGB(20, 180, 60),
               kBlue = RGB(10, 20, 230);

void pumpMessages(int rounds = 10) {
  for (int i = 0; i < rounds; ++i) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    Sleep(20);
  }
}

// Left half red, right half green, a blue bar over the top 20 rows.
LRESULT CALLBACK paint(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != WM_PAINT) return DefWindowProcA(window, message, w, l);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  const struct {
    RECT r;
    COLORREF c;
  } parts[] = {{{0, 0, kWidth / 2, kHeight}, kRed},
               {{kWidth / 2, 0, kWidth, kHeight}, kGreen},
               {{0, 0, kWidth, 20}, kBlue}};
  for (const auto &p : parts) {
    HBRUSH brush = CreateSolidBrush(p.c);
    FillRect(dc, &p.r, brush);
    DeleteObject(brush);
  }
  EndPaint(window, &ps);
  return 0;
}

class RealWindow : public testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSA wc{};
    wc.lpfnWndProc = paint;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "qx_capture_test";
    RegisterClassA(&wc);
    window = CreateWindowExA(0, wc.lpszClassName, "capture", WS_POPUP, kLeft,
                             kTop, kWidth, kHeight, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    SetForegroundWindow(window);
    pumpMessages();
    capture = ss::newCapture();
  }
  void TearDown() override {
    ss::releaseCapture(capture);
    DestroyWindow(window);
    pumpMessages(2);
  }
  const uint8_t *pixel(uint32_t r, uint32_t c) const {
    const uint32_t out = capture->width / capture->step;
    return capture->pixels + r * (3 * out + 1) + 1 + 3 * c;
  }
  // The colour within what the display's depth keeps of it.
  void expectColour(uint32_t r, uint32_t c, COLORREF colour) {
    const int tolerance = capture->bitsPerPixel >= 24 ? 0 : 8;
    const uint8_t *p = pixel(r, c);
    EXPECT_NEAR(p[0], GetRValue(colour), tolerance) << r << "," << c;
    EXPECT_NEAR(p[1], GetGValue(colour), tolerance) << r << "," << c;
    EXPECT_NEAR(p[2], GetBValue(colour), tolerance) << r << "," << c;
  }

  HWND window = nullptr;
  ss::Capture *capture = nullptr;
  char error[256] = {};
};

TEST_F(RealWindow, DirectDrawReadsTheWindowsPixels) {
  ASSERT_EQ(ss::captureSurface(*capture, kWidth, kHeight, 0, 0, 1, error), 1)
      << error;
  EXPECT_EQ(capture->windowWidth, kWidth);
  EXPECT_EQ(capture->windowHeight, kHeight);
  expectColour(5, 5, kBlue);
  expectColour(100, 10, kRed);
  expectColour(200, 300, kGreen);
  // Half the size from the middle, every second pixel.
  ASSERT_EQ(ss::captureSurface(*capture, 160, 120, 50, 50, 2, error), 1);
  EXPECT_EQ(capture->offsetX, 80);
  expectColour(10, 0, kRed);     // screen column 180
  expectColour(10, 79, kGreen);  // screen column 338
}

// The system's screen, except that the lock hands out an address that
// faults, as the surface's memory would after a mode change under the lock.
int g_unlocks = 0, g_closes = 0;
const qx::platform::ScreenAccess &systemScreen() {
  return qx::platform::systemScreen();
}
const qx::platform::ScreenAccess kFaultyLock = {
    [] { return systemScreen().foregroundIsOwn(); },
    [](qx::platform::WindowPlacement &out) {
      return systemScreen().foregroundPlacement(out);
    },
    [] { return systemScreen().primaryOpen(); },
    [](qx::platform::Surface s, qx::platform::SurfaceLock &out) {
      if (!systemScreen().primaryLock(s, out)) return false;
      out.bits = reinterpret_cast<const uint8_t *>(16);
      return true;
    },
    [](qx::platform::Surface s) {
      ++g_unlocks;
      systemScreen().primaryUnlock(s);
    },
    [](qx::platform::Surface s, qx::platform::PaletteColour *entries) {
      return systemScreen().primaryPalette(s, entries);
    },
    [](qx::platform::Surface s) {
      ++g_closes;
      systemScreen().primaryClose(s);
    },
};

// A fault during the copy from the real primary surface: the guard that
// contains it unlocks the surface and releases the DirectDraw objects, and
// the next capture reads the window again.
TEST_F(RealWindow, AFaultDuringTheCopyReleasesTheRealSurface) {
  qx::platform::setScreenAccess(&kFaultyLock);
  g_unlocks = g_closes = 0;
  const bool completed = qx::platform::runGuarded(
      [](void *c) {
        char text[256];
        ss::captureSurface(*static_cast<ss::Capture *>(c), kWidth, kHeight, 0,
                           0, 1, text);
      },
      capture);
  qx::platform::setScreenAccess(nullptr);
  EXPECT_FALSE(completed);
  EXPECT_EQ(g_unlocks, 1);
  EXPECT_EQ(g_closes, 1);
  ASSERT_EQ(ss::captureSurface(*capture, kWidth, kHeight, 0, 0, 1, error), 1)
      << error;
  expectColour(100, 10, kRed);
}

TEST_F(RealWindow, MinimisedWindowGivesTheWindowStateText) {
  ShowWindow(window, SW_SHOWMINNOACTIVE);
  pumpMessages();
  SetForegroundWindow(window);
  pumpMessages();
  if (GetForegroundWindow() != window) GTEST_SKIP() << "no foreground";
  EXPECT_EQ(ss::captureSurface(*capture, kWidth, kHeight, 0, 0, 1, error), 0);
  EXPECT_STREQ(error, ss::kWindowStateText);
}

TEST_F(RealWindow, AnotherProcessInFrontGivesTheForegroundText) {
  STARTUPINFOA start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION process{};
  char command[MAX_PATH + 8];
  std::snprintf(command, sizeof command, "Z:%s", QX_WINDOW_HELPER);
  for (char *p = command; *p; ++p)
    if (*p == '/') *p = '\\';
  ASSERT_TRUE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &start, &process));
  DWORD owner = GetCurrentProcessId();
  for (int i = 0; i < 250 && owner == GetCurrentProcessId(); ++i) {
    pumpMessages(1);
    GetWindowThreadProcessId(GetForegroundWindow(), &owner);
  }
  const int result =
      ss::captureSurface(*capture, kWidth, kHeight, 0, 0, 1, error);
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 5000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  ASSERT_NE(owner, GetCurrentProcessId()) << "the helper never came in front";
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(error, ss::kForegroundText);
}

// ---- a whole screen through ca ----------------------------------------------

// Quadrants of the full 1920 x 1080 screen, each its own colour.
LRESULT CALLBACK paintScreen(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != WM_PAINT) return DefWindowProcA(window, message, w, l);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  const struct {
    RECT r;
    COLORREF c;
  } parts[] = {{{0, 0, 960, 540}, kRed},
               {{960, 0, 1920, 540}, kGreen},
               {{0, 540, 960, 1080}, kBlue},
               {{960, 540, 1920, 1080}, RGB(240, 240, 240)}};
  for (const auto &p : parts) {
    HBRUSH brush = CreateSolidBrush(p.c);
    FillRect(dc, &p.r, brush);
    DeleteObject(brush);
  }
  EndPaint(window, &ps);
  return 0;
}

// The player's screenshot of a 1920 x 1080 window, read from the primary
// surface through DirectDraw, goes through the sliced stages over many
// calls of ca and is stored whole: the display must be 1920 x 1080 (the
// test script's Xvfb is).
TEST(FullScreen, LocalScreenshotOfA1920x1080WindowIsStored) {
  if (GetSystemMetrics(SM_CXSCREEN) < 1920 ||
      GetSystemMetrics(SM_CYSCREEN) < 1080)
    GTEST_SKIP() << "the display is smaller than 1920 x 1080";
  WNDCLASSA wc{};
  wc.lpfnWndProc = paintScreen;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "qx_full_screen_test";
  RegisterClassA(&wc);
  HWND window =
      CreateWindowExA(0, wc.lpszClassName, "full", WS_POPUP, 0, 0, 1920, 1080,
                      nullptr, nullptr, wc.hInstance, nullptr);
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  SetForegroundWindow(window);
  pumpMessages();
  qxtest::FakeHost host;
  host.start();
  host.console("qx_SsOptions 1920 1080 0 0 1");
  host.console("qx_GetSs");
  host.pump(1);
  uint8_t status = 0;
  int calls = 0;
  for (; calls < 200000 && !host.printedPart("Screenshot saved"); ++calls) {
    host.advance(16);
    host.frame();
    const ss::Slot &s = qx::client().screenshot.slots[0];
    if (s.stage == ss::kStageEncode) status = s.status;
    if (calls % 64 == 0) pumpMessages(1);
  }
  DestroyWindow(window);
  ASSERT_TRUE(host.printedPart("Screenshot saved"));
  EXPECT_EQ(status, 0xB1);  // from the primary surface
  EXPECT_GT(calls, 100);    // in slices over many calls
  std::string path;
  for (const std::string &t : host.texts)
    if (t.rfind("Screenshot saved to ", 0) == 0) path = t.substr(20);
  const std::string png = qxtest::readFile(path);
  ASSERT_GT(png.size(), 57u);
  auto big32 = [&](size_t at) {
    return uint32_t(uint8_t(png[at])) << 24 |
           uint32_t(uint8_t(png[at + 1])) << 16 |
           uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
  };
  EXPECT_EQ(big32(16), 1920u + 20);
  EXPECT_EQ(big32(20), 1080u + 106);
  EXPECT_EQ(big32(33) + 57, png.size());
}

// ---- the read-back function's convention -----------------------------------

int g_calls = 0;
void __cdecl cdeclReadBack(int32_t, int32_t, int32_t w, int32_t h, int32_t,
                           int32_t, void *out) {
  ++g_calls;
  std::memset(out, 0x42, size_t(w) * h * 3);
}
void __stdcall stdcallReadBack(int32_t, int32_t, int32_t w, int32_t h, int32_t,
                               int32_t, void *out) {
  ++g_calls;
  std::memset(out, 0x24, size_t(w) * h * 3);
}
intptr_t g_function = 0;
intptr_t QX_CDECL query(int32_t code) {
  switch (code) {
    case QX_CAP_READBACK:
      return g_function;
    case QX_CAP_FORMAT:
      return 1;
    default:
      return 64;
  }
}

TEST(ReadBackConvention, EitherConventionReturnsToASoundStack) {
  QxGameInterface gi{};
  gi.captureQuery = query;
  ss::Capture *capture = ss::newCapture();
  char error[256] = {};
  for (intptr_t f : {reinterpret_cast<intptr_t>(&cdeclReadBack),
                     reinterpret_cast<intptr_t>(&stdcallReadBack)}) {
    g_function = f;
    volatile int guard = 12345;
    for (int i = 0; i < 100; ++i)
      ASSERT_EQ(ss::captureReadBack(*capture, &gi, 16, 16, 0, 0, 1, error), 1);
    EXPECT_EQ(guard, 12345);
  }
  EXPECT_EQ(g_calls, 200);
  EXPECT_EQ(capture->pixels[1], 0x24);
  ss::releaseCapture(capture);
}

}  // namespace
#endif
