// Win32 implementation of what the scanning reads of its own process and of
// the system: modules from kernel32's module snapshot, regions from
// VirtualQuery, reads as a copy that first asks VirtualQuery and runs under
// the fault guard, processes from the process snapshot and windows from
// EnumWindows.
//
// Under Wine the same calls see what the compatibility layer shows of the
// process: its builtin DLLs are modules like any other (PE files in the
// system folder, the same bytes as the files Wine loaded them from), and the
// Unix-side libraries it maps into the process (its loader, ntdll.so, libc)
// are no module and no committed region: VirtualQuery reports their
// addresses as reserved without access, or they lie above the highest
// application address, so no pass ever reads or reports them.
#include "platform/process.h"

#include <windows.h>
// The tool help snapshots need windows.h first.
#include <tlhelp32.h>

#include <cstring>

#include "platform/platform.h"

namespace qx::platform {

namespace {

void copyText(char *out, size_t size, const char *text) {
  if (size == 0) return;
  size_t length = std::strlen(text);
  if (length >= size) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// A UTF-16 text as UTF-8, cut to size bytes with its terminator, never in
// the middle of a character; empty when it cannot be converted.
void utf8Text(char *out, size_t size, const wchar_t *text) {
  if (size == 0) return;
  char whole[4 * 512];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, whole, sizeof whole,
                                    nullptr, nullptr);
  size_t length = n > 0 ? static_cast<size_t>(n - 1) : 0;
  if (length >= size) {
    length = size - 1;
    while (length > 0 && (whole[length] & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, whole, length);
  out[length] = '\0';
}

// ---- memory -----------------------------------------------------------------

uint32_t regionFlags(const MEMORY_BASIC_INFORMATION &info) {
  const DWORD protect = info.Protect;
  uint32_t flags = 0;
  switch (protect & 0xFF) {
    case PAGE_READONLY:
      flags = kRegionRead;
      break;
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
      flags = kRegionRead | kRegionWrite;
      break;
    case PAGE_EXECUTE:
      flags = kRegionExecute;
      break;
    case PAGE_EXECUTE_READ:
      flags = kRegionRead | kRegionExecute;
      break;
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      flags = kRegionRead | kRegionWrite | kRegionExecute;
      break;
    default:  // PAGE_NOACCESS, or no protection the process may use
      flags = kRegionNoAccess;
      break;
  }
  if (protect & PAGE_GUARD) flags |= kRegionGuard;
  // Uncached and write-combined pages are a device's memory (a graphics
  // card's, mapped by its driver): reading them is no plain memory read.
  if (protect & (PAGE_NOCACHE | PAGE_WRITECOMBINE)) flags |= kRegionSystem;
  if (info.Type == MEM_IMAGE) flags |= kRegionImage;
  if (info.Type == MEM_MAPPED) flags |= kRegionMapped;
  return flags;
}

// Only pages the process may read without a fault and without firing a
// guard: a guard page's guard is the game's own (a stack's growth, or an
// anti-tamper trap of its own), and reading it would use it up.
bool readable(const MEMORY_BASIC_INFORMATION &info) {
  if (info.State != MEM_COMMIT) return false;
  const uint32_t flags = regionFlags(info);
  return (flags & kRegionRead) &&
         !(flags & (kRegionGuard | kRegionNoAccess | kRegionSystem));
}

struct GuardedCopy {
  void *to;
  const void *from;
  size_t size;
};

void copyStep(void *context) {
  const GuardedCopy &c = *static_cast<GuardedCopy *>(context);
  std::memcpy(c.to, c.from, c.size);
}

// ---- windows ----------------------------------------------------------------

// The top-level windows as EnumWindows lists them, taken at once: a list
// walked window by window (GetWindow) ends early when the window it stands
// on goes away, and a program could cut every walk short that way.
struct WindowList {
  uint32_t count;
  HWND windows[4096];
};

BOOL CALLBACK addWindow(HWND window, LPARAM context) {
  WindowList &list = *reinterpret_cast<WindowList *>(context);
  if (list.count == sizeof list.windows / sizeof list.windows[0]) return FALSE;
  list.windows[list.count++] = window;
  return TRUE;
}

}  // namespace

// ---- modules ----------------------------------------------------------------

int listModules(ModuleInfo *out, int capacity) {
  const HANDLE snapshot =
      CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  // The snapshot lists the program first.
  for (BOOL more = Module32First(snapshot, &entry); more;
       more = Module32Next(snapshot, &entry)) {
    if (count < capacity) {
      ModuleInfo &m = out[count];
      m.base = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
      m.size = entry.modBaseSize;
      copyText(m.path, sizeof m.path, entry.szExePath);
    }
    ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// ---- memory -----------------------------------------------------------------

void regionsBegin(RegionCursor &cursor) {
  cursor.next = 0;
  cursor.system = nullptr;
  cursor.begin = cursor.end = 0;
  cursor.done = false;
}

bool nextRegion(RegionCursor &cursor, MemoryRegion &out) {
  if (cursor.done) return false;
  const SystemInfo system = systemInfo();
  if (cursor.next < system.minAppAddress) cursor.next = system.minAppAddress;
  MEMORY_BASIC_INFORMATION info;
  while (cursor.next <= system.maxAppAddress &&
         VirtualQuery(reinterpret_cast<void *>(cursor.next), &info,
                      sizeof info) == sizeof info) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(info.BaseAddress);
    const uintptr_t end = base + info.RegionSize;
    if (end <= cursor.next) break;  // the top of the address space
    cursor.next = end;
    if (info.State != MEM_COMMIT) continue;
    out.base = base;
    out.size = info.RegionSize;
    out.flags = regionFlags(info);
    return true;
  }
  cursor.done = true;
  return false;
}

void regionsClose(RegionCursor &cursor) { cursor.system = nullptr; }

size_t readOwnMemory(uintptr_t address, void *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const uintptr_t at = address + done;
    if (at < address) break;  // past the end of the address space
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void *>(at), &info, sizeof info) !=
            sizeof info ||
        !readable(info))
      break;
    const uintptr_t end =
        reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    size_t n = size - done;
    if (end > at && end - at < n) n = end - at;
    // The region can still go away (or lose its access) between the
    // question and the copy; the guard then ends the read.
    GuardedCopy copy{static_cast<char *>(buffer) + done,
                     reinterpret_cast<const void *>(at), n};
    if (!runGuarded(copyStep, &copy)) break;
    done += n;
  }
  return done;
}

// ---- the game and the system ------------------------------------------------

bool gameFolder(char *out, size_t size) {
  if (size == 0) return false;
  const DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(size));
  if (n == 0 || n >= size) {
    out[0] = '\0';
    return false;
  }
  char *slash = std::strrchr(out, '\\');
  if (!slash) {
    out[0] = '\0';
    return false;
  }
  *slash = '\0';
  return true;
}

namespace {

// True when path lies below folder (compared without case, ending at a
// separator).
bool below(const char *path, const char *folder, size_t length) {
  while (length > 0 &&
         (folder[length - 1] == '\\' || folder[length - 1] == '/'))
    --length;
  if (length == 0 || std::strlen(path) <= length ||
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path,
                     static_cast<int>(length), folder,
                     static_cast<int>(length)) != CSTR_EQUAL)
    return false;
  return path[length] == '\\' || path[length] == '/';
}

}  // namespace

// The Windows folder holds the system folder (and, on 64-bit Windows, the
// 32-bit one that 32-bit programs load their system DLLs from).
bool isSystemPath(const char *path) {
  char folder[MAX_PATH];
  UINT n = GetWindowsDirectoryA(folder, MAX_PATH);
  if (n > 0 && n < MAX_PATH && below(path, folder, n)) return true;
  n = GetSystemDirectoryA(folder, MAX_PATH);
  return n > 0 && n < MAX_PATH && below(path, folder, n);
}

void processesBegin(ProcessCursor &cursor) {
  cursor.system = nullptr;
  cursor.ownId = GetCurrentProcessId();
  cursor.done = false;
}

bool nextProcess(ProcessCursor &cursor, char *name, size_t size) {
  if (cursor.done || size == 0) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  BOOL more;
  if (!cursor.system) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      cursor.done = true;
      return false;
    }
    cursor.system = snapshot;
    more = Process32FirstW(snapshot, &entry);
  } else {
    more = Process32NextW(cursor.system, &entry);
  }
  for (; more; more = Process32NextW(cursor.system, &entry)) {
    if (entry.th32ProcessID == cursor.ownId || entry.th32ProcessID == 0)
      continue;
    // The image's file name; some systems give the whole path.
    const wchar_t *base = entry.szExeFile;
    for (const wchar_t *p = entry.szExeFile; *p; ++p)
      if (*p == L'\\' || *p == L'/') base = p + 1;
    utf8Text(name, size, base);
    if (name[0]) return true;
  }
  processesClose(cursor);
  cursor.done = true;
  return false;
}

void processesClose(ProcessCursor &cursor) {
  if (cursor.system) CloseHandle(cursor.system);
  cursor.system = nullptr;
}

void windowsBegin(WindowCursor &cursor) {
  cursor.system = nullptr;
  cursor.index = cursor.count = 0;
  cursor.done = false;
}

bool nextWindow(WindowCursor &cursor, char *title, size_t size) {
  if (cursor.done || size == 0) return false;
  if (!cursor.system) {
    auto *list = static_cast<WindowList *>(
        HeapAlloc(GetProcessHeap(), 0, sizeof(WindowList)));
    if (!list) {
      cursor.done = true;
      return false;
    }
    list->count = 0;
    EnumWindows(addWindow, reinterpret_cast<LPARAM>(list));
    cursor.system = list;
    cursor.count = list->count;
  }
  const WindowList &list = *static_cast<WindowList *>(cursor.system);
  if (cursor.index < cursor.count) {
    // InternalGetWindowText reads the title the system keeps, where
    // GetWindowText sends a window of another thread of this process a
    // message and waits for that thread to answer it. A window gone since
    // the list was taken gives an empty title.
    wchar_t text[512];
    const int n = InternalGetWindowText(list.windows[cursor.index++], text,
                                        sizeof text / sizeof text[0]);
    text[n > 0 ? n : 0] = L'\0';
    utf8Text(title, size, text);
    return true;
  }
  windowsClose(cursor);
  cursor.done = true;
  return false;
}

void windowsClose(WindowCursor &cursor) {
  if (cursor.system) HeapFree(GetProcessHeap(), 0, cursor.system);
  cursor.system = nullptr;
}

}  // namespace qx::platform
