// Known-good files laid out as the loader lays them out: the server's bytes
// for a code challenge are the bytes of the real client library in this
// process's memory (ELF natively, PE under Wine), base relocations move with
// the base, the loader's own slots are never challenged, and a damaged file
// is refused with its fault.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "peer/code_image.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace {

namespace peer = qx::peer;
using peer::Bytes;
using peer::CodeImage;

std::string hostPath(const char *built) {
  std::string path = built;
#if defined(_WIN32)
  for (char &c : path)
    if (c == '/') c = '\\';
  path = "Z:" + path;  // Wine's drive for the Unix file system
#endif
  return path;
}

// The base of the module that holds address, as the client reports it.
uintptr_t baseOf(const void *address) {
#if defined(_WIN32)
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(address), &module);
  return reinterpret_cast<uintptr_t>(module);
#else
  const uintptr_t a = reinterpret_cast<uintptr_t>(address);
  std::vector<qx::platform::ModuleInfo> modules(512);
  const int n = qx::platform::listModules(modules.data(), 512);
  for (int i = 0; i < n && i < 512; ++i)
    if (a >= modules[i].base && a - modules[i].base < modules[i].size)
      return modules[i].base;
  return 0;
#endif
}

TEST(CodeImage, TheClientLibrarysCodeIsWhatItsFileSays) {
  qx::platform::Library lib =
      qx::platform::libraryOpen(hostPath(QX_LIBRARY_PATH).c_str());
  ASSERT_NE(lib, nullptr);
  void *entry = qx::platform::librarySymbol(lib, "ca");
  ASSERT_NE(entry, nullptr);
  const uintptr_t base = baseOf(entry);
  ASSERT_NE(base, 0u);

  CodeImage image;
  ASSERT_EQ(peer::loadCodeImageFile(hostPath(QX_LIBRARY_PATH), image), "");
  std::mt19937 random(7);
  const std::vector<peer::CodeRange> ranges =
      peer::pickCodeRanges(image, 64, 256, random);
  ASSERT_EQ(ranges.size(), 64u);
  Bytes expected;
  ASSERT_TRUE(peer::codeBytes(image, base, ranges, expected));
  Bytes memory;
  for (const peer::CodeRange &r : ranges) {
    const uint8_t *at = reinterpret_cast<const uint8_t *>(base + r.offset);
    memory.insert(memory.end(), at, at + r.length);
  }
  EXPECT_EQ(memory, expected);
  qx::platform::libraryClose(lib);
}

// A small PE32 image: headers, one code section at 0x1000 holding an
// absolute address (0x00401010) with its base relocation, an import address
// table inside the code section, and the relocation block at 0x2000.
Bytes smallPe() {
  Bytes f(0x600, 0);
  auto put32 = [&f](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  auto put16 = [&f](size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  f[0] = 'M', f[1] = 'Z';
  put32(0x3C, 0x80);
  put32(0x80, 0x00004550);
  put16(0x86, 2);     // sections
  put16(0x94, 0xE0);  // optional header size
  const size_t opt = 0x98;
  put16(opt, 0x10B);
  put32(opt + 28, 0x400000);  // image base
  put32(opt + 56, 0x3000);    // image size
  put32(opt + 60, 0x200);     // headers
  put32(opt + 92, 16);
  put32(opt + 96 + 8 * 5, 0x2000);  // base relocations
  put32(opt + 96 + 8 * 5 + 4, 12);
  put32(opt + 96 + 8 * 12, 0x1100);  // import address table
  put32(opt + 96 + 8 * 12 + 4, 8);
  const size_t sections = opt + 0xE0;
  put32(sections + 8, 0x200), put32(sections + 12, 0x1000);
  put32(sections + 16, 0x200), put32(sections + 20, 0x200);
  put32(sections + 36, 0x60000020);  // code, executable, readable
  put32(sections + 40 + 8, 0x10), put32(sections + 40 + 12, 0x2000);
  put32(sections + 40 + 16, 0x200), put32(sections + 40 + 20, 0x400);
  put32(sections + 40 + 36, 0x42000040);
  for (size_t i = 0x200; i < 0x400; ++i) f[i] = 0x90;
  f[0x200 + 0x0F] = 0xB8;  // mov eax, 0x00401010
  put32(0x200 + 0x10, 0x00401010);
  put32(0x400, 0x1000);  // the block of page 0x1000
  put32(0x404, 12);
  put16(0x408, 0x3010);  // HIGHLOW at 0x1010
  put16(0x40A, 0);
  return f;
}

TEST(CodeImage, BaseRelocationsMoveWithTheBaseAndImportSlotsAreNeverAsked) {
  CodeImage image;
  ASSERT_EQ(peer::loadCodeImage(smallPe(), image), "");
  Bytes at;
  ASSERT_TRUE(peer::codeBytes(image, 0x400000, {{0x100E, 8}}, at));
  EXPECT_EQ(at, Bytes({0x90, 0xB8, 0x10, 0x10, 0x40, 0x00, 0x90, 0x90}));
  ASSERT_TRUE(
      peer::codeBytes(image, 0x10000000, {{0x100E, 8}, {0x1012, 2}}, at));
  EXPECT_EQ(
      at, Bytes({0x90, 0xB8, 0x10, 0x10, 0x00, 0x10, 0x90, 0x90, 0x00, 0x10}));
  EXPECT_FALSE(peer::codeBytes(image, 0x400000, {{0x2FFF, 2}}, at));

  std::mt19937 random(1);
  for (const peer::CodeRange &r : peer::pickCodeRanges(image, 64, 16, random)) {
    EXPECT_GE(r.offset, 0x1000u);
    EXPECT_LE(r.offset + r.length, 0x1200u);
    EXPECT_TRUE(r.offset + r.length <= 0x1100 || r.offset >= 0x1108)
        << r.offset;
  }
  EXPECT_TRUE(peer::pickCodeRanges(image, 4, 0x200, random).empty());

  // All the code, around the import slots, in as many ranges as it takes.
  const std::vector<peer::CodeRange> all = peer::coverCode(image, 64, 1 << 20);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].offset, 0x1000u);
  EXPECT_EQ(all[0].length, 0x100u);
  EXPECT_EQ(all[1].offset, 0x1108u);
  EXPECT_EQ(all[1].length, 0xF8u);
  EXPECT_TRUE(peer::coverCode(image, 1, 1 << 20).empty());
  EXPECT_TRUE(peer::coverCode(image, 64, 0x1F7).empty());
}

TEST(CodeImage, ADamagedFileIsRefusedWithItsFault) {
  const Bytes pe = smallPe();
  Bytes noSignature = pe, hugeImage = pe, outside = pe, badRelocs = pe;
  noSignature[0x80] = 'X';
  hugeImage[0x98 + 59] = 0x80;           // 2 GiB
  outside[0x98 + 0xE0 + 12 + 1] = 0x30;  // the section at 0x3000
  badRelocs[0x404] = 4;                  // a block shorter than its head
  const struct {
    const char *what;
    Bytes file;
    const char *fault;
  } cases[] = {
      {"empty", {}, "neither"},
      {"text", {'h', 'e', 'l', 'l', 'o'}, "neither"},
      {"PE without signature", noSignature, "no PE signature"},
      {"PE cut in its headers", Bytes(pe.begin(), pe.begin() + 0x100),
       "cut short"},
      {"PE image of 2 GiB", hugeImage, "out of range"},
      {"PE section outside", outside, "outside the image"},
      {"PE relocations", badRelocs, "relocations"},
      {"ELF of another byte order",
       {0x7F, 'E', 'L', 'F', 2, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       "little-endian"},
      {"ELF cut short",
       {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 62, 0},
       "cut short"},
  };
  for (const auto &c : cases) {
    CodeImage image;
    const std::string error = peer::loadCodeImage(c.file, image);
    EXPECT_NE(error.find(c.fault), std::string::npos)
        << c.what << ": " << error;
    EXPECT_TRUE(image.image.empty()) << c.what;
  }
  // Every cut of the good file loads or is refused; none is read past.
  for (size_t n = 0; n < pe.size(); n += 7) {
    CodeImage image;
    peer::loadCodeImage(Bytes(pe.begin(), pe.begin() + static_cast<long>(n)),
                        image);
  }
}

}  // namespace
