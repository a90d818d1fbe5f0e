#include "picture.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qxhost {

namespace {

void set(uint8_t *p, uint8_t r, uint8_t g, uint8_t b) {
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

// A small scene: sky shading into the horizon, a sun, a house with a roof,
// a door and a window, grass with a path, and a checkered flag.
std::vector<uint8_t> draw() {
  std::vector<uint8_t> f(size_t(kFrameWidth) * kFrameHeight * 3);
  for (int32_t y = 0; y < kFrameHeight; ++y)
    for (int32_t x = 0; x < kFrameWidth; ++x) {
      uint8_t *p = &f[(size_t(y) * kFrameWidth + x) * 3];
      const int32_t sunX = x - 520, sunY = y - 90;
      if (y < 300)
        set(p, uint8_t(60 + y / 3), uint8_t(120 + y / 4), 230);
      else
        set(p, 40, uint8_t(150 - (y - 300) / 4), 50);
      if (sunX * sunX + sunY * sunY < 45 * 45) set(p, 255, 220, 40);
      if (y >= 300 && x > 280 + (y - 300) / 2 && x < 360 - (y - 300) / 4)
        set(p, 170, 140, 90);  // the path
      const bool wall = x >= 120 && x < 300 && y >= 200 && y < 320;
      const int32_t roofHalf = y - 120;
      if (y >= 120 && y < 200 && x >= 210 - roofHalf * 9 / 8 &&
          x < 210 + roofHalf * 9 / 8)
        set(p, 150, 30, 30);  // the roof
      if (wall) set(p, 220, 200, 160);
      if (x >= 190 && x < 230 && y >= 250 && y < 320) set(p, 90, 50, 20);
      if (x >= 140 && x < 175 && y >= 225 && y < 260)
        set(p, ((x / 6 + y / 6) & 1) ? 200 : 90, 200, 255);
      if (x >= 430 && x < 434 && y >= 180 && y < 330) set(p, 60, 60, 60);
      if (x >= 434 && x < 494 && y >= 180 && y < 220) {
        const bool dark = ((x - 434) / 10 + (y - 180) / 10) & 1;
        set(p, dark ? 0 : 255, dark ? 0 : 255, dark ? 0 : 255);
      }
    }
  return f;
}

// Copies the rectangle (top-left origin), bottom row first.
void QX_READBACK_CALL readBack(int32_t x, int32_t y, int32_t width,
                               int32_t height, int32_t, int32_t,
                               void *destination) {
  const std::vector<uint8_t> &f = framePixels();
  uint8_t *out = static_cast<uint8_t *>(destination);
  for (int32_t i = 0; i < height; ++i) {
    const int32_t row = y + height - 1 - i;
    uint8_t *line = out + size_t(i) * width * 3;
    if (row < 0 || row >= kFrameHeight || x < 0 || x + width > kFrameWidth) {
      std::memset(line, 0, size_t(width) * 3);
      continue;
    }
    std::memcpy(line, &f[(size_t(row) * kFrameWidth + x) * 3],
                size_t(width) * 3);
  }
}

}  // namespace

const std::vector<uint8_t> &framePixels() {
  static const std::vector<uint8_t> frame = draw();
  return frame;
}

intptr_t QX_CDECL captureQuery(int32_t code) {
  switch (code) {
    case QX_CAP_READBACK:
      return reinterpret_cast<intptr_t>(&readBack);
    case QX_CAP_WIDTH:
      return kFrameWidth;
    case QX_CAP_HEIGHT:
      return kFrameHeight;
    case QX_CAP_FORMAT:
      return 0x1907;  // red-green-blue
    case QX_CAP_TYPE:
      return 0x1401;  // one unsigned byte a channel
    default:
      return 0;
  }
}

#if defined(_WIN32)

namespace {

HWND g_window = nullptr;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != WM_PAINT) return DefWindowProcA(window, message, w, l);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  // The frame as a top-down 24-bit DIB: blue, green, red, rows padded to 4.
  static std::vector<uint8_t> bgr;
  const size_t stride = (size_t(kFrameWidth) * 3 + 3) & ~size_t(3);
  if (bgr.empty()) {
    bgr.assign(stride * kFrameHeight, 0);
    const std::vector<uint8_t> &f = framePixels();
    for (int32_t y = 0; y < kFrameHeight; ++y)
      for (int32_t x = 0; x < kFrameWidth; ++x) {
        const uint8_t *s = &f[(size_t(y) * kFrameWidth + x) * 3];
        uint8_t *d = &bgr[size_t(y) * stride + size_t(x) * 3];
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
      }
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kFrameWidth;
  info.bmiHeader.biHeight = -kFrameHeight;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, 0, 0, kFrameWidth, kFrameHeight, 0, 0, 0, kFrameHeight,
                    bgr.data(), &info, DIB_RGB_COLORS);
  EndPaint(window, &ps);
  return 0;
}

}  // namespace

void openWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = windowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "qxhost";
  RegisterClassA(&wc);
  g_window = CreateWindowExA(0, wc.lpszClassName, "qxhost", WS_POPUP, 0, 0,
                             kFrameWidth, kFrameHeight, nullptr, nullptr,
                             wc.hInstance, nullptr);
  if (!g_window) return;
  ShowWindow(g_window, SW_SHOWNORMAL);
  UpdateWindow(g_window);
  SetForegroundWindow(g_window);
}

void pumpWindow() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
}

#else

void openWindow() {}
void pumpWindow() {}

#endif

}  // namespace qxhost
