// What the integrity scanning reads of its own process and of the system:
// the modules loaded in the game process, its memory regions, a read of
// its own memory that cannot fault, the folder of the game, and the names
// of other processes and of top-level windows. There is a Win32 and a POSIX
// implementation of each function; nothing here writes anywhere.
//
// Enumerations that can take longer than a slice (a process list, a
// region list read from the system, windows asked of a display) are
// cursors: each call of next…() gives one item and does a bounded amount of
// work, so the scanning can stop between two items when its call budget is
// spent and go on in the next call. A cursor holds a system handle from its
// first next…() call until it reports the end or is closed; close it when a
// pass is cancelled.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::platform {

constexpr size_t kModulePathMax = 260;

// ---- modules ---------------------------------------------------------------

struct ModuleInfo {
  uintptr_t base;             // the image's first byte in memory
  size_t size;                // bytes the image spans in memory
  char path[kModulePathMax];  // the file it was loaded from, as the system
                              // names it; empty when it has none
};

// Fills out with up to capacity modules of this process, the main
// executable first; returns how many there are in all (more than capacity
// when out was too small), or -1 when the system refused. A snapshot: fast
// enough for one slice (Win32: the module snapshot of kernel32; POSIX:
// dl_iterate_phdr).
int listModules(ModuleInfo *out, int capacity);

// ---- memory ----------------------------------------------------------------

enum RegionFlags : uint32_t {
  kRegionRead = 1u << 0,
  kRegionWrite = 1u << 1,
  kRegionExecute = 1u << 2,
  kRegionGuard = 1u << 3,     // a guard page: never read
  kRegionNoAccess = 1u << 4,  // reserved or without access: never read
  kRegionImage = 1u << 5,     // part of a loaded module's image
  kRegionMapped = 1u << 6,    // a mapped file that is not an image
  kRegionSystem = 1u << 7,    // the system's own (vDSO pages, the memory a
                              // compatibility layer keeps for itself): never
                              // read, never a finding
};

struct MemoryRegion {
  uintptr_t base;
  size_t size;
  uint32_t flags;  // RegionFlags
};

// The committed regions of this process in address order.
struct RegionCursor {
  uintptr_t next;     // where the next region is looked for
  void *system;       // the platform's open handle, if any
  char buffer[4096];  // the platform's read-ahead
  size_t begin, end;  // its unread part
  bool done;
};
void regionsBegin(RegionCursor &cursor);
bool nextRegion(RegionCursor &cursor, MemoryRegion &out);  // false at the end
void regionsClose(RegionCursor &cursor);

// Copies size bytes at address into buffer and returns how many were
// copied: fewer when the memory went away or has no access. Never faults,
// never touches a guard page's guard, never writes to address.
size_t readOwnMemory(uintptr_t address, void *buffer, size_t size);

// ---- the game and the system
// -------------------------------------------------

// The folder of the game's main executable, without a separator at its end.
bool gameFolder(char *out, size_t size);

// True when path (as listModules gives it) lies in one of the system's own
// folders (Win32: the system and Windows folders; POSIX: /lib, /usr, …).
bool isSystemPath(const char *path);

// Other processes, by image file name without its folder ("game.exe").
struct ProcessCursor {
  void *system;
  uint32_t ownId;
  bool done;
};
void processesBegin(ProcessCursor &cursor);
bool nextProcess(ProcessCursor &cursor, char *name, size_t size);
void processesClose(ProcessCursor &cursor);

// Top-level windows, by title; a window without one gives an empty title
// (POSIX: the X display named by DISPLAY, through libxcb loaded at run
// time; none without one).
struct WindowCursor {
  void *system;
  uint32_t index, count;
  bool done;
};
void windowsBegin(WindowCursor &cursor);
bool nextWindow(WindowCursor &cursor, char *title, size_t size);
void windowsClose(WindowCursor &cursor);

}  // namespace qx::platform
