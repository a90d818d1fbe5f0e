// Paths of the client's files: names a remote side chooses, paths that do
// not fit, and files replaced whole or not at all.
#include <gtest/gtest.h>

#include <string>

#include "common/paths.h"
#include "common/text.h"
#include "fake_host.h"
#include "host/client_state.h"

namespace {

TEST(Paths, PlainFileNamesOnly) {
  for (const char *good : {"a", "qxsec.htm", "wa000123.htm", "x..y", ".cfg"})
    EXPECT_TRUE(qx::isPlainFileName(good)) << good;
  for (const char *bad : {"", ".", "..", "..\\x", "a\\b", "a/b", "C:x", "\\abs",
                          "/abs", "name:stream"})
    EXPECT_FALSE(qx::isPlainFileName(bad)) << bad;
}

TEST(Paths, RelativeNamesStayInHome) {
  for (const char *good : {"qxcl.cfg", "sub\\x.cfg", "a/b/c", "x..y\\z"})
    EXPECT_TRUE(qx::staysInHome(good)) << good;
  for (const char *bad : {"..", "..\\outside.cfg", "a\\..\\..\\b", "a/../b",
                          "\\abs", "/abs", "C:\\x", "c:x"})
    EXPECT_FALSE(qx::staysInHome(bad)) << bad;
}

TEST(Paths, HomePathThatDoesNotFitIsRefused) {
  qx::resetClientState();
  char *home = qx::client().host.homeDir;
  const std::string dir(250, 'h');
  qx::copyText(home, (dir + "\\").c_str(), qx::host::kHomeDirSize - 1);
  char path[qx::kPathCapacity];
  ASSERT_TRUE(qx::homeFilePath(path, "abcd"));  // 251 + 4 = 255
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
