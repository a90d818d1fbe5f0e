// The shared library's own translation unit. The client's code comes in
// whole from the qxcore archive; this file only anchors the link and, on
// Windows, the library's entry routine.
#include "qx/qxcl.h"

#if defined(_WIN32)
#include <windows.h>

#include "host/client_state.h"

// The C++ runtime linked into the library keeps a reserve for exceptions
// thrown when memory runs out (some 18 KB, allocated when the library
// loads) and gives it back only through this call.
namespace __gnu_cxx {
void __freeres();
}

// The C runtime constructs the client state before this routine sees the
// attach and destroys it after this routine has seen the detach. A detach
// with reserved set comes from the process ending, not from FreeLibrary:
// the other threads are gone and the loader lock is held, so the unload
// leaves sockets and files to the system.
//
// Unloaded by FreeLibrary, the library gives the C++ runtime's reserve
// back, or a game that loads the client anew (a replacement client, a
// reload) would lose it at every unload. Nothing the library runs after
// this routine throws.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    if (reserved)
      qx::client().host.processExiting = 1;
    else
      __gnu_cxx::__freeres();
  }
  return TRUE;
}
#endif
