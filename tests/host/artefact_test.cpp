// The shipped library itself, loaded by path as a game loads it: it starts,
// and unloading and loading it again gives a fresh client.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "fake_host.h"
#include "pe_image.h"
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

// The same checks as the native reading of the file (tests/dll), here on the
// file the running Windows build loads.
TEST(Artefact, DllExportsCaCbAndImportsOnlySystemLibraries) {
  qxtest::PeImage image;
  const std::string content = qxtest::readFile(libraryPath());
  image.bytes.assign(content.begin(), content.end());
  ASSERT_TRUE(image.parse());
  EXPECT_EQ(image.exports, (std::vector<std::string>{"ca", "cb"}));
  EXPECT_EQ(image.machine, qxtest::PeImage::kMachineI386);
  const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll",
                                        "WS2_32.dll",   "USER32.dll",
                                        "GDI32.dll",    "ADVAPI32.dll"};
  ASSERT_FALSE(image.imports.empty());
  for (const std::string &dll : image.imports)
    EXPECT_TRUE(system.count(dll)) << dll;
  EXPECT_EQ(image.fileVersionMs, (1u << 16) | 199u);
  // No load configuration (SafeSEH table) and no "no handlers" flag: the
  // loader calls the fault guard's handler.
  EXPECT_EQ(image.loadConfigSize, 0u);
  EXPECT_EQ(image.dllCharacteristics & qxtest::PeImage::kNoSehFlag, 0);
}

// A fault inside a frame of the loaded library is contained by its guard:
// its handler is one the loader agrees to call.
TEST(Artefact, DllContainsAFaultOfAHostCallback) {
  LoadedLibrary lib;
  ASSERT_TRUE(lib.ok());
  FakeHost host("1", lib.entry());
  host.frame();
  host.faultOnQuery = QX_Q_BIND_FIND;
  host.console("qx_BindSrch x");
  host.clearOutput();
  host.frame();
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
}

// Runs the exit helper with the library and a home directory; its exit
// code, or -1 when it could not be run.
int runExitHelper(const std::string &home, const char *how) {
  std::string command = std::string("Z:") + QX_EXIT_HELPER + " \"" +
                        libraryPath() + "\" \"" + home + "\" " + how;
  for (size_t i = 0; i < command.find(' '); ++i)
    if (command[i] == '/') command[i] = '\\';
  STARTUPINFOA start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &start, &process))
    return -1;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(code);
}

// The process ends while a save waits for a file another program holds:
// the unload then runs inside the end of the process and leaves the files
// as they are. Unloaded with FreeLibrary instead, it makes its last attempt
// and the save lands.
TEST(Artefact, ProcessEndLeavesFilesFreeLibraryFinishesThem) {
  const std::string ending = qxtest::makeTempDir();
  ASSERT_EQ(runExitHelper(ending, "exit"), 0);
  EXPECT_EQ(qxtest::readFile(ending + "\\regname.dat"), "");
  EXPECT_NE(qxtest::readFile(ending + "\\regname.dat.qxtmp"), "");

  const std::string unloaded = qxtest::makeTempDir();
  ASSERT_EQ(runExitHelper(unloaded, "free"), 0);
  EXPECT_NE(qxtest::readFile(unloaded + "\\regname.dat").find("Player"),
            std::string::npos);
  EXPECT_FALSE(
      qx::platform::fileExists((unloaded + "\\regname.dat.qxtmp").c_str()));
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
