// qxcl.dll as a game would receive it, read as a file: a 32-bit x86 DLL
// that exports exactly ca and cb under their plain names, imports nothing
// but system DLLs and carries the version 1.199; and the reference host and
// the test programs of the win32 build are 32-bit x86 programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "fake_host.h"
#include "pe_image.h"

using qxtest::PeImage;

namespace {

std::string win32BuildDir() {
  const char *dir = std::getenv("QX_WIN32_BUILD_DIR");
  return dir && *dir ? dir : QX_WIN32_BUILD_DIR;
}

// Reads and parses a product of the win32 build.
bool load(const std::string &relative, PeImage &image) {
  const std::string path = win32BuildDir() + "/" + relative;
  const std::string content = qxtest::readFile(path);
  EXPECT_FALSE(content.empty()) << "missing " << path;
  image.bytes.assign(content.begin(), content.end());
  EXPECT_TRUE(image.parse()) << path << " is not a PE image";
  return !::testing::Test::HasFailure();
}

// Without a win32 build the tests are skipped, unless the caller demands
// the build (./qx test does, so a failed win32 build fails there).
class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string dll = win32BuildDir() + "/qxcl.dll";
    if (!qxtest::readFile(dll).empty()) return;
    if (std::getenv("QX_REQUIRE_WIN32_DLL"))
      FAIL() << "missing " << dll << ": the win32 build failed";
    GTEST_SKIP() << dll << " is not built (build the win32 preset)";
  }
};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

TEST_F(Win32Files, DllIsA32BitX86Dll) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  EXPECT_EQ(image.machine, PeImage::kMachineI386);
  EXPECT_EQ(image.optionalMagic, PeImage::kPe32Magic);
  EXPECT_TRUE(image.isDll());
}

TEST_F(Win32Files, DllExportsExactlyCaAndCbUndecorated) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  // Exact names: no "_ca", no "ca@8" from another calling convention.
  EXPECT_EQ(image.exports, (std::vector<std::string>{"ca", "cb"}));
  EXPECT_EQ(lower(image.exportName), "qxcl.dll");
}

TEST_F(Win32Files, DllImportsOnlySystemLibraries) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  // DirectDraw is loaded at the first capture, never imported: a machine
  // without it still loads the client.
  const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll",
                                        "ws2_32.dll",   "user32.dll",
                                        "gdi32.dll",    "advapi32.dll"};
  ASSERT_FALSE(image.imports.empty());
  for (const std::string &dll : image.imports)
    EXPECT_TRUE(system.count(lower(dll))) << dll;
}

// The fault guard registers a handler that lies in the DLL. A load
// configuration with a table of safe handlers that leaves it out (SafeSEH),
// or the flag that says the image has no handlers, makes the loader refuse
// to call it, and every fault of a frame would end the game.
TEST_F(Win32Files, DllLetsTheLoaderCallItsFaultHandler) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  EXPECT_EQ(image.loadConfigSize, 0u);
  EXPECT_EQ(image.dllCharacteristics & PeImage::kNoSehFlag, 0);
}

TEST_F(Win32Files, DllCarriesVersion1199) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  EXPECT_EQ(image.fileVersionMs, (1u << 16) | 199u);
  EXPECT_EQ(image.fileVersionLs, 0u);
  EXPECT_EQ(image.productVersionMs, (1u << 16) | 199u);
  const std::u16string &block = image.versionResource;
  for (const char *name : {"FileVersion", "ProductVersion"}) {
    const size_t at = block.find(qxtest::utf16(name));
    ASSERT_NE(at, std::u16string::npos) << name;
    // The value follows the key's terminator, aligned to 4 bytes.
    EXPECT_NE(block.find(qxtest::utf16("1.199"), at), std::u16string::npos)
        << name;
  }
}

TEST_F(Win32Files, HostAndSuitesAre32BitX86Programs) {
  std::vector<std::string> programs = {"tools/qxhost/qxhost.exe"};
  const std::filesystem::path tests = win32BuildDir() + "/tests";
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(tests, error), end;
       !error && it != end; it.increment(error))
    if (it->path().extension() == ".exe")
      programs.push_back(
          std::filesystem::relative(it->path(), win32BuildDir()).string());
  EXPECT_GT(programs.size(), 1u) << "no test programs under " << tests;
  for (const std::string &program : programs) {
    SCOPED_TRACE(program);
    PeImage image;
    if (!load(program, image)) return;
    EXPECT_EQ(image.machine, PeImage::kMachineI386);
    EXPECT_FALSE(image.isDll());
  }
}

TEST_F(Win32Files, DamagedImagesAreRefusedWithoutReadingPastTheEnd) {
  PeImage image;
  if (!load("qxcl.dll", image)) return;
  const std::vector<uint8_t> whole = image.bytes;
  for (size_t keep : {size_t{0}, size_t{2}, size_t{0x40}, size_t{0x100},
                      whole.size() / 2, whole.size() - 1}) {
    PeImage cut;
    cut.bytes.assign(whole.begin(), whole.begin() + keep);
    cut.parse();  // any result, but within the bytes (asan checks)
  }
  PeImage notPe;
  notPe.bytes.assign(200, 'x');
  EXPECT_FALSE(notPe.parse());
}

}  // namespace
