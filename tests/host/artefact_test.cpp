// The shipped library itself, loaded by path as a game loads it: it starts,
// and unloading and loading it again gives a fresh client.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fake_host.h"
#include "platform/platform.h"

using qxtest::FakeHost;

namespace {

std::string libraryPath() {
  std::string path = QX_LIBRARY_PATH;
#if defined(_WIN32)
  for (char &c : path)
    if (c == '/') c = '\\';
  path = "Z:" + path;  // Wine's drive for the Unix file system
#endif
  return path;
}

class LoadedLibrary {
 public:
  LoadedLibrary() : lib_(qx::platform::libraryOpen(libraryPath().c_str())) {}
  ~LoadedLibrary() { qx::platform::libraryClose(lib_); }
  bool ok() const { return entry().ca && entry().cb; }
  qxtest::Entry entry() const {
    return {reinterpret_cast<QxFrameEntryFn>(
                qx::platform::librarySymbol(lib_, "ca")),
            reinterpret_cast<QxEventEntryFn>(
                qx::platform::librarySymbol(lib_, "cb"))};
  }

 private:
  qx::platform::Library lib_;
};

TEST(Artefact, StartsInsideAHost) {
  LoadedLibrary lib;
  ASSERT_TRUE(lib.ok()) << libraryPath();
  FakeHost host("1", lib.entry());
  EXPECT_EQ(host.call(QX_CB_VERSION), 1199);
  EXPECT_EQ(host.frame(), nullptr);
  EXPECT_TRUE(host.printed("Quellor Client (v1.199 | A0) Enabled"));
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), 0);
}

TEST(Artefact, ReloadGivesAFreshClient) {
  {
    LoadedLibrary lib;
    ASSERT_TRUE(lib.ok());
    FakeHost host("1", lib.entry());
    host.frame();
    // Leave work for the unload path: queued events with data.
    for (int i = 0; i < 5; ++i) host.call(QX_EV_SERVER_PACKET, 4, "QX_E");
    host.call(QX_CB_DISABLE);
    EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), 0);  // still running
  }
  LoadedLibrary lib;
  ASSERT_TRUE(lib.ok());
  FakeHost host("0", lib.entry());
  host.frame();
  // A fresh state: not started, not enabled, nothing printed yet.
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), -2);
  EXPECT_TRUE(host.texts.empty());
  host.cvars["cl_quellor"] = "1";
  host.frame(-1);
  host.frame();
  EXPECT_TRUE(host.printed("Quellor Client (v1.199 | A0) Enabled"));
}

}  // namespace

namespace {

#if defined(_WIN32)

// Reads the export names, imported DLL names and version of a PE image.
struct PeImage {
  std::vector<uint8_t> bytes;
  std::vector<std::string> exports, imports;
  uint32_t fileVersionMs = 0;

  uint32_t u32(size_t at) const {
    return at + 4 <= bytes.size()
               ? uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 |
                     uint32_t(bytes[at + 2]) << 16 |
                     uint32_t(bytes[at + 3]) << 24
               : 0;
  }
  uint16_t u16(size_t at) const {
    return at + 2 <= bytes.size() ? uint16_t(bytes[at] | bytes[at + 1] << 8)
                                  : 0;
  }
  std::string text(size_t at) const {
    std::string s;
    while (at < bytes.size() && bytes[at]) s += char(bytes[at++]);
    return s;
  }

  bool parse() {
    const uint32_t pe = u32(0x3C);
    if (u32(pe) != 0x4550) return false;  // "PE\0\0"
    const uint16_t sections = u16(pe + 6);
    const uint16_t optionalSize = u16(pe + 20);
    const size_t optional = pe + 24;
    const size_t sectionTable = optional + optionalSize;
    auto fileOffset = [&](uint32_t rva) -> size_t {
      for (uint16_t i = 0; i < sections; ++i) {
        const size_t s = sectionTable + 40u * i;
        const uint32_t va = u32(s + 12), size = u32(s + 16), raw = u32(s + 20);
        if (rva >= va && rva < va + size) return raw + (rva - va);
      }
      return 0;
    };
    const size_t dirs = optional + 96;  // PE32 data directories
    const size_t exportDir = fileOffset(u32(dirs));
    const uint32_t names = u32(exportDir + 24);
    const size_t nameTable = fileOffset(u32(exportDir + 32));
    for (uint32_t i = 0; i < names; ++i)
      exports.push_back(text(fileOffset(u32(nameTable + 4 * i))));
    for (size_t d = fileOffset(u32(dirs + 8)); u32(d + 12); d += 20)
      imports.push_back(text(fileOffset(u32(d + 12))));
    for (size_t i = 0; i + 12 <= bytes.size(); ++i)
      if (u32(i) == 0xFEEF04BD) {  // fixed file information
        fileVersionMs = u32(i + 8);
        break;
      }
    return true;
  }
};

TEST(Artefact, DllExportsCaCbAndImportsOnlySystemLibraries) {
  PeImage image;
  const std::string content = qxtest::readFile(libraryPath());
  image.bytes.assign(content.begin(), content.end());
  ASSERT_TRUE(image.parse());
  EXPECT_EQ(image.exports, (std::vector<std::string>{"ca", "cb"}));
  const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll",
                                        "WS2_32.dll",   "USER32.dll",
                                        "GDI32.dll",    "ADVAPI32.dll"};
  ASSERT_FALSE(image.imports.empty());
  for (const std::string &dll : image.imports)
    EXPECT_TRUE(system.count(dll)) << dll;
  EXPECT_EQ(image.fileVersionMs, (1u << 16) | 199u);
}

#else

TEST(Artefact, SharedLibraryExportsOnlyCaAndCb) {
  LoadedLibrary lib;
  ASSERT_TRUE(lib.ok());
  // Internal functions stay hidden, e.g. the client-state accessor.
  qx::platform::Library raw = qx::platform::libraryOpen(libraryPath().c_str());
  EXPECT_EQ(qx::platform::librarySymbol(raw, "_ZN2qx6clientEv"), nullptr);
  EXPECT_EQ(qx::platform::librarySymbol(
                raw, "_ZN2qx4host8runFrameEP15QxGameInterfacei"),
            nullptr);
  qx::platform::libraryClose(raw);
}

#endif

}  // namespace
