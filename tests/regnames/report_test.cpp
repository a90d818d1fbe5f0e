// The report to the server: asked for with 'B' 'I', sent after every save
// and on joining a server (with the import file merged), decoded and
// verified by the server side with its own digest code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regnames_fixture.h"

namespace regnamestest {
namespace {

namespace peer = qx::peer;
using List = std::vector<std::pair<std::string, int>>;

class Report : public RegNames {
 protected:
  void add(const std::string &match, const std::string &password,
           const char *kind = "Full") {
    ASSERT_EQ(qx::regnames::addRegisteredName(&host.gi, match.c_str(),
                                              password.c_str(), kind, 0),
              1);
  }
  // The server asks; the client's packets come back unframed.
  std::vector<peer::Unframed> ask() {
    host.clearOutput();
    sendE(peer::registeredNamesQuery());
    return packets();
  }
};

TEST_F(Report, TheServerGetsEveryNameWithTheDigestOfItsPassword) {
  add("Bob", "p");
  add("Clan Tag", "two words", "Partial");
  add("Gone", "x");
  qx::regnames::deleteRegisteredName(&host.gi, 3);
  const std::vector<peer::Unframed> sent = ask();
  ASSERT_EQ(sent.size(), 1u);
  const std::string digestP = peer::registeredNameDigest("p");
  const std::string expected =
      "R\"Bob\" \"" + digestP + "\" 1 \"Clan Tag\" \"" +
      peer::registeredNameDigest("two words") + "\" 2 ";
  EXPECT_EQ(sent[0].message, peer::text(expected));

  peer::RegisteredNamesReport report =
      peer::decodeRegisteredNames(sent[0].message);
  ASSERT_TRUE(report.ok) << report.error;
  EXPECT_FALSE(report.sealed);
  peer::verifyRegisteredNames(report, {{"Bob", "p"}, {"Clan Tag", "other"}});
  ASSERT_EQ(report.names.size(), 2u);
  EXPECT_TRUE(report.names[0].known && report.names[0].verified);
  EXPECT_EQ(report.names[0].kind, 1);
  EXPECT_TRUE(report.names[1].known);
  EXPECT_FALSE(report.names[1].verified);
  EXPECT_EQ(report.names[1].kind, 2);
}

TEST_F(Report, TheDigestIsSeededMd5OfTheStoredPassword) {
  // The seed is this system's 0x5C13E7A4, computed by the server side's
  // own MD5 code.
  add("Bob", "p");
  EXPECT_EQ(std::string(record(0).passwordDigest),
            peer::digestText("p", 1, 0x5C13E7A4u));
  EXPECT_NE(std::string(record(0).passwordDigest), peer::digestText("p", 1, 0));
}

TEST_F(Report, NothingIsSentWithoutNames) {
  EXPECT_TRUE(ask().empty());
  add("Bob", "p");
  qx::regnames::deleteRegisteredName(&host.gi, 1);
  EXPECT_TRUE(ask().empty());
}

TEST_F(Report, ItIsSealedWhileTheAllowanceLasts) {
  add("Bob", "p");
  client().channel.sealAllowance = 1;
  std::vector<peer::Unframed> sent = ask();
  ASSERT_EQ(sent.size(), 1u);
  peer::RegisteredNamesReport report =
      peer::decodeRegisteredNames(sent[0].message);
  EXPECT_TRUE(report.sealed);
  EXPECT_TRUE(report.sealValid);
  peer::verifyRegisteredNames(report, {{"Bob", "p"}});
  ASSERT_EQ(report.names.size(), 1u);
  EXPECT_TRUE(report.names[0].verified);
  sent = ask();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(peer::decodeRegisteredNames(sent[0].message).sealed);
}

// Entries go in while the report stays within 1024 characters; one that
// does not fit is left out and a shorter one after it may still go in.
TEST_F(Report, TheReportStopsAt1024Characters) {
  const std::string m32(32, 'L');
  for (int i = 0; i < 13; ++i) add(m32, "p");  // 1 + 13 * 72 = 937
  add("six666", "p");                          // + 46 = 983
  add(m32, "p");                               // 72 more: left out
  add("tw", "p");                              // 42 more would make 1025
  add("1", "p");                               // + 41 = 1024 exactly
  add("2", "p");                               // left out
  const std::vector<peer::Unframed> sent = ask();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].message.size(), 1025u);  // with the terminator
  const peer::RegisteredNamesReport report =
      peer::decodeRegisteredNames(sent[0].message);
  ASSERT_TRUE(report.ok) << report.error;
  ASSERT_EQ(report.names.size(), 15u);
  EXPECT_EQ(report.names[13].match, "six666");
  EXPECT_EQ(report.names[14].match, "1");
}

TEST_F(Report, EverySaveSendsTheReport) {
  type("qx_RegNameFull Bob p");
  auto sent = reports();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].names.size(), 1u);
  EXPECT_EQ(sent[0].names[0].match, "Bob");
  type("qx_RegNameDel 1");
  EXPECT_TRUE(reports().empty());  // no names left: nothing to send
  type("qx_RegNamePartial Ann x");
  type("qx_RegNamePw k3y");
  EXPECT_EQ(reports().size(), 1u);
}

TEST_F(Report, JoiningAServerLoadsTheFileAndReportsOnlyWhenMerging) {
  write("regname.dat", plainFile({{"Bob", "p", "Full"}}));
  joinServer("10.9.9.9:27960");
  EXPECT_EQ(list(), (List{{"Bob", 1}}));
  EXPECT_TRUE(host.printed("Added Registered Name Record: Bob"));
  EXPECT_TRUE(reports().empty());
  // Leaving the server also counts as a change of address.
  type("qx_RegNameFull Ann x");
  joinServer("");
  EXPECT_TRUE(host.printed("Added Registered Name Record: Ann"));
  EXPECT_EQ(list(), (List{{"Bob", 1}, {"Ann", 1}}));
}

TEST_F(Report, TheImportFileIsMergedSavedReportedAndDeleted) {
  write("regname.dat", plainFile({{"Bob", "p", "Full"}}));
  write("regname1.dat", plainFile({{"Ann", "x", "Partial"}}));
  joinServer("10.9.9.9:27960");
  EXPECT_EQ(list(), (List{{"Bob", 1}, {"Ann", 2}}));
  EXPECT_EQ(read("regname.dat"),
            plainFile({{"Bob", "p", "Full"}, {"Ann", "x", "Partial"}}));
  EXPECT_TRUE(host.printed("2 Registered Name Records written to " +
                           path("regname.dat")));
  EXPECT_FALSE(exists("regname1.dat"));
  auto sent = reports();
  ASSERT_EQ(sent.size(), 1u);
  peer::verifyRegisteredNames(sent[0], {{"Bob", "p"}, {"Ann", "x"}});
  ASSERT_EQ(sent[0].names.size(), 2u);
  EXPECT_TRUE(sent[0].names[0].verified && sent[0].names[1].verified);
}

TEST_F(Report, AnImportFileThatCannotBeUsedIsKept) {
  write("regname.dat", plainFile({{"Bob", "p", "Full"}}));
  const std::string import = plainFile({{"Ann", "x", "Partial"}});
  // Written under a key the client does not have.
  const std::string enciphered = encipheredFile({{"Ann", "x", "Full"}}, "k");
  write("regname1.dat", enciphered);
  joinServer("10.9.9.9:27960");
  EXPECT_TRUE(host.printed("Cannot load " + path("regname1.dat") +
                           " - Header Missing"));
  EXPECT_EQ(read("regname1.dat"), enciphered);
  EXPECT_EQ(read("regname.dat"), plainFile({{"Bob", "p", "Full"}}));
  // The merged list cannot be saved: the import file stays for next time.
  write("regname1.dat", import);
  ASSERT_TRUE(qx::platform::makeDirectory(path("regname.dat.qxtmp").c_str()));
  joinServer("10.9.9.10:27960");
  EXPECT_EQ(list(), (List{{"Bob", 1}, {"Ann", 2}}));
  EXPECT_EQ(read("regname1.dat"), import);
  EXPECT_EQ(reports().size(), 1u);
}

// A registered-name file that is itself named regname1.dat is no import:
// joining a server neither doubles its names nor deletes it.
TEST_F(Report, AFileNamedLikeTheImportFileIsKept) {
  type("qx_RegNameFn regname1.dat");
  type("qx_RegNameFull Bob p");
  const std::string before = read("regname1.dat");
  joinServer("10.9.9.9:27960");
  EXPECT_EQ(list(), (List{{"Bob", 1}}));
  EXPECT_EQ(read("regname1.dat"), before);
}

TEST_F(Report, TheServerSideRefusesMalformedReports) {
  const std::string d(32, 'A');
  const struct {
    const char *what;
    peer::Bytes message;
    bool ok;
  } cases[] = {
      {"empty report", peer::text("R"), true},
      {"one entry", peer::text("R\"Bob\" \"" + d + "\" 1 "), true},
      {"not a report", peer::text("T40003"), false},
      {"no terminator", peer::text("R\"Bob\" \"" + d + "\" 1 ", false), false},
      {"cut inside an entry", peer::text("R\"Bob\" \"" + d), false},
      {"short digest", peer::text("R\"Bob\" \"ABC\" 1 "), false},
      {"digest not hexadecimal",
       peer::text("R\"Bob\" \"" + d.substr(1) + "G\" 1 "), false},
      {"kind 3", peer::text("R\"Bob\" \"" + d + "\" 3 "), false},
      {"no space after the kind", peer::text("R\"Bob\" \"" + d + "\" 1"),
       false},
      {"unclosed match text", peer::text("R\"Bob"), false},
      {"too long", peer::text("R" + std::string(1100, ' ')), false},
  };
  for (const auto &c : cases) {
    const peer::RegisteredNamesReport r =
        peer::decodeRegisteredNames(c.message);
    EXPECT_EQ(r.ok, c.ok) << c.what << ": " << r.error;
  }
}

}  // namespace
}  // namespace regnamestest
