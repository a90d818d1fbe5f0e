// The PE side of the image interface and the Win32 reads of modules,
// regions, memory, processes and windows it stands on, against the system
// (Wine in the test runs): this program's modules, the test module
// pe_target.c loaded as a game loads its modules, images built byte by byte
// and mapped into memory by hand, and a clean process of which nothing may
// look like a cheat.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fake_host.h"
#include "pe_builder.h"
#include "platform/process.h"
#include "scan/image.h"
#include "scan/pe_image.h"

namespace {

using qx::platform::ModuleInfo;
using qx::scan::Compare;
using qx::scan::Image;
using qx::scan::Lookup;

std::string windowsPath(std::string path) {
  for (char &c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;  // Wine's drive for the Unix file system
}

// The test module, loaded once for the whole program as the game loads its
// own modules.
HMODULE target() {
  static const HMODULE module =
      LoadLibraryA(windowsPath(QX_PE_TARGET_PATH).c_str());
  return module;
}

template <typename F>
F targetFunction(const char *name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void *>(GetProcAddress(target(), name)));
}

std::vector<ModuleInfo> modules() {
  std::vector<ModuleInfo> list(512);
  const int n = qx::platform::listModules(list.data(), 512);
  EXPECT_GT(n, 0);
  EXPECT_LE(n, 512);
  list.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return list;
}

ModuleInfo moduleOf(const void *address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (const ModuleInfo &m : modules())
    if (a >= m.base && a - m.base < m.size) return m;
  ADD_FAILURE() << "no module holds " << address;
  return {};
}

Image openImage(const ModuleInfo &module) {
  Image image;
  EXPECT_TRUE(qx::scan::imageOpen(image, module)) << module.path;
  return image;
}

std::vector<std::pair<std::string, uintptr_t>> exportsOf(const Image &image) {
  static qx::scan::ExportCursor cursor;
  qx::scan::exportsBegin(cursor, image);
  std::vector<std::pair<std::string, uintptr_t>> out;
  qx::scan::ExportEntry e;
  while (qx::scan::nextExport(cursor, e))
    if (e.symbol[0]) out.emplace_back(e.symbol, e.entry);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<qx::scan::ImportSlot> importsOf(const Image &image) {
  static qx::scan::ImportCursor cursor;
  qx::scan::importsBegin(cursor, image);
  std::vector<qx::scan::ImportSlot> out;
  qx::scan::ImportSlot slot;
  while (qx::scan::nextImport(cursor, slot))
    if (slot.symbol[0]) out.push_back(slot);
  return out;
}

Compare compare(const Image &image, const char *path,
                qx::scan::CodeComparison &c) {
  qx::scan::compareBegin(c, image, path);
  Compare outcome;
  int steps = 0;
  while ((outcome = qx::scan::compareStep(c)) == Compare::More) ++steps;
  EXPECT_EQ(qx::scan::compareStep(c), outcome) << "the outcome stays";
  qx::scan::compareClose(c);
  return outcome;
}

// Writes one byte of code the way a cheat would.
void patchByte(void *address, unsigned char value) {
  DWORD before;
  ASSERT_TRUE(VirtualProtect(address, 1, PAGE_EXECUTE_READWRITE, &before));
  *static_cast<volatile unsigned char *>(address) = value;
  ASSERT_TRUE(VirtualProtect(address, 1, before, &before));
  FlushInstructionCache(GetCurrentProcess(), address, 1);
}

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string fileName(const char *path) {
  const char *slash = std::strrchr(path, '\\');
  return lower(slash ? slash + 1 : path);
}

// ---- modules, memory, the system --------------------------------------------

TEST(Win32Process, ModulesProgramFirstEachWithItsFile) {
  ASSERT_NE(target(), nullptr);
  const std::vector<ModuleInfo> list = modules();
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
  EXPECT_STREQ(list[0].path, exe);
  const ModuleInfo m = moduleOf(targetFunction<void *>("qx_target_add"));
  EXPECT_EQ(m.base, reinterpret_cast<uintptr_t>(target()));
  EXPECT_EQ(fileName(m.path), "qxscan_pe_target.dll");
  ModuleInfo one[1];
  EXPECT_EQ(qx::platform::listModules(one, 1), static_cast<int>(list.size()));
  for (const ModuleInfo &module : list) openImage(module);

  char folder[MAX_PATH];
  ASSERT_TRUE(qx::platform::gameFolder(folder, sizeof folder));
  const std::string program = exe;
  EXPECT_EQ(folder, program.substr(0, program.rfind('\\')));
  // The system's folders and what lies below them, compared without case;
  // not the Windows folder itself, nor a folder whose name only begins so.
  char windows[MAX_PATH];
  ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
  EXPECT_TRUE(qx::platform::isSystemPath(
      moduleOf(reinterpret_cast<void *>(&GetTickCount)).path));
  EXPECT_TRUE(qx::platform::isSystemPath(
      lower(std::string(windows) + "\\System32\\X.DLL").c_str()));
  EXPECT_FALSE(qx::platform::isSystemPath(m.path));
  EXPECT_FALSE(qx::platform::isSystemPath(windows));
  EXPECT_FALSE(
      qx::platform::isSystemPath((std::string(windows) + "x\\a.dll").c_str()));
}

TEST(Win32Process, OwnMemoryReadsStopAtNoAccessAndNeverFireAGuard) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  auto *area = static_cast<unsigned char *>(VirtualAlloc(
      nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(area, nullptr);
  std::memset(area, 0x5A, 2 * page);
  DWORD before;
  ASSERT_TRUE(VirtualProtect(area + page, page, PAGE_NOACCESS, &before));
  std::vector<unsigned char> copy(2 * page, 0);
  const uintptr_t at = reinterpret_cast<uintptr_t>(area) + page - 100;
  EXPECT_EQ(qx::platform::readOwnMemory(at, copy.data(), 300), 100u);
  EXPECT_EQ(copy[99], 0x5A);
  EXPECT_EQ(qx::platform::readOwnMemory(at + 100, copy.data(), 10), 0u);

  // A guard page is neither read nor fired: its guard is still set after.
  ASSERT_TRUE(
      VirtualProtect(area + page, page, PAGE_READWRITE | PAGE_GUARD, &before));
  EXPECT_EQ(qx::platform::readOwnMemory(at, copy.data(), 300), 100u);
  MEMORY_BASIC_INFORMATION info;
  ASSERT_TRUE(VirtualQuery(area + page, &info, sizeof info));
  EXPECT_TRUE(info.Protect & PAGE_GUARD);

  VirtualFree(area, 0, MEM_RELEASE);
  EXPECT_EQ(qx::platform::readOwnMemory(at, copy.data(), 10), 0u)
      << "memory that went away";
  EXPECT_EQ(qx::platform::readOwnMemory(UINTPTR_MAX - 3, copy.data(), 16), 0u);
}

TEST(Win32Process, RegionsInAddressOrderWithTheirKinds) {
  using namespace qx::platform;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  void *guard = VirtualAlloc(nullptr, page, MEM_COMMIT | MEM_RESERVE,
                             PAGE_READWRITE | PAGE_GUARD);
  void *none =
      VirtualAlloc(nullptr, page, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  void *code = VirtualAlloc(nullptr, page, MEM_COMMIT | MEM_RESERVE,
                            PAGE_EXECUTE_READWRITE);
  void *reserved = VirtualAlloc(nullptr, page, MEM_RESERVE, PAGE_READWRITE);
  const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                            PAGE_READWRITE, 0, page, nullptr);
  void *view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, page);
  ASSERT_TRUE(guard && none && code && reserved && view);
  struct Expected {
    const void *address;
    uint32_t flags;
    uint32_t seen;
  } expected[] = {
      {targetFunction<void *>("qx_target_add"),
       kRegionRead | kRegionExecute | kRegionImage, 0},
      {&si, kRegionRead | kRegionWrite, 0},
      {guard, kRegionRead | kRegionWrite | kRegionGuard, 0},
      {none, kRegionNoAccess, 0},
      {code, kRegionRead | kRegionWrite | kRegionExecute, 0},
      {view, kRegionRead | kRegionMapped, 0},
  };
  RegionCursor cursor;
  regionsBegin(cursor);
  MemoryRegion r;
  uintptr_t last = 0;
  while (nextRegion(cursor, r)) {
    EXPECT_GE(r.base, last);
    last = r.base + r.size;
    const auto reservedAt = reinterpret_cast<uintptr_t>(reserved);
    EXPECT_FALSE(reservedAt >= r.base && reservedAt - r.base < r.size)
        << "only committed memory is a region";
    for (Expected &e : expected) {
      const auto a = reinterpret_cast<uintptr_t>(e.address);
      if (a >= r.base && a - r.base < r.size) e.seen = r.flags | 0x80000000u;
    }
  }
  regionsClose(cursor);
  for (const Expected &e : expected)
    EXPECT_EQ(e.seen, e.flags | 0x80000000u) << e.address;
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  for (void *p : {guard, none, code, reserved}) VirtualFree(p, 0, MEM_RELEASE);
}

// A child process of a known name, and a window of a known title, are
// listed; the process itself is not.
TEST(Win32Process, ProcessesAndWindowsByName) {
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
  // A name beyond ASCII, made with the wide calls.
  const std::string dir = qxtest::makeTempDir();
  const std::wstring child =
      std::wstring(dir.begin(), dir.end()) + L"\\qxscan_child_\u00c4.exe";
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  ASSERT_TRUE(CopyFileW(self, child.c_str(), FALSE));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(child.c_str(), nullptr, nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &si, &pi));

  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"qxscan_window";
  RegisterClassW(&wc);
  const HWND window =
      CreateWindowW(L"qxscan_window", L"Scan Test Window \u00e9", WS_OVERLAPPED,
                    0, 0, 50, 50, nullptr, nullptr, wc.hInstance, nullptr);

  std::vector<std::string> processes, titles;
  qx::platform::ProcessCursor pc;
  qx::platform::processesBegin(pc);
  char name[260];
  while (qx::platform::nextProcess(pc, name, sizeof name))
    processes.push_back(name);
  qx::platform::processesClose(pc);
  qx::platform::WindowCursor wcur;
  qx::platform::windowsBegin(wcur);
  char title[128];
  while (qx::platform::nextWindow(wcur, title, sizeof title))
    titles.push_back(title);
  qx::platform::windowsClose(wcur);

  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  // Names come as UTF-8.
  auto has = [](const std::vector<std::string> &list, const std::string &s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  EXPECT_TRUE(has(processes, "qxscan_child_\xC3\x84.exe"));
  EXPECT_FALSE(has(processes, fileName(exe))) << "the game itself";
  if (window) {
    EXPECT_TRUE(has(titles, "Scan Test Window \xC3\xA9"));
  }
  // A title is cut to the buffer, never in the middle of a character.
  qx::platform::windowsBegin(wcur);
  char small[19];  // 18 bytes: the title's first byte of its last character
  bool cut = false;
  while (qx::platform::nextWindow(wcur, small, sizeof small))
    cut |= std::string(small) == "Scan Test Window ";
  qx::platform::windowsClose(wcur);
  if (window) {
    EXPECT_TRUE(cut);
    DestroyWindow(window);
  }
}

// ---- exports and imports of a real module -----------------------------------

TEST(Win32Image, ExportsAreFunctionsByNameAndOrdinal) {
  const Image image = openImage(moduleOf(target()));
  const auto entry = [](const char *name) {
    return reinterpret_cast<uintptr_t>(GetProcAddress(target(), name));
  };
  const std::vector<std::pair<std::string, uintptr_t>> expected = {
      {"#7", reinterpret_cast<uintptr_t>(
                 GetProcAddress(target(), MAKEINTRESOURCEA(7)))},
      {"qx_target_add", entry("qx_target_add")},
      {"qx_target_measure", entry("qx_target_measure")},
      {"qx_target_tick", entry("qx_target_tick")}};
  EXPECT_EQ(exportsOf(image), expected) << "no data, no forwarder";

  qx::scan::ExportTarget t;
  ASSERT_EQ(qx::scan::findExport(image, "qx_target_add", t), Lookup::Found);
  EXPECT_EQ(t.address, entry("qx_target_add"));
  ASSERT_EQ(qx::scan::findExport(image, "qx_target_data", t), Lookup::Found);
  EXPECT_EQ(t.address, entry("qx_target_data"));
  ASSERT_EQ(qx::scan::findExport(image, "#7", t), Lookup::Found);
  EXPECT_EQ(t.address, expected[0].second);
  ASSERT_EQ(qx::scan::findExport(image, "qx_target_forwarded", t),
            Lookup::Forwarded);
  EXPECT_STREQ(t.library, "KERNEL32");
  EXPECT_STREQ(t.symbol, "GetTickCount");
  for (const char *missing : {"qx_target", "qx_target_zzz", "#", "#1", "#99",
                              "#99999999999", "#7x", ""})
    EXPECT_EQ(qx::scan::findExport(image, missing, t), Lookup::Missing)
        << missing;
}

TEST(Win32Image, ImportSlotsHoldWhatTheLoaderBound) {
  const ModuleInfo m = moduleOf(target());
  const Image image = openImage(m);
  std::vector<std::string> names;
  for (const qx::scan::ImportSlot &slot : importsOf(image)) {
    names.push_back(lower(slot.library) + "!" + slot.symbol);
    EXPECT_TRUE(slot.bound);
    EXPECT_GE(slot.slot, m.base);
    EXPECT_LT(slot.slot - m.base, m.size);
    const FARPROC expected =
        GetProcAddress(GetModuleHandleA(slot.library), slot.symbol);
    EXPECT_EQ(slot.target, reinterpret_cast<uintptr_t>(expected))
        << slot.symbol;
  }
  auto has = [&](const char *s) {
    return std::find(names.begin(), names.end(), s) != names.end();
  };
  EXPECT_TRUE(has("msvcrt.dll!strlen"));
  EXPECT_TRUE(has("kernel32.dll!GetTickCount"));
}

// ---- images mapped by hand: delay loads and damaged tables
// -------------------

// A built image placed where it was linked for, in memory of its own.
struct HandMapped {
  qxtest::PeBuilder builder;
  unsigned char *memory = nullptr;
  ModuleInfo module{};
  qx::scan::Image image{};

  explicit HandMapped(qxtest::PeBuilder b) : builder(std::move(b)) {}
  ~HandMapped() {
    if (memory) VirtualFree(memory, 0, MEM_RELEASE);
  }
  void map() {
    memory = static_cast<unsigned char *>(VirtualAlloc(
        nullptr, 0x20000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(memory, nullptr);
    builder.imageBase = reinterpret_cast<uintptr_t>(memory);
    builder.build();
    ASSERT_LE(builder.mapped().size(), 0x20000u);
    std::memcpy(memory, builder.mapped().data(), builder.mapped().size());
    module.base = reinterpret_cast<uintptr_t>(memory);
    module.size = builder.mapped().size();
    ASSERT_TRUE(qx::scan::imageOpen(image, module));
  }
  void put32(uint32_t rva, uint32_t value) {
    std::memcpy(memory + rva, &value, 4);
  }
};

qxtest::PeBuilder handImage() {
  qxtest::PeBuilder b;
  const uint32_t text =
      b.addSection(".text", std::vector<uint8_t>(0x100, 0xC3), b.kCode);
  b.imports = {{"KERNEL32.dll", {{"GetTickCount", 0}}, true}};
  b.delayImports = {{"USER32.dll", {{"MessageBoxA", 0}, {"", 5}}, true}};
  b.delayStubRva = text + 0x10;
  b.exports = {{"Entry", text, ""}};
  return b;
}

TEST(Win32Image, DelayLoadSlotsAreUnboundUntilTheirFirstCall) {
  HandMapped h(handImage());
  h.map();
  const uintptr_t tick = reinterpret_cast<uintptr_t>(&GetTickCount);
  h.put32(h.builder.slotRvas[0], static_cast<uint32_t>(tick));  // the loader
  std::vector<std::string> seen;
  for (const qx::scan::ImportSlot &s : importsOf(h.image))
    seen.push_back(std::string(s.library) + "!" + s.symbol +
                   (s.bound ? " bound" : " unbound"));
  EXPECT_EQ(seen, (std::vector<std::string>{"KERNEL32.dll!GetTickCount bound",
                                            "USER32.dll!MessageBoxA unbound",
                                            "USER32.dll!#5 unbound"}));
  // The first call binds the slot (here, or a cheat, to anything outside).
  h.put32(h.builder.delaySlotRvas[0], static_cast<uint32_t>(tick));
  const auto slots = importsOf(h.image);
  ASSERT_EQ(slots.size(), 3u);
  EXPECT_TRUE(slots[1].bound);
  EXPECT_EQ(slots[1].target, tick);
  EXPECT_EQ(slots[1].slot, h.module.base + h.builder.delaySlotRvas[0]);
}

TEST(Win32Image, DamagedTablesEndTheirWalksWithoutAFault) {
  HandMapped h(handImage());
  h.map();
  const uint32_t importDir = h.builder.importRva;
  auto get32 = [&](uint32_t rva) {
    uint32_t v;
    std::memcpy(&v, h.memory + rva, 4);
    return v;
  };
  // A module name beyond the image: the descriptor is passed over.
  const uint32_t name = get32(importDir + 12);
  h.put32(importDir + 12, 0x7FFFFFF0u);
  std::vector<qx::scan::ImportSlot> slots = importsOf(h.image);
  EXPECT_EQ(slots.size(), 2u) << "the delay-load slots remain";
  // A name entry beyond the image: no slot for it, and the walk goes on.
  h.put32(importDir + 12, name);
  EXPECT_EQ(importsOf(h.image).size(), 3u);
  h.put32(get32(importDir), 0x7FFFFFF0u);  // the first lookup entry
  EXPECT_EQ(importsOf(h.image).size(), 2u);
  // Export tables larger than the image: no walk, no lookup.
  const uint32_t exportDir = h.builder.exportRva;
  h.put32(exportDir + 20, 0x40000000u);
  EXPECT_TRUE(exportsOf(h.image).empty());
  qx::scan::ExportTarget t;
  EXPECT_EQ(qx::scan::findExport(h.image, "Entry", t), Lookup::Unreadable);
  // A table behind a page without access.
  h.put32(exportDir + 20, 1);
  DWORD before;
  ASSERT_TRUE(
      VirtualProtect(h.memory + 0x1000, 0x1000, PAGE_NOACCESS, &before));
  EXPECT_EQ(qx::scan::findExport(h.image, "Entry", t), Lookup::Found);
  EXPECT_EQ(exportsOf(h.image).size(), 1u) << "its code is not read";
  ASSERT_TRUE(VirtualProtect(h.memory + h.builder.exportRva, 0x1000,
                             PAGE_NOACCESS, &before));
  EXPECT_EQ(qx::scan::findExport(h.image, "Entry", t), Lookup::Unreadable);
  // Headers that are no image.
  ASSERT_TRUE(VirtualProtect(h.memory, 0x1000, PAGE_READWRITE, &before));
  h.memory[0] = 'X';
  Image broken;
  EXPECT_FALSE(qx::scan::imageOpen(broken, h.module));
  EXPECT_EQ(qx::scan::findExport(broken, "Entry", t), Lookup::Unreadable);
  EXPECT_TRUE(importsOf(broken).empty());
}

// ---- code against the file --------------------------------------------------

TEST(Win32CodeComparison, MatchesItsFileUntilACodeByteIsPatched) {
  qx::scan::CodeComparison c;
  const ModuleInfo m = moduleOf(target());
  const Image image = openImage(m);
  EXPECT_EQ(compare(image, m.path, c), Compare::Matches);
  EXPECT_GT(c.compared, 1000u);

  auto *entry = targetFunction<unsigned char *>("qx_target_add");
  const unsigned char original = entry[1];
  patchByte(entry + 1, static_cast<unsigned char>(original ^ 0xFF));
  EXPECT_EQ(compare(image, m.path, c), Compare::Differs);
  EXPECT_EQ(c.differing, 1u);
  EXPECT_EQ(c.firstOffset, reinterpret_cast<uintptr_t>(entry + 1) - m.base);
  patchByte(entry + 1, original);
  EXPECT_EQ(targetFunction<int (*)(int, int)>("qx_target_add")(2, 3), 5);

  EXPECT_EQ(compare(image, "C:\\nonexistent\\qxscan_pe_target.dll", c),
            Compare::Unreadable);
  const ModuleInfo kernel32 = moduleOf(reinterpret_cast<void *>(&GetTickCount));
  EXPECT_EQ(compare(image, kernel32.path, c), Compare::Unreadable)
      << "another file is not the loaded image";
  // The program itself.
  const ModuleInfo program = modules()[0];
  EXPECT_EQ(compare(openImage(program), program.path, c), Compare::Matches);
}

// A second copy of the module cannot have the base it was linked for: the
// loader moves it, and the comparison moves the file's bytes with it.
TEST(Win32CodeComparison, AMovedModuleMatchesItsFileMoved) {
  const std::string copy = qxtest::makeTempDir() + "\\moved_target.dll";
  ASSERT_TRUE(
      CopyFileA(windowsPath(QX_PE_TARGET_PATH).c_str(), copy.c_str(), FALSE));
  const HMODULE moved = LoadLibraryA(copy.c_str());
  ASSERT_NE(moved, nullptr);
  ASSERT_NE(moved, target());
  const ModuleInfo m = moduleOf(moved);
  const Image image = openImage(m);
  qx::scan::CodeComparison c;
  EXPECT_EQ(compare(image, m.path, c), Compare::Matches);
  auto *entry = reinterpret_cast<unsigned char *>(
      GetProcAddress(moved, "qx_target_tick"));
  const unsigned char original = entry[0];
  patchByte(entry, 0xCC);
  EXPECT_EQ(compare(image, m.path, c), Compare::Differs);
  EXPECT_EQ(c.firstOffset, reinterpret_cast<uintptr_t>(entry) - m.base);
  patchByte(entry, original);
  FreeLibrary(moved);
}

// An image placed by hand at another base than its file's, its relocations
// applied as the loader applies them and its import slot bound, its import
// tables merged into its code as some linkers do, and its file on disk. The
// relocation table's blocks come in the order given: a linker's (by page)
// or any other.
TEST(Win32CodeComparison, RelocationsInAnyOrderAndTheLoadersOwnBytes) {
  for (bool sorted : {true, false}) {
    SCOPED_TRACE(sorted ? "blocks by page" : "blocks out of order");
    qxtest::PeBuilder b;
    b.imageBase = 0x10000000;
    std::vector<uint8_t> code(0x2100, 0x90);
    b.put32(code, 0x10, 0x10001234);
    b.put32(code, 0xFFE, 0x10002000);  // across two blocks of the comparison
    b.put32(code, 0x2004, 0x10000000);
    const uint32_t text = b.addSection(".text", code, b.kCode);
    b.importCharacteristics = b.kCode;
    b.imports = {{"KERNEL32.dll", {{"GetTickCount", 0}}, true}};
    const std::pair<uint32_t, uint8_t> r[] = {
        {text + 0x10, qx::scan::pe::kRelocationHighLow},
        {text + 0xFFE, qx::scan::pe::kRelocationHighLow},
        {text + 0x2004, qx::scan::pe::kRelocationHighLow}};
    b.relocations =
        sorted ? std::vector<std::pair<uint32_t, uint8_t>>{r[0], r[1], r[2]}
               : std::vector<std::pair<uint32_t, uint8_t>>{r[2], r[0], r[1]};
    const std::vector<uint8_t> file = b.build();
    const std::string path = qxtest::makeTempDir() + "\\hand.dll";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);

    const size_t size = b.mapped().size();
    auto *memory = static_cast<unsigned char *>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(memory, nullptr);
    std::memcpy(memory, b.mapped().data(), size);
    qx::scan::pe::Headers h;
    ASSERT_EQ(qx::scan::pe::parseHeaders(file.data(), file.size(), h), nullptr);
    const uintptr_t base = reinterpret_cast<uintptr_t>(memory);
    ASSERT_TRUE(qx::scan::pe::applyRelocations(
        h, qx::scan::pe::fileView(file.data(), file.size()), 0, memory, size,
        base));
    const uint32_t tick =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&GetTickCount));
    std::memcpy(memory + b.slotRvas[0], &tick, 4);

    ModuleInfo m{base, size, {}};
    std::strcpy(m.path, path.c_str());
    Image image;
    ASSERT_TRUE(qx::scan::imageOpen(image, m));
    qx::scan::CodeComparison c;
    EXPECT_EQ(compare(image, path.c_str(), c), Compare::Matches);
    // Every byte of the code, less the import slots and descriptors.
    ASSERT_STREQ(h.sections[1].name, ".idata");
    EXPECT_EQ(c.compared, 0x2100u + h.sections[1].mappedSize -
                              b.importAddressSize - 20u * 2u);
    memory[text + 0xFFE + 3] ^= 1;
    EXPECT_EQ(compare(image, path.c_str(), c), Compare::Differs);
    EXPECT_EQ(c.differing, 1u);
    EXPECT_EQ(c.firstOffset, text + 0xFFE + 3);
    VirtualFree(memory, 0, MEM_RELEASE);
  }
}

// ---- a clean process under Wine ---------------------------------------------

// The module a library name means (its file name, or its name without the
// extension as a forwarder writes it).
int libraryIndex(const std::vector<ModuleInfo> &list, std::string library) {
  library = lower(library);
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string name = fileName(list[i].path);
    if (name == library || name == library + ".dll") return int(i);
  }
  return -1;
}

// Every import slot of every module of a clean process lies in the module
// that exports its function (forwarders followed), every module's code is
// its file's, and no executable memory lies outside the modules.
TEST(Win32CleanProcess, NothingOfTheSystemLooksLikeACheat) {
  for (const char *dll :
       {"user32.dll", "gdi32.dll", "ws2_32.dll", "ddraw.dll", "advapi32.dll"})
    LoadLibraryA(dll);
  const std::vector<ModuleInfo> list = modules();
  std::vector<Image> images;
  for (const ModuleInfo &m : list) images.push_back(openImage(m));
  int slots = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE(list[i].path);
    for (const qx::scan::ImportSlot &slot : importsOf(images[i])) {
      if (!slot.bound) continue;
      int module = libraryIndex(list, slot.library);
      // An API set name is resolved by the loader to a DLL of another name;
      // it names no module, and the pass judges no such slot either.
      if (module < 0 && (lower(slot.library).rfind("api-ms-", 0) == 0 ||
                         lower(slot.library).rfind("ext-ms-", 0) == 0))
        continue;
      std::string symbol = slot.symbol;
      for (int hop = 0; module >= 0 && hop < 8; ++hop) {
        qx::scan::ExportTarget t;
        const Lookup found =
            qx::scan::findExport(images[module], symbol.c_str(), t);
        if (found == Lookup::Found) break;
        ASSERT_EQ(found, Lookup::Forwarded)
            << slot.library << "!" << slot.symbol;
        symbol = t.symbol;
        module = libraryIndex(list, t.library);
      }
      ASSERT_GE(module, 0) << slot.library << "!" << slot.symbol;
      const ModuleInfo &exporter = list[module];
      EXPECT_TRUE(slot.target >= exporter.base &&
                  slot.target - exporter.base < exporter.size)
          << slot.library << "!" << slot.symbol;
      ++slots;
    }
    qx::scan::CodeComparison c;
    EXPECT_EQ(compare(images[i], list[i].path, c), Compare::Matches)
        << c.differing << " bytes differ from " << std::hex << c.firstOffset;
  }
  EXPECT_GT(slots, 1000);

  qx::platform::RegionCursor cursor;
  qx::platform::regionsBegin(cursor);
  qx::platform::MemoryRegion r;
  while (qx::platform::nextRegion(cursor, r))
    EXPECT_FALSE((r.flags & qx::platform::kRegionExecute) &&
                 !(r.flags & qx::platform::kRegionImage))
        << "executable memory outside the modules at " << std::hex << r.base;
  qx::platform::regionsClose(cursor);
}

#if defined(__i386__)
// Wine's Unix side (its loader, ntdll.so, the C library) is mapped into the
// process beside the Windows modules. The Unix process id comes from the
// kernel directly, its map from /proc through Wine's Unix drive; none of
// those libraries may appear as committed memory of the process.
TEST(Win32CleanProcess, WinesUnixLibrariesAreNoCommittedMemory) {
  if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "not under Wine";
  int pid;
  __asm__ volatile("int $0x80" : "=a"(pid) : "a"(20));  // getpid
  const std::string maps =
      qxtest::readFile("Z:\\proc\\" + std::to_string(pid) + "\\maps");
  ASSERT_FALSE(maps.empty());
  std::vector<std::pair<uintptr_t, uintptr_t>> unix;
  size_t at = 0;
  while (at < maps.size()) {
    size_t end = maps.find('\n', at);
    if (end == std::string::npos) end = maps.size();
    const std::string line = maps.substr(at, end - at);
    at = end + 1;
    unsigned long start = 0, stop = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &start, &stop) != 2) continue;
    if (line.find(".so") != std::string::npos ||
        line.find("/wine/wine") != std::string::npos)
      unix.emplace_back(start, stop);
  }
  ASSERT_GT(unix.size(), 3u) << "the loader, ntdll.so, the C library";
  qx::platform::RegionCursor cursor;
  qx::platform::regionsBegin(cursor);
  qx::platform::MemoryRegion r;
  while (qx::platform::nextRegion(cursor, r))
    for (const auto &u : unix)
      EXPECT_FALSE(r.base < u.second && u.first < r.base + r.size)
          << std::hex << "region " << r.base << " holds Unix memory at "
          << u.first;
  qx::platform::regionsClose(cursor);
  for (const ModuleInfo &m : modules())
    for (const auto &u : unix)
      EXPECT_FALSE(m.base < u.second && u.first < m.base + m.size) << m.path;
}
#endif

}  // namespace
