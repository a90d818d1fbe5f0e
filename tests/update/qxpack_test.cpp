// The packager as a server operator runs it: pack, verify and unpack, and
// what it says when something is wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "common/protocol.h"
#include "peer/package_peer.h"
#include "tool_run.h"
#include "update_fixture.h"

namespace {

using qxtest::contains;
using qxtest::ToolRun;

ToolRun qxpack(const std::string &args) {
  return qxtest::runTool(std::string(QX_PACK_PATH) + " " + args);
}

class Qxpack : public testing::Test {
 protected:
  void SetUp() override {
    const updatetest::Bytes m = updatetest::sampleModule(50000, 4);
    updatetest::writeText(module, std::string(m.begin(), m.end()));
  }
  const qxtest::ScratchDir scratch;
  const std::string &dir = scratch.path;
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

// Bytes that deflate cannot shrink.
updatetest::Bytes incompressible(size_t size) {
  updatetest::Bytes out(size);
  uint64_t x = 0x9E3779B97F4A7C15u;
  for (uint8_t &b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x >> 32);
  }
  return out;
}

void writeBytes(const std::string &path, const updatetest::Bytes &bytes) {
  updatetest::writeText(path, std::string(bytes.begin(), bytes.end()));
}

size_t filesIn(const std::string &dir) {
  size_t n = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++n;
  }
  return n;
}

// A package that a client cannot take is refused with the limit it breaks
// and its figure, and nothing is left where the package or the unpacked
// module would go.
TEST_F(Qxpack, RefusesWhatNoClientTakes) {
  namespace p = qx::protocol;
  const std::string limit = std::to_string(p::kTransferSizeMax);
  const struct {
    const char *name;
    std::function<void(const std::string &)> make;  // the input file
    const char *command;  // "pack" the input, or "verify"/"unpack" it
    const char *limit;
  } cases[] = {
      // 8 MiB that packs to about 17 MB of hexadecimal text.
      {"incompressible 8 MiB module",
       [](const std::string &f) { writeBytes(f, incompressible(8u << 20)); },
       "pack", "transfer size"},
      // A module of the largest size whose compressed form is larger still.
      {"module that compresses to more than the limit",
       [](const std::string &f) {
         writeBytes(f, incompressible(p::kTransferSizeMax));
       },
       "pack", "compressed size"},
      {"module over the limit",
       [](const std::string &f) {
         writeBytes(f, updatetest::Bytes(p::kTransferSizeMax + 1u, 7));
       },
       "pack", "module size"},
      // Made by hand: a good package padded outside its records.
      {"package file over the limit",
       [](const std::string &f) {
         const updatetest::Bytes m = updatetest::sampleModule(4000);
         std::string page = qx::peer::packModule(m, "padded");
         page.append(p::kTransferSizeMax, ' ');
         updatetest::writeText(f, page);
       },
       "verify", "transfer size"},
      {"header stating a module over the limit",
       [](const std::string &f) {
         updatetest::writeText(
             f, qx::peer::packModule(
                    updatetest::Bytes(p::kTransferSizeMax + 1u, 0), "big"));
       },
       "unpack", "module size"},
      {"header stating compressed data over the limit",
       [](const std::string &f) {
         const std::string digest(32, 'A');
         updatetest::writeText(
             f, qx::peer::packagePage(
                    "big", "S1000001 10 " + digest + " " + digest, {"789C"}));
       },
       "verify", "compressed size"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const qxtest::ScratchDir scratch;
    const std::string &work = scratch.path;
    const std::string input = work + "/input";
    c.make(input);
    const std::string out = work + "/wa001200.htm";
    const std::string command = c.command;
    const ToolRun r =
        qxpack(command + " " + input + (command == "verify" ? "" : " " + out));
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(contains(r.output, c.limit)) << r.output;
    EXPECT_TRUE(contains(r.output, "limit of " + limit + " bytes")) << r.output;
    EXPECT_EQ(filesIn(work), 1u) << "a file was left behind";
  }
}

// An older package of the same name stays as it was when a new one is
// refused.
TEST_F(Qxpack, RefusalKeepsTheOlderPackage) {
  ASSERT_EQ(qxpack("pack " + module + " " + package).status, 0);
  const std::string before = qxtest::readFile(package);
  writeBytes(dir + "/huge.dll", incompressible(8u << 20));
  EXPECT_EQ(qxpack("pack " + dir + "/huge.dll " + package).status, 1);
  EXPECT_EQ(qxtest::readFile(package), before);
  EXPECT_EQ(filesIn(dir), 3u);  // agent.dll, huge.dll, the package
}

}  // namespace
