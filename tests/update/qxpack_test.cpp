// The packager as a server operator runs it: pack, verify and unpack, and
// what it says when something is wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "update_fixture.h"

namespace {

struct ToolRun {
  int status;
  std::string output;  // standard output and error together
};

ToolRun qxpack(const std::string &args) {
  const std::string command = std::string(QX_PACK_PATH) + " " + args + " 2>&1";
  ToolRun r{-1, ""};
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[512];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    r.output.append(buffer, got);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class Qxpack : public testing::Test {
 protected:
  void SetUp() override {
    const updatetest::Bytes m = updatetest::sampleModule(50000, 4);
    updatetest::writeText(module, std::string(m.begin(), m.end()));
  }
  const std::string dir = qxtest::makeTempDir();
  const std::string module = dir + "/agent.dll";
  const std::string package = dir + "/wa001200.htm";
};

TEST_F(Qxpack, PacksVerifiesAndUnpacks) {
  ToolRun r = qxpack("pack " + module + " " + package);
  ASSERT_EQ(r.status, 0) << r.output;
  // The master-list record: kind, platform, version, size in hexadecimal.
  EXPECT_TRUE(contains(r.output, "<p> F A W 1200 C350 ")) << r.output;
  r = qxpack("verify " + package + " " + module);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "is a good package")) << r.output;
  r = qxpack("unpack " + package + " " + dir + "/out.dll");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(qxtest::readFile(dir + "/out.dll"), qxtest::readFile(module));
}

TEST_F(Qxpack, SaysWhatIsWrong) {
  ASSERT_EQ(qxpack("pack " + module + " " + package).status, 0);
  updatetest::writeText(dir + "/other.dll", "another module");
  std::string text = qxtest::readFile(package);
  text[text.size() - 40] = text[text.size() - 40] == '0' ? '1' : '0';
  updatetest::writeText(dir + "/damaged.htm", text);
  updatetest::writeText(dir + "/empty.dll", "");
  const struct {
    std::string args;
    int status;
    const char *says;
  } cases[] = {
      {"verify " + package + " " + dir + "/other.dll", 1,
       "ERROR: Size Mismatch"},
      {"verify " + dir + "/damaged.htm", 1, "changed after packing"},
      {"verify " + dir + "/none.htm", 1, "ERROR: Cannot open source file"},
      {"pack " + dir + "/none.dll " + package, 1, "no such file"},
      {"pack " + dir + "/empty.dll " + package, 1, "nothing to pack"},
      {"pack " + module, 2, "pack takes the module file and the package"},
      {"", 2, "pack, verify or unpack"},
      {"frob", 2, "there is no command \"frob\""},
      {"--help", 0, "qxpack pack MODULE PACKAGE"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = qxpack(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_TRUE(contains(r.output, c.says)) << r.output;
  }
}

}  // namespace
