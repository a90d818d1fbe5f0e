// POSIX (Linux) implementation of what the scanning reads of its own process
// and of the system: modules from the dynamic loader, regions from
// /proc/self/maps, reads through process_vm_readv, processes from /proc and
// windows from the X display through libxcb loaded at run time.
#include "platform/process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qx::platform {

namespace {

void copyText(char *out, size_t size, const char *text, size_t length) {
  if (size == 0) return;
  if (length >= size) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// The running program's file. The link " (deleted)" suffix the kernel adds
// for a file removed since is left on: that name opens nothing, which is
// what the scans should see of a file they cannot read.
bool programPath(char *out, size_t size) {
  if (size == 0) return false;
  const ssize_t n = readlink("/proc/self/exe", out, size - 1);
  if (n <= 0) {
    out[0] = '\0';
    return false;
  }
  out[n] = '\0';
  return true;
}

// ---- modules ----------------------------------------------------------------

struct ModuleWalk {
  ModuleInfo *out;
  int capacity;
  int count;
};

// The extent of the image's loadable segments in memory.
void imageExtent(const dl_phdr_info &info, uintptr_t &base, size_t &size) {
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr) &ph = info.dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const uintptr_t start = info.dlpi_addr + ph.p_vaddr;
    if (start < low) low = start;
    if (start + ph.p_memsz > high) high = start + ph.p_memsz;
  }
  if (low >= high) {
    base = info.dlpi_addr;
    size = 0;
    return;
  }
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  base = low & ~(page - 1);
  size = ((high + page - 1) & ~(page - 1)) - base;
}

int addModule(dl_phdr_info *info, size_t, void *data) {
  ModuleWalk &walk = *static_cast<ModuleWalk *>(data);
  const int index = walk.count++;
  if (index >= walk.capacity) return 0;
  ModuleInfo &m = walk.out[index];
  imageExtent(*info, m.base, m.size);
  const char *name = info->dlpi_name ? info->dlpi_name : "";
  const uintptr_t vdso = getauxval(AT_SYSINFO_EHDR);
  if (index == 0 && name[0] == '\0') {
    programPath(m.path, sizeof m.path);
  } else if (vdso != 0 && m.base == vdso) {
    m.path[0] = '\0';  // the kernel's vDSO has no file
  } else if (name[0] != '/' && name[0] != '\0') {
    // A library opened by a relative name: the loader keeps the name as
    // given, the scans need the file.
    char full[PATH_MAX];
    if (realpath(name, full))
      copyText(m.path, sizeof m.path, full, std::strlen(full));
    else
      copyText(m.path, sizeof m.path, name, std::strlen(name));
  } else {
    copyText(m.path, sizeof m.path, name, std::strlen(name));
  }
  return 0;
}

// ---- regions ----------------------------------------------------------------

int mapsDescriptor(const RegionCursor &cursor) {
  return static_cast<int>(reinterpret_cast<intptr_t>(cursor.system)) - 1;
}

// Reads more of /proc/self/maps behind the unread part; false at its end.
bool refill(RegionCursor &cursor) {
  const int fd = mapsDescriptor(cursor);
  if (fd < 0) return false;
  if (cursor.begin > 0) {
    std::memmove(cursor.buffer, cursor.buffer + cursor.begin,
                 cursor.end - cursor.begin);
    cursor.end -= cursor.begin;
    cursor.begin = 0;
  }
  if (cursor.end == sizeof cursor.buffer) return false;
  ssize_t n;
  do {
    n = read(fd, cursor.buffer + cursor.end, sizeof cursor.buffer - cursor.end);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  cursor.end += static_cast<size_t>(n);
  return true;
}

// One whole line of the maps file, without its '\n', or false at the end.
bool nextLine(RegionCursor &cursor, const char *&line, size_t &length) {
  for (;;) {
    const char *start = cursor.buffer + cursor.begin;
    const size_t unread = cursor.end - cursor.begin;
    const void *newline = std::memchr(start, '\n', unread);
    if (newline) {
      line = start;
      length = static_cast<size_t>(static_cast<const char *>(newline) - start);
      cursor.begin += length + 1;
      return true;
    }
    if (!refill(cursor)) {
      // A line longer than the buffer (a path of thousands of characters)
      // cannot be told apart from a cut one: the rest is not read.
      return false;
    }
  }
}

uintptr_t hexNumber(const char *&p, const char *end) {
  uintptr_t v = 0;
  for (; p < end; ++p) {
    const char c = *p;
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else
      break;
    v = v * 16 + static_cast<uintptr_t>(d);
  }
  return v;
}

bool startsWith(const char *text, size_t length, const char *prefix) {
  const size_t n = std::strlen(prefix);
  return length >= n && std::memcmp(text, prefix, n) == 0;
}

// "start-end perms offset dev inode   path", as the kernel writes each line.
bool parseMapsLine(const char *line, size_t length, MemoryRegion &out) {
  const char *p = line, *end = line + length;
  const uintptr_t start = hexNumber(p, end);
  if (p == end || *p != '-') return false;
  ++p;
  const uintptr_t stop = hexNumber(p, end);
  if (p + 5 > end || *p != ' ' || stop <= start) return false;
  const char *perms = p + 1;
  uint32_t flags = 0;
  if (perms[0] == 'r') flags |= kRegionRead;
  if (perms[1] == 'w') flags |= kRegionWrite;
  if (perms[2] == 'x') flags |= kRegionExecute;
  if (!(flags & (kRegionRead | kRegionWrite | kRegionExecute)))
    flags |= kRegionNoAccess;
  // The path follows the offset, the device and the inode.
  p = perms + 4;
  for (int field = 0; field < 3 && p < end; ++field) {
    while (p < end && *p == ' ') ++p;
    while (p < end && *p != ' ') ++p;
  }
  while (p < end && *p == ' ') ++p;
  const char *path = p;
  const size_t pathLength = static_cast<size_t>(end - p);
  if (pathLength > 0 && path[0] == '[') {
    // [vdso], [vvar], [vsyscall] are the kernel's; [heap] and [stack] are
    // the process's own memory.
    if (!startsWith(path, pathLength, "[heap]") &&
        !startsWith(path, pathLength, "[stack"))
      flags |= kRegionSystem;
  } else if (startsWith(path, pathLength, "/dev/") &&
             !startsWith(path, pathLength, "/dev/zero") &&
             !startsWith(path, pathLength, "/dev/shm/")) {
    // A device's memory (a graphics card's, say): reading it is not a
    // plain memory read.
    flags |= kRegionSystem;
  } else if (pathLength > 0 && path[0] == '/') {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(start), &info) && info.dli_fbase)
      flags |= kRegionImage;
    else
      flags |= kRegionMapped;
  }
  out.base = start;
  out.size = stop - start;
  out.flags = flags;
  return true;
}

// ---- windows: the X display through libxcb ------------------------------
//
// libxcb rather than libX11: its errors come back with each reply instead of
// through process-wide handlers, and a lost connection is a state to test,
// where libX11's default handler ends the process (the game's).

struct XcbGenericError;
struct XcbConnection;
struct XcbScreen {
  uint32_t root;
  uint32_t defaultColormap, whitePixel, blackPixel, currentInputMasks;
  uint16_t widthPixels, heightPixels, widthMm, heightMm;
  uint16_t minMaps, maxMaps;
  uint32_t rootVisual;
  uint8_t backingStores, saveUnders, rootDepth, allowedDepthsLength;
};
struct XcbScreenIterator {
  XcbScreen *data;
  int rem, index;
};
struct XcbSetup;
struct XcbCookie {
  unsigned int sequence;
};
struct XcbQueryTreeReply {
  uint8_t responseType, pad0;
  uint16_t sequence;
  uint32_t length, root, parent;
  uint16_t childrenLength;
  uint8_t pad1[14];
};
struct XcbGetPropertyReply {
  uint8_t responseType, format;
  uint16_t sequence;
  uint32_t length, type, bytesAfter, valueLength;
  uint8_t pad0[12];
};
struct XcbInternAtomReply {
  uint8_t responseType, pad0;
  uint16_t sequence;
  uint32_t length, atom;
};

struct Xcb {
  void *library;
  XcbConnection *(*connect)(const char *, int *);
  void (*disconnect)(XcbConnection *);
  int (*connectionHasError)(XcbConnection *);
  const XcbSetup *(*getSetup)(XcbConnection *);
  XcbScreenIterator (*setupRootsIterator)(const XcbSetup *);
  XcbCookie (*queryTree)(XcbConnection *, uint32_t);
  XcbQueryTreeReply *(*queryTreeReply)(XcbConnection *, XcbCookie,
                                       XcbGenericError **);
  uint32_t *(*queryTreeChildren)(const XcbQueryTreeReply *);
  XcbCookie (*getProperty)(XcbConnection *, uint8_t, uint32_t, uint32_t,
                           uint32_t, uint32_t, uint32_t);
  XcbGetPropertyReply *(*getPropertyReply)(XcbConnection *, XcbCookie,
                                           XcbGenericError **);
  void *(*getPropertyValue)(const XcbGetPropertyReply *);
  int (*getPropertyValueLength)(const XcbGetPropertyReply *);
  XcbCookie (*internAtom)(XcbConnection *, uint8_t, uint16_t, const char *);
  XcbInternAtomReply *(*internAtomReply)(XcbConnection *, XcbCookie,
                                         XcbGenericError **);
};

// What a window cursor holds while it is open: the connection and the list
// of top-level windows, both freed by windowsClose.
struct WindowWalk {
  Xcb xcb;
  XcbConnection *connection;
  void *list;  // the reply that holds the windows (libxcb's malloc)
  const uint32_t *windows;
  uint32_t count;
  uint32_t netWmName, utf8String;
};

constexpr uint32_t kAtomWmName = 39;  // WM_NAME, predefined
constexpr uint32_t kAtomString = 31;  // STRING, predefined
constexpr uint32_t kAtomWindow = 33;  // WINDOW, predefined
constexpr uint32_t kAnyPropertyType = 0;
constexpr uint32_t kMostWindows = 4096;

template <typename F>
bool bind(void *library, const char *name, F &out) {
  out = reinterpret_cast<F>(dlsym(library, name));
  return out != nullptr;
}

bool loadXcb(Xcb &x) {
  x.library = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!x.library) return false;
  if (bind(x.library, "xcb_connect", x.connect) &&
      bind(x.library, "xcb_disconnect", x.disconnect) &&
      bind(x.library, "xcb_connection_has_error", x.connectionHasError) &&
      bind(x.library, "xcb_get_setup", x.getSetup) &&
      bind(x.library, "xcb_setup_roots_iterator", x.setupRootsIterator) &&
      bind(x.library, "xcb_query_tree", x.queryTree) &&
      bind(x.library, "xcb_query_tree_reply", x.queryTreeReply) &&
      bind(x.library, "xcb_query_tree_children", x.queryTreeChildren) &&
      bind(x.library, "xcb_get_property", x.getProperty) &&
      bind(x.library, "xcb_get_property_reply", x.getPropertyReply) &&
      bind(x.library, "xcb_get_property_value", x.getPropertyValue) &&
      bind(x.library, "xcb_get_property_value_length",
           x.getPropertyValueLength) &&
      bind(x.library, "xcb_intern_atom", x.internAtom) &&
      bind(x.library, "xcb_intern_atom_reply", x.internAtomReply))
    return true;
  dlclose(x.library);
  x.library = nullptr;
  return false;
}

uint32_t internAtom(WindowWalk &w, const char *name) {
  const XcbCookie c = w.xcb.internAtom(
      w.connection, 1, static_cast<uint16_t>(std::strlen(name)), name);
  XcbInternAtomReply *reply = w.xcb.internAtomReply(w.connection, c, nullptr);
  const uint32_t atom = reply ? reply->atom : 0;
  std::free(reply);
  return atom;
}

// The windows a window manager lists as its clients: the top-level windows
// as the player sees them (the root's own children are then the manager's
// frames, which carry no title).
bool clientList(WindowWalk &w, uint32_t root) {
  const uint32_t atom = internAtom(w, "_NET_CLIENT_LIST");
  if (atom == 0) return false;
  const XcbCookie c = w.xcb.getProperty(w.connection, 0, root, atom,
                                        kAtomWindow, 0, kMostWindows);
  XcbGetPropertyReply *reply = w.xcb.getPropertyReply(w.connection, c, nullptr);
  if (!reply) return false;
  if (reply->format != 32 || w.xcb.getPropertyValueLength(reply) <= 0) {
    std::free(reply);
    return false;
  }
  w.list = reply;
  w.windows = static_cast<const uint32_t *>(w.xcb.getPropertyValue(reply));
  w.count = static_cast<uint32_t>(w.xcb.getPropertyValueLength(reply));
  return true;
}

// Without a window manager, the root's children are the top-level windows.
bool rootChildren(WindowWalk &w, uint32_t root) {
  const XcbCookie c = w.xcb.queryTree(w.connection, root);
  XcbQueryTreeReply *tree = w.xcb.queryTreeReply(w.connection, c, nullptr);
  if (!tree) return false;
  w.list = tree;
  w.windows = w.xcb.queryTreeChildren(tree);
  w.count = tree->childrenLength;
  return true;
}

void closeWalk(WindowWalk *w) {
  if (!w) return;
  std::free(w->list);
  if (w->connection) w->xcb.disconnect(w->connection);
  if (w->xcb.library) dlclose(w->xcb.library);
  std::free(w);
}

// Connects to the display and asks for the root window's children.
WindowWalk *openWalk() {
  const char *display = std::getenv("DISPLAY");
  if (!display || !display[0]) return nullptr;
  auto *w = static_cast<WindowWalk *>(std::calloc(1, sizeof(WindowWalk)));
  if (!w) return nullptr;
  if (!loadXcb(w->xcb)) {
    std::free(w);
    return nullptr;
  }
  w->connection = w->xcb.connect(nullptr, nullptr);
  if (!w->connection || w->xcb.connectionHasError(w->connection)) {
    closeWalk(w);
    return nullptr;
  }
  const XcbScreenIterator screens =
      w->xcb.setupRootsIterator(w->xcb.getSetup(w->connection));
  if (screens.rem < 1 || !screens.data) {
    closeWalk(w);
    return nullptr;
  }
  w->netWmName = internAtom(*w, "_NET_WM_NAME");
  w->utf8String = internAtom(*w, "UTF8_STRING");
  if (!clientList(*w, screens.data->root) &&
      !rootChildren(*w, screens.data->root)) {
    closeWalk(w);
    return nullptr;
  }
  return w;
}

// The title of window, _NET_WM_NAME before WM_NAME; false without one.
bool windowTitle(WindowWalk &w, uint32_t window, char *title, size_t size) {
  const uint32_t names[2] = {w.netWmName, kAtomWmName};
  const uint32_t types[2] = {w.utf8String, kAtomString};
  for (int i = 0; i < 2; ++i) {
    if (names[i] == 0) continue;
    const uint32_t longs = static_cast<uint32_t>((size + 3) / 4);
    const XcbCookie c =
        w.xcb.getProperty(w.connection, 0, window, names[i],
                          i == 0 ? types[0] : kAnyPropertyType, 0, longs);
    XcbGetPropertyReply *reply =
        w.xcb.getPropertyReply(w.connection, c, nullptr);
    if (!reply) continue;
    const int length = w.xcb.getPropertyValueLength(reply);
    if (reply->format == 8 && length > 0) {
      copyText(title, size,
               static_cast<const char *>(w.xcb.getPropertyValue(reply)),
               static_cast<size_t>(length));
      std::free(reply);
      return title[0] != '\0';
    }
    std::free(reply);
  }
  return false;
}

}  // namespace

// ---- modules ----------------------------------------------------------------

int listModules(ModuleInfo *out, int capacity) {
  ModuleWalk walk{out, capacity < 0 ? 0 : capacity, 0};
  dl_iterate_phdr(addModule, &walk);
  return walk.count;
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
  if (!cursor.system) {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      cursor.done = true;
      return false;
    }
    cursor.system = reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1);
  }
  const char *line;
  size_t length;
  while (nextLine(cursor, line, length)) {
    // The file is read in pieces while the process's memory changes; a
    // region that starts below the last one given was read before.
    if (parseMapsLine(line, length, out) && out.base >= cursor.next) {
      cursor.next = out.base + out.size;
      return true;
    }
  }
  regionsClose(cursor);
  cursor.done = true;
  return false;
}

void regionsClose(RegionCursor &cursor) {
  const int fd = mapsDescriptor(cursor);
  if (fd >= 0) close(fd);
  cursor.system = nullptr;
  cursor.begin = cursor.end = 0;
}

size_t readOwnMemory(uintptr_t address, void *buffer, size_t size) {
  // One remote piece per page, so a read that meets a page without access
  // stops there and reports what came before it.
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  size_t done = 0;
  while (done < size) {
    iovec local[16], remote[16];
    int pieces = 0;
    size_t batch = 0;
    while (pieces < 16 && done + batch < size) {
      const uintptr_t at = address + done + batch;
      if (at < address) break;  // past the end of the address space
      size_t n = page - (at & (page - 1));
      if (n > size - done - batch) n = size - done - batch;
      local[pieces] = {static_cast<char *>(buffer) + done + batch, n};
      remote[pieces] = {reinterpret_cast<void *>(at), n};
      ++pieces;
      batch += n;
    }
    if (pieces == 0) break;
    const ssize_t got =
        process_vm_readv(getpid(), local, static_cast<unsigned long>(pieces),
                         remote, static_cast<unsigned long>(pieces), 0);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
    if (static_cast<size_t>(got) < batch) break;
  }
  return done;
}

// ---- the game and the system ------------------------------------------------

bool gameFolder(char *out, size_t size) {
  if (!programPath(out, size)) return false;
  char *slash = std::strrchr(out, '/');
  if (!slash) return false;
  if (slash == out)
    slash[1] = '\0';
  else
    *slash = '\0';
  return true;
}

bool isSystemPath(const char *path) {
  static const char *const kFolders[] = {"/lib/",    "/lib32/", "/lib64/",
                                         "/libx32/", "/usr/",   "/bin/",
                                         "/sbin/",   "/etc/"};
  for (const char *folder : kFolders)
    if (std::strncmp(path, folder, std::strlen(folder)) == 0) return true;
  return false;
}

// Processes: the numbered folders of /proc. A process's name is its
// program's file name where the kernel shows it to us (our own user's
// processes), else the first word of its command line, else the kernel's
// short name of it.

void processesBegin(ProcessCursor &cursor) {
  cursor.system = nullptr;
  cursor.ownId = static_cast<uint32_t>(getpid());
  cursor.done = false;
}

namespace {

bool readSmallFile(const char *path, char *out, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = read(fd, out, size - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return false;
  out[n] = '\0';
  return true;
}

void baseNameInto(const char *path, char *name, size_t size) {
  const char *slash = std::strrchr(path, '/');
  const char *base = slash ? slash + 1 : path;
  copyText(name, size, base, std::strlen(base));
}

bool processName(const char *pid, char *name, size_t size) {
  char path[64], text[PATH_MAX];
  std::snprintf(path, sizeof path, "/proc/%s/exe", pid);
  const ssize_t n = readlink(path, text, sizeof text - 1);
  if (n > 0) {
    text[n] = '\0';
    char *deleted = std::strstr(text, " (deleted)");
    if (deleted && deleted[10] == '\0') *deleted = '\0';
    baseNameInto(text, name, size);
    return name[0] != '\0';
  }
  std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
  if (readSmallFile(path, text, sizeof text) && text[0]) {
    char *blank = std::strchr(text, ' ');
    if (blank) *blank = '\0';
    baseNameInto(text, name, size);
    if (name[0]) return true;
  }
  std::snprintf(path, sizeof path, "/proc/%s/comm", pid);
  if (!readSmallFile(path, text, sizeof text)) return false;
  char *newline = std::strchr(text, '\n');
  if (newline) *newline = '\0';
  copyText(name, size, text, std::strlen(text));
  return name[0] != '\0';
}

}  // namespace

bool nextProcess(ProcessCursor &cursor, char *name, size_t size) {
  if (cursor.done || size == 0) return false;
  if (!cursor.system) {
    cursor.system = opendir("/proc");
    if (!cursor.system) {
      cursor.done = true;
      return false;
    }
  }
  DIR *dir = static_cast<DIR *>(cursor.system);
  while (dirent *entry = readdir(dir)) {
    const char *id = entry->d_name;
    if (id[0] < '1' || id[0] > '9' ||
        std::strspn(id, "0123456789") != std::strlen(id))
      continue;
    if (std::strtoul(id, nullptr, 10) == cursor.ownId) continue;
    // A process that ended since the folder was listed has no name left.
    if (processName(id, name, size)) return true;
  }
  processesClose(cursor);
  cursor.done = true;
  return false;
}

void processesClose(ProcessCursor &cursor) {
  if (cursor.system) closedir(static_cast<DIR *>(cursor.system));
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
    WindowWalk *w = openWalk();
    if (!w) {
      cursor.done = true;
      return false;
    }
    cursor.system = w;
    cursor.count = w->count;
  }
  WindowWalk &w = *static_cast<WindowWalk *>(cursor.system);
  if (cursor.index < cursor.count && !w.xcb.connectionHasError(w.connection)) {
    // One window a call, titled or not (an empty title), so that a display
    // of many untitled windows costs one round trip per call.
    const uint32_t window = w.windows[cursor.index++];
    if (!windowTitle(w, window, title, size)) title[0] = '\0';
    return true;
  }
  windowsClose(cursor);
  cursor.done = true;
  return false;
}

void windowsClose(WindowCursor &cursor) {
  closeWalk(static_cast<WindowWalk *>(cursor.system));
  cursor.system = nullptr;
}

}  // namespace qx::platform
