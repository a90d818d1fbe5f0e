// The shared library's own translation unit. The client's code comes in
// whole from the qxcore archive; this file only anchors the link and, on
// Windows, the library's entry routine.
#include "qx/qxcl.h"

#if defined(_WIN32)
#include <windows.h>

#include "host/client_state.h"

// The C runtime constructs the client state before this routine sees the
// attach and destroys it after this routine has seen the detach. A detach
// with reserved set comes from the process ending, not from FreeLibrary:
// the other threads are gone and the loader lock is held, so the unload
// leaves sockets and files to the system.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved)
    qx::client().host.processExiting = 1;
  return TRUE;
}
#endif
