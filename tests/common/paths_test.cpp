// Paths of the client's files: names a remote side chooses, paths that do
// not fit, and files replaced whole or not at all.
#include <gtest/gtest.h>

#include <string>

#include "common/paths.h"
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

}  // namespace
