// The shared library's own translation unit. The client's code comes in
// whole from the qxcore archive; this file only anchors the link and, on
// Windows, the library's entry routine.
#include "qx/qxcl.h"

#if defined(_WIN32)
#include <windows.h>

// The C runtime constructs and destroys the client state around this
// routine (static constructors at attach, destructors at detach).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
