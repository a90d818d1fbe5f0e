// The ELF side of the image interface and the POSIX module and memory
// reads it stands on, against the real loader: the modules of this test
// program, the C library and the test module target.c.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "scan/image.h"
#include "target.h"

namespace {

using qx::platform::ModuleInfo;
using qx::scan::Compare;
using qx::scan::Image;

std::vector<ModuleInfo> modules() {
  std::vector<ModuleInfo> list(512);
  const int n = qx::platform::listModules(list.data(), 512);
  EXPECT_GT(n, 0);
  EXPECT_LE(n, 512);
  list.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return list;
}

// The module that holds address.
ModuleInfo moduleOf(const void *address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (const ModuleInfo &m : modules())
    if (a >= m.base && a - m.base < m.size) return m;
  ADD_FAILURE() << "no module holds " << address;
  return {};
}

Image openImage(const void *address) {
  Image image;
  EXPECT_TRUE(qx::scan::imageOpen(image, moduleOf(address)));
  return image;
}

std::vector<std::pair<std::string, uintptr_t>> exportsOf(const Image &image) {
  static qx::scan::ExportCursor cursor;
  qx::scan::exportsBegin(cursor, image);
  std::vector<std::pair<std::string, uintptr_t>> out;
  qx::scan::ExportEntry e;
  while (qx::scan::nextExport(cursor, e))
    if (e.symbol[0]) out.emplace_back(e.symbol, e.entry);
  return out;
}

qx::scan::ImportSlot importOf(const Image &image, const char *symbol) {
  static qx::scan::ImportCursor cursor;
  qx::scan::importsBegin(cursor, image);
  qx::scan::ImportSlot slot;
  while (qx::scan::nextImport(cursor, slot))
    if (std::strcmp(slot.symbol, symbol) == 0) return slot;
  ADD_FAILURE() << "no import slot for " << symbol;
  return {};
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
  const long page = sysconf(_SC_PAGESIZE);
  void *start = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(address) &
                                         ~static_cast<uintptr_t>(page - 1));
  ASSERT_EQ(mprotect(start, page, PROT_READ | PROT_WRITE | PROT_EXEC), 0);
  *static_cast<volatile unsigned char *>(address) = value;
  ASSERT_EQ(mprotect(start, page, PROT_READ | PROT_EXEC), 0);
}

TEST(ModuleList, ProgramFirstThenEveryLibraryWithItsFile) {
  const std::vector<ModuleInfo> list = modules();
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_STREQ(list[0].path, exe);
  const ModuleInfo target =
      moduleOf(reinterpret_cast<const void *>(&qx_target_add));
  EXPECT_NE(std::strstr(target.path, "libqxscan_target.so"), nullptr);
  EXPECT_EQ(target.path[0], '/');
  // Too small a table still counts them all.
  ModuleInfo one[1];
  EXPECT_EQ(qx::platform::listModules(one, 1), static_cast<int>(list.size()));
  // Every module is an image of this format, the kernel's vDSO (no file)
  // included.
  int withoutFile = 0;
  for (const ModuleInfo &m : list) {
    Image image;
    EXPECT_TRUE(qx::scan::imageOpen(image, m)) << m.path;
    if (!m.path[0]) ++withoutFile;
  }
  EXPECT_EQ(withoutFile, 1) << "the vDSO";
}

TEST(OwnMemory, ReadStopsAtAPageWithoutAccess) {
  const long page = sysconf(_SC_PAGESIZE);
  auto *area = static_cast<unsigned char *>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  std::memset(area, 0x5A, page);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  std::vector<unsigned char> copy(2 * page, 0);
  const uintptr_t at = reinterpret_cast<uintptr_t>(area) + page - 100;
  EXPECT_EQ(qx::platform::readOwnMemory(at, copy.data(), 300), 100u);
  EXPECT_EQ(copy[99], 0x5A);
  EXPECT_EQ(qx::platform::readOwnMemory(at + 100, copy.data(), 10), 0u);
  munmap(area, 2 * page);
  EXPECT_EQ(qx::platform::readOwnMemory(at, copy.data(), 10), 0u)
      << "memory that went away";
}

TEST(Regions, InAddressOrderWithTheirKinds) {
  qx::platform::RegionCursor cursor;
  qx::platform::regionsBegin(cursor);
  qx::platform::MemoryRegion r;
  uintptr_t last = 0;
  const auto code = reinterpret_cast<uintptr_t>(&qx_target_add);
  const auto stack = reinterpret_cast<uintptr_t>(&r);
  uint32_t codeFlags = 0, stackFlags = 0;
  int systemRegions = 0;
  while (qx::platform::nextRegion(cursor, r)) {
    EXPECT_GE(r.base, last);
    last = r.base + r.size;
    if (code >= r.base && code - r.base < r.size) codeFlags = r.flags;
    if (stack >= r.base && stack - r.base < r.size) stackFlags = r.flags;
    if (r.flags & qx::platform::kRegionSystem) ++systemRegions;
  }
  qx::platform::regionsClose(cursor);
  using namespace qx::platform;
  EXPECT_EQ(codeFlags, kRegionRead | kRegionExecute | kRegionImage);
  EXPECT_EQ(stackFlags, kRegionRead | kRegionWrite);
  EXPECT_GE(systemRegions, 1) << "the vDSO";
}

TEST(Exports, EveryFunctionWithItsEntryAndLookupsAsTheLoaderResolves) {
  const Image target =
      openImage(reinterpret_cast<const void *>(&qx_target_add));
  const auto exported = exportsOf(target);
  const std::vector<std::pair<std::string, uintptr_t>> expected = {
      {"qx_target_add", reinterpret_cast<uintptr_t>(&qx_target_add)},
      {"qx_target_measure", reinterpret_cast<uintptr_t>(&qx_target_measure)}};
  auto sorted = exported;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, expected);

  void *libcPuts = dlsym(RTLD_DEFAULT, "puts");
  const Image libc = openImage(libcPuts);
  qx::scan::ExportTarget t;
  ASSERT_EQ(qx::scan::findExport(libc, "puts", t), qx::scan::Lookup::Found);
  EXPECT_EQ(t.address, reinterpret_cast<uintptr_t>(libcPuts));
  // A versioned symbol with an older hidden version resolves to the default.
  void *realpathDefault = dlsym(RTLD_DEFAULT, "realpath");
  ASSERT_EQ(qx::scan::findExport(libc, "realpath", t), qx::scan::Lookup::Found);
  EXPECT_EQ(t.address, reinterpret_cast<uintptr_t>(realpathDefault));
  EXPECT_EQ(qx::scan::findExport(libc, "qx_no_such_symbol", t),
            qx::scan::Lookup::Missing);
  EXPECT_EQ(qx::scan::findExport(libc, "#12", t), qx::scan::Lookup::Missing);
  EXPECT_EQ(qx::scan::findExport(target, "strlen", t),
            qx::scan::Lookup::Missing)
      << "an import is not an export";
}

TEST(Imports, ALazySlotIsUnboundUntilItsFirstCallThenPointsIntoItsLibrary) {
  const Image target =
      openImage(reinterpret_cast<const void *>(&qx_target_add));
  qx::scan::ImportSlot before = importOf(target, "strlen");
  EXPECT_TRUE(before.library[0] == '\0');
  EXPECT_FALSE(before.bound);
  EXPECT_EQ(before.target - target.module.base < target.module.size, true)
      << "the unbound slot points at its own PLT entry";

  volatile const char *text = "four";
  EXPECT_EQ(qx_target_measure(const_cast<const char *>(text)), 4u);
  qx::scan::ImportSlot after = importOf(target, "strlen");
  EXPECT_TRUE(after.bound);
  EXPECT_EQ(after.slot, before.slot);
  const ModuleInfo libc = moduleOf(dlsym(RTLD_DEFAULT, "puts"));
  EXPECT_TRUE(after.target >= libc.base && after.target - libc.base < libc.size)
      << "strlen is chosen by the C library among its own versions";
}

TEST(CodeComparison, MatchesItsFileUntilACodeByteIsPatched) {
  qx::scan::CodeComparison c;
  const Image libc = openImage(dlsym(RTLD_DEFAULT, "puts"));
  EXPECT_EQ(compare(libc, libc.module.path, c), Compare::Matches);
  EXPECT_GT(c.compared, 100000u);

  auto *entry = reinterpret_cast<unsigned char *>(&qx_target_add);
  const Image target = openImage(entry);
  EXPECT_EQ(compare(target, target.module.path, c), Compare::Matches);
  const unsigned char original = entry[1];
  patchByte(entry + 1, static_cast<unsigned char>(original ^ 0xFF));
  EXPECT_EQ(compare(target, target.module.path, c), Compare::Differs);
  EXPECT_EQ(c.differing, 1u);
  EXPECT_EQ(c.firstOffset,
            reinterpret_cast<uintptr_t>(entry + 1) - target.module.base);
  patchByte(entry + 1, original);
  EXPECT_EQ(qx_target_add(2, 3), 5);

  EXPECT_EQ(compare(target, "/nonexistent/libqxscan_target.so", c),
            Compare::Unreadable);
  EXPECT_EQ(compare(target, libc.module.path, c), Compare::Unreadable)
      << "another file is not the loaded image";
}

}  // namespace
