// Paths of the client's files: names a remote side chooses, paths that do
// not fit, and files replaced whole or not at all.
#include <gtest/gtest.h>

#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "common/paths.h"
#include "common/pending_replace.h"
#include "common/text.h"
#include "fake_host.h"
#include "host/client_state.h"

namespace {

// Names as Windows reads them: what it would take for another file, a
// device or a short alias is refused on every platform.
const char *const kWindowsHostileParts[] = {
    "qxag.dll.",    "qxag.dll ",  "qxcl.cfg. .", "regname.dat...",
    "qxcl.db ",     "com1.htm",   "NUL.htm",     "lpt1.htm",
    "con",          "Prn",        "aux.txt.gz",  "nul",
    "COM0",         "lpt9.x",     "conin$",      "CONOUT$.log",
    "com1 .htm",    "COM1..htm",  "com\xb9.htm", "LPT\xb2",
    "REGIST~1.DAT", "qxag~1.dll", "a~9",         "tab\tname",
    "new\nline",    "bell\x07",   "del\x7f",     "a<b",
    "a>b",          "a|b",        "a?b",         "a*b",
    "quo\"te"};

TEST(Paths, PlainFileNamesOnly) {
  for (const char *good :
       {"a", "qxsec.htm", "wa000123.htm", "x..y", ".cfg", "con1.htm",
        "comx.htm", "lpt10", "console.cfg", "nul_x.htm", "auxiliary",
        "my name.htm", "a~b", "com.htm", "\xe9t\xe9.htm", "x.COM1"})
    EXPECT_TRUE(qx::isPlainFileName(good)) << good;
  for (const char *bad : {"", ".", "..", "..\\x", "a\\b", "a/b", "C:x", "\\abs",
                          "/abs", "name:stream", "qxag.dll::$DATA"})
    EXPECT_FALSE(qx::isPlainFileName(bad)) << bad;
  for (const char *bad : kWindowsHostileParts)
    EXPECT_FALSE(qx::isPlainFileName(bad)) << bad;
}

TEST(Paths, RelativeNamesStayInHome) {
  for (const char *good :
       {"qxcl.cfg", "sub\\x.cfg", "a/b/c", "x..y\\z", "my dir\\a b.cfg"})
    EXPECT_TRUE(qx::staysInHome(good)) << good;
  for (const char *bad :
       {"", "..", "..\\outside.cfg", "a\\..\\..\\b", "a/../b", "\\abs", "/abs",
        "C:\\x", "c:x", "a\\\\b", "sub\\", ".\\x.cfg", "sub.\\x.cfg",
        "com1\\x.cfg", "sub\\nul", "htm\\com1.htm", "dir \\x"})
    EXPECT_FALSE(qx::staysInHome(bad)) << bad;
  for (const char *part : kWindowsHostileParts) {
    EXPECT_FALSE(qx::staysInHome(part)) << part;
    EXPECT_FALSE(qx::staysInHome((std::string("sub\\") + part).c_str()))
        << part;
  }
}

TEST(Paths, NamesCompareAsWindowsReadsThem) {
  const struct {
    const char *a, *b;
    bool same;
  } cases[] = {
      {"qxag.dll", "QXAG.DLL", true},    {"qxag.dll", "qxag.dll.", true},
      {"qxag.dll", "qxag.dll . ", true}, {"htm\\x.htm", "HTM/x.htm", true},
      {"sub.\\x", "sub\\x", true},       {"qxag.dll", "qxag.dl", false},
      {"qxag.dll", "xqxag.dll", false},  {"a b", "ab", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(qx::sameFileName(c.a, c.b), c.same) << c.a << " | " << c.b;
  for (const char *name : {"qxupd.html", "qxupd.htm", "QXUPD.HTM", "QxUpd.Html",
                           "qxupd.htm.", "qxupd.html "})
    EXPECT_TRUE(qx::isLocalUpdateName(name)) << name;
  for (const char *name : {"qxupd.ht", "qxupd.htmx", "xqxupd.htm", "qxsec.htm"})
    EXPECT_FALSE(qx::isLocalUpdateName(name)) << name;
}

// A path fits when it and its temporary name (".qxtmp" more) do: a home
// path that could be read but never replaced would be refused only once
// its content had arrived.
TEST(Paths, HomePathThatDoesNotFitIsRefused) {
  qx::resetClientState();
  char *home = qx::client().host.homeDir;
  const std::string dir(244, 'h');
  qx::copyText(home, (dir + "\\").c_str(), qx::host::kHomeDirSize - 1);
  char path[qx::kPathCapacity];
  ASSERT_TRUE(qx::homeFilePath(path, "abcd"));  // 245 + 4 + 6 = 255
  EXPECT_EQ(std::string(path), dir + "\\abcd");
  EXPECT_FALSE(qx::homeFilePath(path, "abcde"));
  EXPECT_STREQ(path, "");
}

TEST(Paths, ReplaceFileWritesWholeOrLeavesTheOldFile) {
  const std::string dir = qxtest::makeTempDir();
  const std::string path = dir + "\\names.dat";
  ASSERT_TRUE(qx::replaceFile(path.c_str(), "old", 3));
  ASSERT_TRUE(qx::replaceFile(path.c_str(), "newer", 5));
  EXPECT_EQ(qxtest::readFile(path), "newer");
  EXPECT_EQ(qxtest::readFile(path + ".qxtmp"), "");  // no leftover

  // A target that cannot be written to (a folder of that name) keeps it.
  const std::string missing = dir + "\\no-such-folder\\x.dat";
  EXPECT_FALSE(qx::replaceFile(missing.c_str(), "data", 4));
  EXPECT_EQ(qxtest::readFile(path), "newer");
}

// ---- replaces that wait for a busy file ------------------------------------

namespace platform = qx::platform;

// The system's rename behind a stand-in that plays a file another program
// holds open for the first busyLeft attempts (POSIX renames never are).
int g_busyLeft = 0;
constexpr int kSharingViolation = 32;
platform::FileReplace busyThenRename(const char *from, const char *to,
                                     int *error) {
  if (g_busyLeft > 0) {
    --g_busyLeft;
    *error = kSharingViolation;
    return platform::FileReplace::Busy;
  }
  return platform::fileReplace(from, to, error);
}

class PendingReplaceTest : public testing::Test {
 protected:
  void SetUp() override {
    host.start();
    path = std::string(qx::client().host.homeDir) + "names.dat";
    ASSERT_TRUE(qx::replaceFile(path.c_str(), "old", 3));
    qx::client().pendingReplaces.replace = busyThenRename;
    host.clearOutput();
  }
  qxtest::FakeHost host;
  std::string path;
};

// The new content waits beside the file and takes its place in the first
// work frame after the other program let go.
TEST_F(PendingReplaceTest, ABusyFileIsReplacedInALaterWorkFrame) {
  g_busyLeft = 3;  // the first attempt and two retries
  EXPECT_EQ(qx::replaceFileChecked(path.c_str(), "newer", 5),
            qx::ReplaceResult::kPending);
  EXPECT_EQ(qxtest::readFile(path), "old");
  EXPECT_EQ(qxtest::readFile(path + ".qxtmp"), "newer");
  host.pump(4);  // two work frames, both still busy
  EXPECT_EQ(qxtest::readFile(path), "old");
  host.pump(2);
  EXPECT_EQ(qxtest::readFile(path), "newer");
  EXPECT_FALSE(platform::fileExists((path + ".qxtmp").c_str()));
  EXPECT_FALSE(host.printedPart("cannot replace"));
}

// After its last attempt the replace is dropped with a message naming the
// file and the system's error; the old content stays.
TEST_F(PendingReplaceTest, GivesUpAfterItsAttempts) {
  g_busyLeft = 1 + qx::kReplaceRetryAttempts;
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "newer", 5));
  host.pump(2 * (qx::kReplaceRetryAttempts - 1));
  EXPECT_TRUE(platform::fileExists((path + ".qxtmp").c_str()));
  host.pump(2);
  EXPECT_FALSE(platform::fileExists((path + ".qxtmp").c_str()));
  EXPECT_EQ(qxtest::readFile(path), "old");
  EXPECT_TRUE(
      host.printed("Error: cannot replace " + path + " (system error 32)"));
}

// A second write while the first still waits takes its place: the newest
// content lands, once.
TEST_F(PendingReplaceTest, ANewerWriteTakesOverTheWaitingOne) {
  g_busyLeft = 2;
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "first", 5));
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "second", 6));
  host.pump(2);
  EXPECT_EQ(qxtest::readFile(path), "second");
  for (const qx::PendingReplace &p : qx::client().pendingReplaces.slots)
    EXPECT_STREQ(p.temporary, "");
}

// Unloading makes one last attempt; what still fails leaves no temporary
// file behind.
TEST_F(PendingReplaceTest, UnloadFinishesOrRemovesWaitingFiles) {
  g_busyLeft = 1;
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "landed", 6));
  qx::unloadClientState();
  qx::loadClientState();
  EXPECT_EQ(qxtest::readFile(path), "landed");
  qx::client().pendingReplaces.replace = busyThenRename;
  g_busyLeft = 2;
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "dropped", 7));
  qx::unloadClientState();
  qx::loadClientState();
  EXPECT_EQ(qxtest::readFile(path), "landed");
  EXPECT_FALSE(platform::fileExists((path + ".qxtmp").c_str()));
}

#if defined(_WIN32)
// A program that holds the file open without delete sharing, as a virus
// scanner does with a file just written: the rename waits until it lets go.
TEST_F(PendingReplaceTest, WaitsForAProgramThatHoldsTheFileOpen) {
  qx::client().pendingReplaces.replace = nullptr;  // the system's own
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(qx::replaceFile(path.c_str(), "newer", 5));
  host.pump(2);
  EXPECT_EQ(qxtest::readFile(path), "old");
  EXPECT_EQ(qxtest::readFile(path + ".qxtmp"), "newer");
  CloseHandle(held);
  host.pump(2);
  EXPECT_EQ(qxtest::readFile(path), "newer");
  EXPECT_FALSE(platform::fileExists((path + ".qxtmp").c_str()));
}

// The client's own file with a read-only mark is replaced at once.
TEST_F(PendingReplaceTest, ReplacesItsOwnReadOnlyFile) {
  qx::client().pendingReplaces.replace = nullptr;
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(qx::replaceFileChecked(path.c_str(), "newer", 5),
            qx::ReplaceResult::kReplaced);
  EXPECT_EQ(qxtest::readFile(path), "newer");
}
#endif

}  // namespace
