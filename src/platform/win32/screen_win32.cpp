// The window in front and the primary surface through DirectDraw 4. ddraw.dll
// is loaded from the system folder at the first capture and kept, so that
// the library's import table names system libraries only and a machine
// without DirectDraw still loads the client; such a machine simply has no
// primary surface.
#include <windows.h>

#include <ddraw.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace qx::platform {

namespace {

// {9C59509A-39BD-11D1-8C4A-00C04FD930C5}: the DirectDraw 4 interface.
const GUID kDirectDraw4 = {0x9C59509A,
                           0x39BD,
                           0x11D1,
                           {0x8C, 0x4A, 0x00, 0xC0, 0x4F, 0xD9, 0x30, 0xC5}};

using DirectDrawCreateFn = HRESULT(WINAPI *)(GUID *, IDirectDraw **,
                                             IUnknown *);

// The objects of one capture; they exist only inside one capture call.
struct Primary {
  IDirectDraw4 *draw;
  IDirectDrawSurface4 *surface;
  bool locked;
};
Primary g_primary;

DirectDrawCreateFn directDrawCreate() {
  static HMODULE library = nullptr;
  static DirectDrawCreateFn create = nullptr;
  if (!library) {
    library = static_cast<HMODULE>(loadSystemLibrary(L"ddraw.dll"));
    if (library)
      create = reinterpret_cast<DirectDrawCreateFn>(reinterpret_cast<void *>(
          GetProcAddress(library, "DirectDrawCreate")));
  }
  return create;
}

bool foregroundIsOwn() {
  HWND window = GetForegroundWindow();
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  return window && owner == GetCurrentProcessId();
}

bool foregroundPlacement(WindowPlacement &out) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  HWND window = GetForegroundWindow();
  if (!window || !GetWindowPlacement(window, &placement)) return false;
  out.showState = placement.showCmd;
  out.left = placement.rcNormalPosition.left;
  out.top = placement.rcNormalPosition.top;
  out.right = placement.rcNormalPosition.right;
  out.bottom = placement.rcNormalPosition.bottom;
  return true;
}

void primaryClose(Surface handle) {
  Primary *p = static_cast<Primary *>(handle);
  if (!p) return;
  if (p->surface) {
    if (p->locked) p->surface->Unlock(nullptr);
    p->surface->Release();
  }
  if (p->draw) p->draw->Release();
  *p = Primary{};
}

Surface primaryOpen() {
  Primary &p = g_primary;
  primaryClose(&p);
  DirectDrawCreateFn create = directDrawCreate();
  IDirectDraw *first = nullptr;
  if (!create || FAILED(create(nullptr, &first, nullptr)) || !first)
    return nullptr;
  const HRESULT asked =
      first->QueryInterface(kDirectDraw4, reinterpret_cast<void **>(&p.draw));
  first->Release();
  if (FAILED(asked) || !p.draw) {
    p.draw = nullptr;
    return nullptr;
  }
  DDSURFACEDESC2 description{};
  description.dwSize = sizeof description;  // 124 bytes
  description.dwFlags = DDSD_CAPS;
  description.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
  if (FAILED(p.draw->SetCooperativeLevel(nullptr, DDSCL_NORMAL)) ||
      FAILED(p.draw->CreateSurface(&description, &p.surface, nullptr)) ||
      !p.surface) {
    p.surface = nullptr;
    primaryClose(&p);
    return nullptr;
  }
  return &p;
}

bool primaryLock(Surface handle, SurfaceLock &out) {
  Primary *p = static_cast<Primary *>(handle);
  if (!p || !p->surface) return false;
  DDSURFACEDESC2 description{};
  description.dwSize = sizeof description;
  if (FAILED(p->surface->Lock(nullptr, &description, DDLOCK_WAIT, nullptr)))
    return false;
  p->locked = true;
  const DDPIXELFORMAT &format = description.ddpfPixelFormat;
  out.bits = static_cast<const uint8_t *>(description.lpSurface);
  out.pitch = description.lPitch;
  out.bitsPerPixel = static_cast<int32_t>(format.dwRGBBitCount);
  // A 16-bit surface with a 5-bit green field is the 5-5-5 layout.
  if (out.bitsPerPixel == 16 && format.dwGBitMask == 0x03E0)
    out.bitsPerPixel = 15;
  out.height = static_cast<int32_t>(description.dwHeight);
  return true;
}

void primaryUnlock(Surface handle) {
  Primary *p = static_cast<Primary *>(handle);
  if (!p || !p->surface || !p->locked) return;
  p->surface->Unlock(nullptr);
  p->locked = false;
}

bool primaryPalette(Surface handle, PaletteColour *entries) {
  Primary *p = static_cast<Primary *>(handle);
  PALETTEENTRY colours[256]{};
  IDirectDrawPalette *palette = nullptr;
  bool got = false;
  if (p && p->surface && SUCCEEDED(p->surface->GetPalette(&palette)) &&
      palette) {
    got = SUCCEEDED(palette->GetEntries(0, 0, 256, colours));
    palette->Release();
  }
  if (!got) {
    HDC screen = GetDC(nullptr);
    if (screen) {
      got = GetSystemPaletteEntries(screen, 0, 256, colours) > 0;
      ReleaseDC(nullptr, screen);
    }
  }
  for (int i = 0; i < 256; ++i)
    entries[i] = {colours[i].peRed, colours[i].peGreen, colours[i].peBlue,
                  colours[i].peFlags};
  return got;
}

const ScreenAccess kScreen = {
    foregroundIsOwn, foregroundPlacement, primaryOpen, primaryLock,
    primaryUnlock,   primaryPalette,      primaryClose};

}  // namespace

const ScreenAccess &systemScreen() { return kScreen; }

}  // namespace qx::platform
