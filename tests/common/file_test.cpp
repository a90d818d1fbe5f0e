// The file object: path rules, line reading of untrusted text, digests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/file.h"
#include "common/md5.h"
#include "fake_host.h"

using qx::File;
using qx::platform::OpenMode;

namespace {

std::string writeTemp(const std::string &content) {
  const std::string path = qxtest::makeTempDir() + "\\data.txt";
  File f(path.c_str(), OpenMode::Write);
  EXPECT_TRUE(f.write(content.data(), content.size()));
  return path;
}

std::vector<std::string> lines(const std::string &path, size_t max,
                               bool keepEnd = false) {
  File f(path.c_str(), OpenMode::Read);
  std::vector<std::string> out;
  std::vector<char> line(max + 1);
  while (f.readLine(line.data(), max, keepEnd)) out.push_back(line.data());
  return out;
}

// A path that does not fit is refused whole, never cut to another name.
TEST(File, LongPathIsRefusedAndSlashesBecomeBackslashes) {
  const std::string fits(255, 'a');
  File f((fits + "b").c_str(), OpenMode::Read);
  EXPECT_STREQ(f.path(), "");
  EXPECT_FALSE(f.open());
  f.setPath(fits.c_str(), OpenMode::Read);
  EXPECT_EQ(std::string(f.path()), fits);
  f.setPath("dir/sub/name.cfg", OpenMode::Read);
  EXPECT_STREQ(f.path(), "dir\\sub\\name.cfg");
}

TEST(File, ReadsLinesWithAndWithoutTheirEnds) {
  const std::string path = writeTemp("one\r\ntwo\n\nthree");
  EXPECT_EQ(lines(path, 100),
            (std::vector<std::string>{"one", "two", "", "three"}));
  EXPECT_EQ(lines(path, 100, true),
            (std::vector<std::string>{"one\r\n", "two\n", "\n", "three"}));
}

TEST(File, LongLinesComeInBoundedPieces) {
  const std::string path = writeTemp(std::string(25, 'x') + "\nend\n");
  const auto got = lines(path, 10);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], std::string(10, 'x'));
  EXPECT_EQ(got[2], std::string(5, 'x'));
  EXPECT_EQ(got[3], "end");
}

TEST(File, LineOfExactlyTheBufferSizeKeepsItsEnd) {
  const std::string path = writeTemp("0123456789\r\nnext\n");
  EXPECT_EQ(lines(path, 10), (std::vector<std::string>{"0123456789", "next"}));
}

TEST(File, BinaryAndCrOnlyTextIsReadSafely) {
  std::string garbage("a\0b\rc\rd", 7);
  for (int i = 0; i < 300; ++i) garbage += static_cast<char>(i * 31);
  const std::string path = writeTemp(garbage);
  size_t total = 0;
  for (const std::string &l : lines(path, 64)) total += l.size();
  EXPECT_GT(total, 0u);
}

TEST(File, MissingFileAndDirectoryDoNotOpen) {
  File missing((qxtest::makeTempDir() + "\\none").c_str(), OpenMode::Read);
  char line[16];
  EXPECT_FALSE(missing.readLine(line, 15));
  EXPECT_EQ(missing.size(), -1);
  File dir(qxtest::makeTempDir().c_str(), OpenMode::Read);
  EXPECT_FALSE(dir.open());
}

// A path that turns out to name a device opens nothing, in any mode: a
// write would vanish and a read could wait for data without end.
TEST(File, DevicesDoNotOpen) {
#if defined(_WIN32)
  const std::string dir = qxtest::makeTempDir();
  const std::string devices[] = {"NUL",         "nul",     "\\\\.\\NUL",
                                 dir + "\\NUL", "CONOUT$", "CONIN$"};
#else
  const std::string devices[] = {"/dev/null", "/dev/zero"};
#endif
  for (const std::string &device : devices)
    for (OpenMode mode : {OpenMode::Read, OpenMode::Write, OpenMode::Append,
                          OpenMode::ReadWrite}) {
      File f(device.c_str(), mode);
      EXPECT_FALSE(f.open()) << device << " mode " << static_cast<int>(mode);
    }
  // A file on the disk opens in every mode.
  const std::string file = writeTemp("x");
  for (OpenMode mode : {OpenMode::Read, OpenMode::Write, OpenMode::Append,
                        OpenMode::ReadWrite}) {
    File f(file.c_str(), mode);
    EXPECT_TRUE(f.open()) << static_cast<int>(mode);
  }
}

TEST(File, DigestCoversTheWholeFileAndSeekRestarts) {
  std::string content(5000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 13);
  const std::string path = writeTemp(content);
  File f(path.c_str(), OpenMode::Read);
  char first[8];
  ASSERT_EQ(f.read(first, 8), 8u);
  uint8_t got[16], expected[16];
  ASSERT_TRUE(f.digest(3, got));
  qx::md5(content.data(), content.size(), 3, expected);
  EXPECT_EQ(std::memcmp(got, expected, 16), 0);
  EXPECT_EQ(f.size(), 5000);
  ASSERT_TRUE(f.seek(4998));
  EXPECT_EQ(f.read(first, 8), 2u);
}

}  // namespace
