// Under Wine: the client loads the system libraries it needs at run time
// (DirectDraw) from the system folder, not the ddraw.dll that lies beside
// the program.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <string>

#include "platform/platform.h"

namespace {

std::wstring folderOf(const std::wstring &path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring lower(std::wstring s) {
  for (wchar_t &c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

std::wstring moduleFile(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

TEST(SystemLibraries, DirectDrawComesFromTheSystemFolder) {
  // The impostor is really there, beside this program, for a bare name to
  // find.
  const std::wstring here = folderOf(moduleFile(nullptr));
  const std::wstring impostor = here + L"\\ddraw.dll";
  ASSERT_NE(GetFileAttributesW(impostor.c_str()), INVALID_FILE_ATTRIBUTES);

  // The first capture loads DirectDraw; whether a primary surface can be
  // had on this display does not matter here.
  const qx::platform::ScreenAccess &screen = qx::platform::systemScreen();
  qx::platform::Surface surface = screen.primaryOpen();
  if (surface) screen.primaryClose(surface);

  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(n, 0u);
  const HMODULE loaded = GetModuleHandleW(L"ddraw.dll");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(lower(folderOf(moduleFile(loaded))),
            lower(std::wstring(system, n)));
  EXPECT_EQ(GetModuleHandleW(impostor.c_str()), nullptr);
}

}  // namespace
