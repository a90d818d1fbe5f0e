// A game for the process-exit tests under Wine: it loads qxcl.dll, starts
// it with its home directory at argv[2], holds the registered-name file
// open as a virus scanner would (no delete sharing) and has the client save
// it, so that the save waits. Then, with argv[3]:
//   "exit"  the process ends with the file still held: the client's unload
//           runs as part of the process's end and must leave files alone;
//   "free"  the file is let go and the library unloaded with FreeLibrary:
//           the unload makes its last attempt and the save lands.
#include <windows.h>

#include <cstring>
#include <string>

#include "fake_host.h"

int main(int argc, char **argv) {
  if (argc != 4 || std::strlen(argv[2]) >= QX_HOMEDIR_SIZE) return 2;
  const HMODULE library = LoadLibraryA(argv[1]);
  if (!library) return 3;
  const qxtest::Entry entry = {
      reinterpret_cast<QxFrameEntryFn>(
          reinterpret_cast<void *>(GetProcAddress(library, "ca"))),
      reinterpret_cast<QxEventEntryFn>(
          reinterpret_cast<void *>(GetProcAddress(library, "cb")))};
  if (!entry.ca || !entry.cb) return 4;
  const std::string names = std::string(argv[2]) + "\\regname.dat";
  const HANDLE held =
      CreateFileA(names.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 5;
  {
    qxtest::FakeHost host("1", entry);
    std::strcpy(host.gi.homeDir, argv[2]);
    host.frame();
    host.console("qx_RegNameFull Player secret");
    host.frame();  // due at once after a console line: the save waits
  }
  if (std::strcmp(argv[3], "free") == 0) {
    CloseHandle(held);
    FreeLibrary(library);
  }
  ExitProcess(0);
}
