// Update packages through the client's reader: one damaged package per
// error text, packages written in every way the format allows, records at
// the window's limit, failed allocations and a short write.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "peer/digest.h"
#include "peer/package_peer.h"
#include "test_heap.h"
#include "update/package.h"
#include "update_fixture.h"

#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

namespace {

using updatetest::Bytes;
namespace peer = qx::peer;

// A package as its pieces, so that a test can damage any of them.
struct Parts {
  Bytes module;
  Bytes compressed;
  std::string size, moduleSize, digestA, digestB;  // header words
  std::vector<std::string> records;

  explicit Parts(Bytes m)
      : module(std::move(m)), compressed(peer::compressModule(module)) {
    char text[16];
    std::snprintf(text, sizeof text, "%X",
                  static_cast<unsigned>(compressed.size()));
    size = text;
    std::snprintf(text, sizeof text, "%X",
                  static_cast<unsigned>(module.size()));
    moduleSize = text;
    digestA = peer::digestText(compressed.data(), compressed.size(), 0);
    digestB = peer::digestText(compressed.data() + 1, compressed.size() - 1, 0);
    records = peer::dataRecords(compressed);
  }
  std::string header() const {
    return "S" + size + " " + moduleSize + " " + digestA + " " + digestB;
  }
  std::string page() const { return page(header()); }
  std::string page(const std::string &h) const {
    return peer::packagePage("wa001200.htm", h, records);
  }
  std::string hex() const {
    return peer::hexText(compressed.data(), compressed.size());
  }
};

class PackageTest : public testing::Test {
 protected:
  void TearDown() override { qxtest::failAllocationNumber(0); }

  const char *unpack(const std::string &text, uint32_t expectedSize = 0,
                     const char *digest1 = nullptr,
                     const char *digest2 = nullptr) {
    updatetest::writeText(package, text);
    return qx::update::unpackPackage(package.c_str(), module.c_str(),
                                     expectedSize, digest1, digest2);
  }

  const std::string dir = qxtest::makeTempDir();
  const std::string package = dir + "/wa001200.htm";
  std::string module = dir + "/wa001200.dll";
  const Parts parts{updatetest::sampleModule(6000)};
};

TEST_F(PackageTest, ThePackagersPackageUnpacksWithEveryCheck) {
  const peer::ModuleRecord r = peer::moduleRecord(parts.module);
  EXPECT_EQ(unpack(peer::packModule(parts.module, "wa001200.htm"), r.size,
                   r.digest1.c_str(), r.digest2.c_str()),
            nullptr);
  EXPECT_EQ(updatetest::readBytes(module), parts.module);
  // The same again replaces the module file.
  updatetest::writeText(module, "an older module");
  EXPECT_EQ(unpack(parts.page()), nullptr);
  EXPECT_EQ(updatetest::readBytes(module), parts.module);
}

// The data in records of at most n digits, each one put through form and
// opened with tag.
std::string records(
    const std::string &hex, size_t n, const std::string &tag,
    const std::function<std::string(std::string)> &form = [](std::string r) {
      return r;
    }) {
  std::string out;
  for (size_t at = 0; at < hex.size(); at += n)
    out += tag + form(hex.substr(at, n));
  return out;
}

// Every way of writing the same data that the format allows.
TEST_F(PackageTest, EveryAllowedFormReadsTheSameModule) {
  const std::string hex = parts.hex();
  // One record per byte; bytes below 16 as a lone digit.
  std::vector<std::string> perByte;
  for (uint8_t b : parts.compressed) {
    char text[3];
    std::snprintf(text, sizeof text, b < 16 ? "%X" : "%02X", b);
    perByte.push_back(text);
  }
  // Lower-case letters, spaces and line breaks between the digits.
  auto noisy = [](std::string r) {
    std::string out;
    for (size_t i = 0; i < r.size(); ++i)
      out += r.substr(i, 1) + (i % 3 ? "" : "x y\r\nabcdef");
    return out;
  };
  const std::string header = parts.header();
  const struct {
    const char *form;
    std::string text;
  } forms[] = {
      {"one byte a record", peer::packagePage("x", header, perByte)},
      {"noise in the records",
       "<p>" + header + records(hex, 300, "<p>", noisy)},
      // 2044 digits, the tag and the next '<' fill the 2048-byte window.
      {"records as long as fit the window",
       "<p>" + header + records(hex, 2044, "<p>")},
      {"a last record that fills the window, the file's end closing it",
       "<p>" + header + records(hex, 1000, "<p>") + "<p>" +
           std::string(2045, ' ')},
      {"upper-case tags and spaces before the S",
       "<P>   " + header + records(hex, 1000, "<P>")},
      {"other tags and '<' in the text",
       "a < b <pre>x</pre><b>" + std::string(3000, '<') + "<p>" + header +
           "<br>" + records(hex, 998, "<i>x</i><p>") + "<"},
      {"a larger module size in the header",
       "<p>S" + parts.size + " 10000 " + parts.digestA + " " + parts.digestB +
           records(hex, 1024, "<p>")},
  };
  for (const auto &f : forms) {
    SCOPED_TRACE(f.form);
    std::remove(updatetest::systemPath(module).c_str());
    EXPECT_EQ(unpack(f.text), nullptr);
    EXPECT_EQ(updatetest::readBytes(module), parts.module);
  }
}

TEST_F(PackageTest, ModulesOfNoneAndOneByte) {
  for (size_t size : {0u, 1u}) {
    const Bytes m = updatetest::sampleModule(size);
    EXPECT_EQ(unpack(peer::packModule(m, "x")), nullptr);
    EXPECT_TRUE(updatetest::fileExists(module));
    EXPECT_EQ(updatetest::readBytes(module), m);
  }
}

TEST_F(PackageTest, EachErrorTextAndItsPackage) {
  const Parts &p = parts;
  const std::string hex = p.hex();
  const std::string dataA = p.digestA, dataB = p.digestB;
  const peer::ModuleRecord r = peer::moduleRecord(p.module);
  auto withData = [&](const std::string &data) {
    return "<p>" + p.header() + records(data, 1000, "<p>");
  };
  // A package whose header is these words, separated by spaces.
  auto headerOf = [&](const std::vector<std::string> &words) {
    std::string header;
    for (const std::string &w : words)
      header += (header.empty() ? "" : " ") + w;
    return p.page(header);
  };
  // Data that is no zlib stream, with the digests that fit it.
  const Bytes junk = updatetest::sampleModule(700, 9);
  const std::string junkHeader =
      "S2BC 1000 " + peer::digestText(junk.data(), junk.size(), 0) + " " +
      peer::digestText(junk.data() + 1, junk.size() - 1, 0);
  // "0a1B" holds the bytes 01 and 0B: both digests match, inflating fails.
  const uint8_t twoBytes[2] = {0x01, 0x0B};
  const std::string twoHeader = "S2 10 " + peer::digestText(twoBytes, 2, 0) +
                                " " + peer::digestText(twoBytes + 1, 1, 0);
  std::string lowerA = dataA;
  for (char &c : lowerA) c = static_cast<char>(std::tolower(c));
  const std::string wrong(32, '0');

  const struct {
    const char *why;
    std::string text;
    const char *error;
    uint32_t size = 0;
    const char *digest1 = nullptr;
    const char *digest2 = nullptr;
  } cases[] = {
      {"no record", "<html>" + hex + "</html>", "ERROR: Memory Allocation"},
      {"no S", headerOf({"X" + p.size, p.moduleSize, dataA, dataB}),
       "ERROR: Memory Allocation"},
      {"space after the S", headerOf({"S", p.size, p.moduleSize, dataA, dataB}),
       "ERROR: Memory Allocation"},
      {"no module size", headerOf({"S" + p.size}), "ERROR: Memory Allocation"},
      {"no digest A", headerOf({"S" + p.size, p.moduleSize}),
       "ERROR: Memory Allocation"},
      {"digest A of 31",
       headerOf({"S" + p.size, p.moduleSize, dataA.substr(1), dataB}),
       "ERROR: Memory Allocation"},
      {"no digest B", headerOf({"S" + p.size, p.moduleSize, dataA, " "}),
       "ERROR: Memory Allocation"},
      {"digest B of 33",
       headerOf({"S" + p.size, p.moduleSize, dataA, dataB + "F"}),
       "ERROR: Memory Allocation"},
      {"a byte short", withData(hex.substr(0, hex.size() - 2)),
       "ERROR: Memory Allocation"},
      {"a byte over", withData(hex + "00"), "ERROR: Memory Allocation"},
      {"a record too long for the window",
       "<p>" + p.header() + "<p>" + hex.substr(0, 2044) + " " +
           records(hex.substr(2044), 1000, "<p>"),
       "ERROR: Memory Allocation"},
      {"compressed size 0, no data",
       peer::packagePage("x",
                         "S0 10 " + peer::digestText("", 0, 0) + " " +
                             peer::digestText("", 0, 0),
                         {}),
       "ERROR: Memory Allocation"},
      {"compressed size over the cap",
       headerOf({"S1000001", p.moduleSize, dataA, dataB}),
       "ERROR: Memory Allocation"},
      {"module size over the cap",
       headerOf({"S" + p.size, "1000001", dataA, dataB}),
       "ERROR: Memory Allocation"},
      {"digests swapped", headerOf({"S" + p.size, p.moduleSize, dataB, dataA}),
       "ERROR: Security Mismatch (A)"},
      // The module is allocated only after both digests are checked.
      {"digests swapped, module size over the cap",
       headerOf({"S" + p.size, "1000001", dataB, dataA}),
       "ERROR: Security Mismatch (A)"},
      {"digest A in lower case",
       headerOf({"S" + p.size, p.moduleSize, lowerA, dataB}),
       "ERROR: Security Mismatch (A)"},
      {"digest B wrong", headerOf({"S" + p.size, p.moduleSize, dataA, dataA}),
       "ERROR: Security Mismatch (B)"},
      {"not a zlib stream",
       peer::packagePage("x", junkHeader,
                         {peer::hexText(junk.data(), junk.size())}),
       "ERROR: Failed to Uncompress"},
      {"lower case dropped, a lone last digit",
       peer::packagePage("x", twoHeader, {"0a1B"}),
       "ERROR: Failed to Uncompress"},
      {"module larger than its size",
       headerOf({"S" + p.size, "100", dataA, dataB}),
       "ERROR: Failed to Uncompress"},
      {"another size expected", p.page(), "ERROR: Size Mismatch", r.size + 1},
      {"another module expected", p.page(), "ERROR: Security Mismatch (C)",
       r.size, wrong.c_str(), r.digest2.c_str()},
      {"another second digest expected", p.page(),
       "ERROR: Security Mismatch (C)", 0, r.digest1.c_str(), wrong.c_str()},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    updatetest::writeText(module, "the module before");
    const char *error = unpack(c.text, c.size, c.digest1, c.digest2);
    EXPECT_STREQ(error, c.error);
    EXPECT_EQ(qxtest::readFile(module), "the module before");
  }
  // With both digests right the same package is written.
  EXPECT_EQ(unpack(p.page(), r.size, r.digest1.c_str(), r.digest2.c_str()),
            nullptr);
}

TEST_F(PackageTest, FilesThatCannotBeOpened) {
  EXPECT_STREQ(qx::update::unpackPackage((dir + "/missing.htm").c_str(),
                                         module.c_str(), 0, nullptr, nullptr),
               "ERROR: Cannot open source file");
  module = dir + "/no such folder/wa001200.dll";
  EXPECT_STREQ(unpack(parts.page()),
               "ERROR: Cannot open target file for writing");
  EXPECT_FALSE(updatetest::fileExists(module));
}

TEST_F(PackageTest, FailedAllocationsAreReported) {
  for (int succeeding : {0, 1}) {  // the compressed data, then the module
    SCOPED_TRACE(succeeding);
    qxtest::failAllocationNumber(succeeding + 1);
    EXPECT_STREQ(unpack(parts.page()), "ERROR: Memory Allocation");
    qxtest::failAllocationNumber(0);
    EXPECT_FALSE(updatetest::fileExists(module));
  }
}

#if !defined(_WIN32)
// A file size limit makes the write come up short, as a full disk would.
TEST_F(PackageTest, AShortWriteLeavesTheOldModule) {
  updatetest::writeText(module, "the module before");
  const std::string text = parts.page();
  updatetest::writeText(package, text);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1000;
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const char *error = qx::update::unpackPackage(package.c_str(), module.c_str(),
                                                0, nullptr, nullptr);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_STREQ(error, "ERROR: File Write Error");
  EXPECT_EQ(qxtest::readFile(module), "the module before");
  EXPECT_FALSE(updatetest::fileExists(module + ".qxtmp"));
}
#endif

}  // namespace
