// System libraries the client loads at run time (not through its import
// table).
#pragma once

namespace qx::platform {

// Loads the system library name (for example L"ddraw.dll") from the system
// folder by its full path, never from the game's folder or another place on
// the search path, where a library of that name would do the system's work
// in its stead (a wrapper, or one made to fake screenshots). The libraries
// it needs in turn are looked for from the system folder first. Returns the
// module handle, nullptr when it cannot be loaded.
void *loadSystemLibrary(const wchar_t *name);

}  // namespace qx::platform
