// The master list: parsing with its limits, merging, the file, '1' replies
// and name resolution through the host.
#include <cstring>
#include <string>
#include <vector>

#include "master/name_resolution.h"
#include "master_fixture.h"

namespace mastertest {
namespace {

const std::string kD1 = "0123456789ABCDEF0123456789ABCDEF";
const std::string kD2 = "FEDCBA9876543210FEDCBA9876543210";

std::string fRecord(const char *kind, const char *platform, int version,
                    const std::string &d1 = kD1, const std::string &d2 = kD2,
                    const char *size = "1A2B") {
  return std::string("<p> F ") + kind + " " + platform + " " +
         std::to_string(version) + " " + size + " " + d1 + " " + d2 + "\r\n";
}

class MasterList : public MasterTest {
 protected:
  // Parses text into the fresh entries of the state.
  const char *parse(std::string text) {
    return master::parseMasterList(
        &host.gi, text.data(), static_cast<int32_t>(text.size()) + 1,
        client().master.parsed, &client().master.parsedCount);
  }
  master::Entry &parsed(int i) { return client().master.parsed[i]; }
  master::Entry &entry(int i) { return client().master.entries[i]; }
  const master::ModuleTable &table(const master::Entry &e, int kind,
                                   int platform) {
    return e.tables[kind][platform];
  }
  // Replaces the master list with the entries parsed from text.
  void setList(const std::string &text) {
    ASSERT_EQ(parse(text), nullptr);
    std::memcpy(client().master.entries, client().master.parsed,
                sizeof client().master.entries);
    client().master.entryCount = client().master.parsedCount;
  }
};

TEST_F(MasterList, ParsingFollowsTheRecordRules) {
  resolves("MASTER.EXAMPLE", "10.0.0.7");
  const std::string text =
      "ignored before the first record <p> S 2 master.example 16567 3\r\n"
      "<P> m mirror.one 1001\r\n<p> M MIRROR.ONE 1002\r\n"   // same host
      "<p> M mirror2 1003\r\n<p> M third.mirror 1004\r\n" +  // only two
      fRecord("a", "w", 1200) +
      fRecord("A", "W", 1200, kD2, kD1) +  // dup
      fRecord("C", "l", 7) + fRecord("S", "k", 8) + fRecord("A", "z", 9) +
      fRecord("X", "W", 10) +                            // kind X
      fRecord("A", "L", 11, kD1.substr(1)) +             // 31 digits
      fRecord("A", "L", 12, kD1, "G" + kD2.substr(1)) +  // not hex
      "<p> S 3 nodot 500 0\n<p> S 4 a.b 1 0<p> S 5 c.d 2 0\n"
      "<p> S 6 fifth.master 3 0\r\n<p> M lost.mirror 4\r\n" +
      fRecord("A", "W", 99) + "<p> S 3 again 9 9\r\n" + fRecord("C", "W", 5);
  ASSERT_EQ(parse(text), nullptr);
  ASSERT_EQ(client().master.parsedCount, 4);

  const master::Entry &e = parsed(0);
  EXPECT_EQ(e.kind, 2);
  EXPECT_STREQ(e.host, "MASTER.EXAMPLE");
  EXPECT_STREQ(e.address, "10.0.0.7");
  EXPECT_EQ(e.port, 16567);
  EXPECT_EQ(e.counter, 3);
  ASSERT_EQ(e.mirrorCount, 2);
  EXPECT_STREQ(e.mirrors[0].host, "MIRROR.ONE");
  EXPECT_EQ(e.mirrors[0].port, 1001);
  EXPECT_STREQ(e.mirrors[1].host, "MIRROR2");
  EXPECT_STREQ(e.mirrors[1].address, "127.0.0.1");  // no '.' in the host
  ASSERT_EQ(table(e, 0, 0).count, 1);
  EXPECT_EQ(table(e, 0, 0).records[0].version, 1200);
  EXPECT_EQ(table(e, 0, 0).records[0].size, 0x1A2Bu);
  EXPECT_EQ(table(e, 0, 0).records[0].digest1, kD1);
  EXPECT_EQ(table(e, 1, 1).count, 1);  // C-L
  EXPECT_EQ(table(e, 2, 2).count, 1);  // S-K
  EXPECT_EQ(table(e, 0, 3).count, 1);  // A, any other letter
  EXPECT_EQ(table(e, 0, 1).count, 0);  // both A-L records were bad

  EXPECT_EQ(parsed(1).kind, 3);
  EXPECT_STREQ(parsed(1).address, "127.0.0.1");
  EXPECT_STREQ(parsed(1).host, "NODOT");  // "S 3" again selects it
  EXPECT_EQ(table(parsed(1), 1, 0).count, 1);
  // The fifth kind is ignored with its mirror and module records.
  for (int i = 0; i < 4; ++i) {
    EXPECT_NE(parsed(i).kind, 6);
    EXPECT_EQ(table(parsed(i), 0, 0).count, i == 0 ? 1 : 0);
  }
}

TEST_F(MasterList, ATableHoldsEightRecordsAndATextWithAZeroIsRefused) {
  std::string text = "<p> S 2 h.example 1 0\r\n";
  for (int v = 1; v <= 9; ++v) text += fRecord("A", "W", v);
  ASSERT_EQ(parse(text), nullptr);
  EXPECT_EQ(table(parsed(0), 0, 0).count, 8);

  std::string zero = "<p> S 2 h 1 0";
  zero[5] = '\0';
  EXPECT_STREQ(parse(zero), "ERROR: Corrupted Data Buffer");
}

TEST_F(MasterList, SavingAndParsingGivesTheSameEntriesButTheKTables) {
  resolves("ONE.EXAMPLE", "10.0.0.1");
  resolves("M.EXAMPLE", "10.0.0.2");
  std::string text = "<p> S 7 one.example 1 2\r\n<p> M m.example 3\r\n";
  const char *kinds[] = {"A", "C", "S"};
  const char *platforms[] = {"W", "L", "K", "Q"};
  int version = 100;
  for (const char *k : kinds)
    for (const char *p : platforms)
      for (int i = 0; i < 8; ++i) text += fRecord(k, p, version++);
  text += "<p> S 1 never 0 0\r\n<p> S 0\r\n";
  setList(text);
  ASSERT_TRUE(master::saveMasterListFile());
  const std::string saved = read("qxcl.db");
  EXPECT_EQ(saved.rfind(protocol::kMasterListHeader, 0), 0u);
  EXPECT_NE(saved.find("<p> F A M 124 1A2B " + kD1 + " " + kD2 + "\r\n"),
            std::string::npos);

  const int count = client().master.entryCount;
  std::vector<master::Entry> before(client().master.entries,
                                    client().master.entries + count);
  ASSERT_EQ(parse(saved), nullptr);
  ASSERT_EQ(client().master.parsedCount, count);
  for (int i = 0; i < count; ++i) {
    master::Entry expected = before[i];
    for (int k = 0; k < master::kModuleKinds; ++k)
      expected.tables[k][2] = master::ModuleTable{};  // 'K' is not saved
    const master::Entry &got = parsed(i);
    EXPECT_EQ(got.kind, expected.kind);
    EXPECT_STREQ(got.host, expected.host);
    EXPECT_STREQ(got.address, expected.address);
    EXPECT_EQ(got.port, expected.port);
    EXPECT_EQ(got.counter, expected.counter);
    EXPECT_EQ(got.mirrorCount, expected.mirrorCount);
    EXPECT_EQ(std::memcmp(got.tables, expected.tables, sizeof got.tables), 0)
        << "entry " << i;
  }
}

// Kind, port, counter and version are kept as signed 32-bit numbers: read
// clamped to 0 .. 2^31 - 1, they are written back as the same digits, and
// hosts read from quoted text keep their blanks. The saved file reads back
// as the same entries, so a reply merged again after a restart finds its
// module records known instead of adding them twice.
TEST_F(MasterList, LargeNumbersAndQuotedHostsReadBackTheSame) {
  const struct {
    const char *text;
    int32_t value;
  } numbers[] = {
      {"4000000000", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"2147483647", INT32_MAX},
      {"99999999999999", INT32_MAX},
      {"2147483646", 2147483646},
      {"-7", 7},
      {"12-34", 1234},
  };
  for (const auto &n : numbers) {
    SCOPED_TRACE(n.text);
    const std::string v = n.text;
    const std::string text = "<p> S " + v + " \"my master\" " + v + " " + v +
                             "\r\n" + "<p> M \"a mirror\" " + v +
                             "\r\n<p> M \"\" 5\r\n" + "<p> F A W " + v +
                             " 10 " + kD1 + " " + kD2 + "\r\n";
    setList(text);
    const master::Entry &e = entry(0);
    EXPECT_EQ(e.kind, n.value);
    EXPECT_STREQ(e.host, "MY MASTER");
    EXPECT_EQ(e.port, n.value);
    EXPECT_EQ(e.counter, n.value);
    ASSERT_EQ(e.mirrorCount, 2);
    EXPECT_STREQ(e.mirrors[0].host, "A MIRROR");
    EXPECT_EQ(e.mirrors[0].port, n.value);
    EXPECT_STREQ(e.mirrors[1].host, "");
    ASSERT_EQ(table(e, 0, 0).count, 1);
    EXPECT_EQ(table(e, 0, 0).records[0].version, n.value);

    ASSERT_TRUE(master::saveMasterListFile());
    ASSERT_EQ(parse(read("qxcl.db")), nullptr);
    ASSERT_EQ(client().master.parsedCount, 1);
    const master::Entry &got = parsed(0);
    EXPECT_EQ(got.kind, e.kind);
    EXPECT_STREQ(got.host, e.host);
    EXPECT_EQ(got.port, e.port);
    EXPECT_EQ(got.counter, e.counter);
    ASSERT_EQ(got.mirrorCount, e.mirrorCount);
    for (int i = 0; i < e.mirrorCount; ++i) {
      EXPECT_STREQ(got.mirrors[i].host, e.mirrors[i].host);
      EXPECT_EQ(got.mirrors[i].port, e.mirrors[i].port);
    }
    EXPECT_EQ(std::memcmp(got.tables, e.tables, sizeof got.tables), 0);
  }
}

TEST_F(MasterList, MergingAddsOneRecordPerTableAndNeverOverwrites) {
  setList("<p> S 2 a.example 1 0\r\n" + fRecord("A", "W", 1) +
          fRecord("A", "W", 2));
  // Known records, then two new ones: one call adds the first of them.
  ASSERT_EQ(parse("<p> S 2 a.example 1 0\r\n" + fRecord("A", "W", 1) +
                  fRecord("A", "W", 3) + fRecord("A", "W", 4)),
            nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), false), 1);
  EXPECT_EQ(table(entry(0), 0, 0).count, 2);  // the check changes nothing
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), 1);
  EXPECT_EQ(table(entry(0), 0, 0).count, 3);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), 1);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), false), 0);

  // A known version with other digests is a conflict, checked or applied.
  ASSERT_EQ(parse("<p> S 2 a.example 1 0\r\n" + fRecord("A", "W", 2, kD2)),
            nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), false), -1);
  ASSERT_EQ(parse("<p> S 2 a.example 1 0\r\n" +
                  fRecord("A", "W", 2, kD1, kD2, "FFFF")),
            nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), -1);
  EXPECT_EQ(table(entry(0), 0, 0).records[1].size, 0x1A2Bu);
}

TEST_F(MasterList, ANinthVersionReplacesTheLowest) {
  std::string full = "<p> S 2 a.example 1 0\r\n";
  for (int v : {50, 20, 30, 40, 60, 70, 80, 90}) full += fRecord("C", "W", v);
  setList(full);
  ASSERT_EQ(parse("<p> S 2 a.example 1 0\r\n" + fRecord("C", "W", 100)),
            nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), 1);
  const master::ModuleTable &t = table(entry(0), 1, 0);
  ASSERT_EQ(t.count, 8);
  EXPECT_EQ(t.records[1].version, 100);
  EXPECT_EQ(master::findModule('c', 'w', 20), nullptr);
  EXPECT_EQ(master::findModule('c', 'w', 100), &t.records[1]);
}

TEST_F(MasterList, CountersMirrorsAndNewKindsAreMerged) {
  setList("<p> S 2 a.example 1 4\r\n<p> M m1.example 5\r\n");
  ASSERT_EQ(parse("<p> S 2 a.example 1 0\r\n<p> M m1.example 5\r\n"
                  "<p> M m2.example 6\r\n"),
            nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), 1);
  EXPECT_EQ(entry(0).counter, 0);
  ASSERT_EQ(entry(0).mirrorCount, 2);
  EXPECT_STREQ(entry(0).mirrors[1].host, "M2.EXAMPLE");

  ASSERT_EQ(parse("<p> S 9 new.example 7 0\r\n"), nullptr);
  EXPECT_EQ(master::mergeEntry(&host.gi, parsed(0), true), 1);
  ASSERT_EQ(client().master.entryCount, 2);
  EXPECT_EQ(entry(1).kind, 9);
}

TEST_F(MasterList, FindModuleLooksThroughTheEntriesInOrder) {
  setList("<p> S 2 a.example 1 0\r\n" + fRecord("A", "W", 5) +
          "<p> S 3 b.example 1 0\r\n" + fRecord("A", "W", 5, kD2, kD1) +
          fRecord("C", "L", 6));
  const master::ModuleRecord *r = master::findModule('a', 'W', 5);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->digest1, kD1);
  EXPECT_NE(master::findModule('C', 'l', 6), nullptr);
  EXPECT_EQ(master::findModule('C', 'w', 6), nullptr);
  EXPECT_EQ(master::findModule('Z', 'w', 5), nullptr);
}

// ---- the file and '1' replies
// ------------------------------------------------

TEST_F(MasterList, WithoutAFileTheBuiltInListIsWritten) {
  ASSERT_EQ(client().master.entryCount, 4);
  const std::string saved = read("qxcl.db");
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(entry(i).kind, i + 2);
    EXPECT_EQ(entry(i).port, 16567);
    std::string host = protocol::kBuiltInMasters[i];
    for (char &c : host) c = static_cast<char>(std::toupper(c));
    EXPECT_STREQ(entry(i).host, host.c_str());
    EXPECT_NE(saved.find("<p> S " + std::to_string(i + 2) + " " + host +
                         " 16567 0\r\n"),
              std::string::npos);
  }
}

class MasterListFile : public MasterList {
  void prepare() override {
    write("qxcl.db", "<p> S 5 own.example 2000 1\r\n" + fRecord("A", "W", 3));
  }
};

TEST_F(MasterListFile, ReplacesTheBuiltInList) {
  ASSERT_EQ(client().master.entryCount, 1);
  EXPECT_STREQ(entry(0).host, "OWN.EXAMPLE");
  EXPECT_EQ(entry(0).counter, 1);
  EXPECT_NE(master::findModule('A', 'w', 3), nullptr);
}

TEST_F(MasterListFile, RepliesAreUnscrambledMergedAndSaved) {
  reply("<p> S 5 own.example 2000 0\r\n" + fRecord("A", "W", 4));
  EXPECT_TRUE(host.printed("Master List Updated (Master Server)"));
  EXPECT_NE(master::findModule('A', 'w', 4), nullptr);
  EXPECT_NE(read("qxcl.db").find("<p> S 5 OWN.EXAMPLE 2000 0\r\n"),
            std::string::npos);
  EXPECT_NE(read("qxcl.db").find(fRecord("A", "W", 4)), std::string::npos);

  // The same records again change nothing: no file is written.
  remove("qxcl.db");
  host.clearOutput();
  reply("<p> S 5 own.example 2000 0\r\n" + fRecord("A", "W", 4));
  EXPECT_TRUE(host.printed("Master List Unchanged (Master Server)"));
  EXPECT_FALSE(exists("qxcl.db"));
  host.clearOutput();
  reply("<p> S 5 own.example 2000 0\r\n");  // within 4000 ms: no notice
  EXPECT_FALSE(host.printedPart("Unchanged"));

  reply("<p> S 5 own.example 2000 0\r\n" + fRecord("A", "W", 4, kD2));
  EXPECT_TRUE(host.printed(
      "Master List Update Refused (Master Server): Conflicting Module Record"));
  EXPECT_EQ(master::findModule('A', 'w', 4)->digest1, kD1);

  Bytes broken = peer::masterListPacket(nonce(), std::string("<p>\0x", 5));
  fromMaster(broken);
  EXPECT_TRUE(host.printed("ERROR: Corrupted Data Buffer"));
}

// A conflict in the second entry of a reply stops it there; what the first
// entry added stays in the list and in the file.
TEST_F(MasterListFile, AConflictKeepsAndSavesWhatWasMergedBeforeIt) {
  reply("<p> S 5 own.example 2000 1\r\n" + fRecord("A", "W", 4) +
        "<p> S 6 other.example 2000 0\r\n" + fRecord("A", "W", 3, kD2));
  EXPECT_TRUE(host.printed(
      "Master List Update Refused (Master Server): Conflicting Module Record"));
  EXPECT_NE(master::findModule('A', 'w', 4), nullptr);
  EXPECT_NE(read("qxcl.db").find(fRecord("A", "W", 4)), std::string::npos);
  EXPECT_EQ(client().master.entryCount, 1);
}

// ---- name resolution
// ---------------------------------------------------------

class NameResolution : public MasterTest {
 protected:
  void SetUp() override {
    MasterTest::SetUp();
    host.queryOverride = [this](int32_t code, char *buffer, int32_t size) {
      const std::string question = buffer;
      if (code == QX_Q_CVAR && question.rfind("qx_isresolved ", 0) == 0) {
        asked.push_back(question.substr(14));
        std::snprintf(buffer, static_cast<size_t>(size), "%s", answer.c_str());
        return static_cast<intptr_t>(0);
      }
      buffer[0] = '\0';
      return static_cast<intptr_t>(1);
    };
  }
  std::string resolve(const char *name) {
    char address[16] = "junk";
    master::resolveHost(&host.gi, name, address);
    return address;
  }
  std::vector<std::string> asked;
  std::string answer;
};

TEST_F(NameResolution, AddressesAreTakenAsTheyAre) {
  EXPECT_EQ(resolve("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(resolve("10.1.2.3:27960"), "10.1.2.3");
  EXPECT_TRUE(asked.empty());
}

TEST_F(NameResolution, NamesAreAskedUntilTheHostAnswersThenCached) {
  const int32_t cached = client().master.hostNames.count;
  EXPECT_EQ(resolve("slow.example"), "");
  EXPECT_EQ(resolve("SLOW.example"), "");  // cached, not resolved: asked
  answer = "10.9.8.7:0";
  EXPECT_EQ(resolve("slow.example"), "10.9.8.7");
  EXPECT_EQ(resolve("Slow.Example"), "10.9.8.7");
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_EQ(client().master.hostNames.count, cached + 1);
}

TEST_F(NameResolution, TheLogAddressIsResolvedOutsideLanMode) {
  answer = "10.0.0.5";
  host.console("qx_LogAddr log.example");
  host.pump();
  EXPECT_STREQ(client().master.logAddress, "10.0.0.5");
  client().settings.lan = 1;
  host.console("qx_LogAddr other.example");
  host.pump();
  EXPECT_EQ(asked, std::vector<std::string>({"log.example"}));
}

}  // namespace
}  // namespace mastertest
