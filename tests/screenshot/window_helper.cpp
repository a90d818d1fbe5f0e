// A window of another process for the screenshot suite: it opens a window,
// brings it to the front and keeps it there until it is ended.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = instance;
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = "qx_window_helper";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, "helper",
                                WS_POPUP | WS_VISIBLE, 0, 0, 200, 200, nullptr,
                                nullptr, instance, nullptr);
  for (int i = 0; i < 3000; ++i) {  // at most a minute
    SetForegroundWindow(window);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    Sleep(20);
  }
  return 0;
}
