// The player's commands: adding, deleting and listing registered names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/record_list.h"
#include "regnames_fixture.h"
#include "test_heap.h"

namespace regnamestest {
namespace {

using Names = RegNames;

TEST_F(Names, FullTrimsBlanksStoresTheDigestAndRewritesTheFile) {
  type("qx_RegNameFull \"  Bob\t \" p");
  ASSERT_EQ(list().size(), 1u);
  EXPECT_STREQ(record(0).match, "Bob");
  EXPECT_STREQ(record(0).password, "p");
  EXPECT_EQ(record(0).kind, 1);
  EXPECT_EQ(record(0).passwordDigest, qx::peer::registeredNameDigest("p"));
  EXPECT_EQ(read("regname.dat"), plainFile({{"Bob", "p", "Full"}}));
  EXPECT_TRUE(host.printed("1 Registered Name Record written to " +
                           path("regname.dat")));
}

TEST_F(Names, PartialWithAQuotedTwoWordMatchText) {
  type("qx_RegNamePartial \"Clan Tag\" secret");
  ASSERT_EQ(list().size(), 1u);
  EXPECT_STREQ(record(0).match, "Clan Tag");
  EXPECT_STREQ(record(0).password, "secret");
  EXPECT_EQ(record(0).kind, 2);
  type("qx_RegNameFull Clan secret");
  EXPECT_TRUE(host.printed("2 Registered Name Records written to " +
                           path("regname.dat")));
}

TEST_F(Names, TextsAreCutAt32CharactersWithoutBlanksLeftAtTheCut) {
  const std::string forty = std::string(32, 'm') + "EXTRA123";
  type("qx_RegNamePartial " + forty + " " + std::string(40, 'p'));
  ASSERT_EQ(list().size(), 1u);
  EXPECT_EQ(std::string(record(0).match), std::string(32, 'm'));
  EXPECT_EQ(std::string(record(0).password), std::string(32, 'p'));
  // A cut that ends in blanks would store a text the file cannot give
  // back: the blanks go, and the digest is that of what is stored.
  type("qx_RegNameFull \"" + std::string(30, 'a') + "   b\" \"" +
       std::string(31, 'q') + " tail\"");
  ASSERT_EQ(list().size(), 2u);
  EXPECT_EQ(std::string(record(1).match), std::string(30, 'a'));
  EXPECT_EQ(std::string(record(1).password), std::string(31, 'q'));
  EXPECT_EQ(record(1).passwordDigest,
            qx::peer::registeredNameDigest(std::string(31, 'q')));
}

TEST_F(Names, OnlyTheWordFullInAnyCaseGivesFull) {
  const struct {
    const char *word;
    int kind;
  } cases[] = {{"Full", 1},    {"FULL", 1}, {"full", 1},  {"fULl", 1},
               {"Partial", 2}, {"", 2},     {"Fulls", 2}, {"Ful", 2},
               {" Full", 2},   {"x", 2},    {"Full ", 2}};
  for (const auto &c : cases) {
    client().regnames.names.count = 0;
    host.clearOutput();
    EXPECT_EQ(qx::regnames::addRegisteredName(&host.gi, "Bob", "pw", c.word, 0),
              1);
    ASSERT_EQ(list().size(), 1u);
    EXPECT_EQ(record(0).kind, c.kind) << "\"" << c.word << "\"";
    EXPECT_TRUE(host.printed("Added Registered Name Record: Bob"));
  }
  // Without saving nothing is written or sent.
  EXPECT_FALSE(exists("regname.dat"));
  EXPECT_TRUE(host.sent.empty());
}

TEST_F(Names, BlankOrUnstorableTextsAreRefused) {
  const struct {
    const char *match;
    const char *password;
    const char *message;
  } cases[] = {
      {"", "pw", "Invalid / Blank Match Text () and/or Password (pw)"},
      {" \t ", "pw", "Invalid / Blank Match Text () and/or Password (pw)"},
      {"Bob", "", "Invalid / Blank Match Text (Bob) and/or Password ()"},
      {" Bob ", "\t", "Invalid / Blank Match Text (Bob) and/or Password ()"},
      {nullptr, nullptr, "Invalid / Blank Match Text () and/or Password ()"},
      // A double quote could not be written between the file's quotes.
      {"Bo\"b", "pw",
       "Invalid / Blank Match Text (Bo\"b) and/or Password (pw)"},
      {"Bob", "p\"", "Invalid / Blank Match Text (Bob) and/or Password (p\")"},
  };
  for (const auto &c : cases) {
    host.clearOutput();
    EXPECT_EQ(qx::regnames::addRegisteredName(&host.gi, c.match, c.password,
                                              "Full", 1),
              0);
    EXPECT_TRUE(list().empty());
    EXPECT_TRUE(host.printed(c.message)) << c.message;
    EXPECT_TRUE(host.sent.empty());
  }
  EXPECT_FALSE(exists("regname.dat"));
  // The same from the console: a line without a password.
  type("qx_RegNameFull Bob");
  EXPECT_TRUE(
      host.printed("Invalid / Blank Match Text (Bob) and/or Password ()"));
}

TEST_F(Names, TheSameMatchTextMayBeRegisteredTwice) {
  type("qx_RegNameFull Bob one");
  type("qx_RegNamePartial Bob two");
  EXPECT_EQ(read("regname.dat"),
            plainFile({{"Bob", "one", "Full"}, {"Bob", "two", "Partial"}}));
}

TEST_F(Names, AListThatCannotGrowKeepsWhatItHas) {
  for (const char *name : {"A", "B", "C", "D"})
    type(std::string("qx_RegNameFull ") + name + " pw");
  ASSERT_EQ(client().regnames.names.capacity, 4);
  const std::string before = read("regname.dat");
  // The list's next block is the one large allocation of the line.
  qxtest::failAllocations([](size_t size) { return size > 256; });
  type("qx_RegNameFull Ann two");
  qxtest::failAllocations(nullptr);
  EXPECT_EQ(host.texts, std::vector<std::string>{
                            "Error: could not add Registered Name Record"});
  EXPECT_EQ(list().size(), 4u);
  EXPECT_EQ(read("regname.dat"), before);
  EXPECT_TRUE(host.sent.empty());
}

TEST_F(Names, ListShowsEverySlotWithDeletedOnes) {
  type("qx_RegNameList");
  EXPECT_EQ(host.texts, std::vector<std::string>{
                            "End of Registered Name List (0 Records)"});
  type("qx_RegNameFull Bob one");
  type("qx_RegNameList");
  EXPECT_EQ(host.texts, (std::vector<std::string>{
                            "1  : \"Bob\" Full",
                            "End of Registered Name List (1 Record)"}));
  type("qx_RegNamePartial \"Clan Tag\" two");
  type("qx_RegNameFull Ann three");
  type("qx_RegNameDel 2");
  type("qx_RegNameList");
  EXPECT_EQ(host.texts,
            (std::vector<std::string>{
                "1  : \"Bob\" Full", "2  : Deleted", "3  : \"Ann\" Full",
                "End of Registered Name List (3 Records)"}));
}

TEST_F(Names, DeletingKeepsSlotNumbersUntilTheNextLoad) {
  type("qx_RegNameFull Bob one");
  type("qx_RegNamePartial Cat two");
  type("qx_RegNameFull Ann three");
  type("qx_RegNameDel 2");
  EXPECT_TRUE(host.printed("Deleting Registered Name \"Cat\""));
  EXPECT_TRUE(host.printed("2 Registered Name Records written to " +
                           path("regname.dat")));
  EXPECT_EQ(list(), (std::vector<std::pair<std::string, int>>{
                        {"Bob", 1}, {"", 0}, {"Ann", 1}}));
  const Record cleared{};
  EXPECT_EQ(std::memcmp(&record(1), &cleared, sizeof cleared), 0);
  EXPECT_EQ(read("regname.dat"),
            plainFile({{"Bob", "one", "Full"}, {"Ann", "three", "Full"}}));
  // A deleted slot can be deleted again; its match text is empty.
  type("qx_RegNameDel 2");
  EXPECT_TRUE(host.printed("Deleting Registered Name \"\""));
  reload();
  EXPECT_EQ(list(),
            (std::vector<std::pair<std::string, int>>{{"Bob", 1}, {"Ann", 1}}));
}

TEST_F(Names, SlotsOutsideTheListAreRefused) {
  type("qx_RegNameFull Bob one");
  type("qx_RegNameFull Ann two");
  const std::string before = read("regname.dat");
  for (const char *slot : {"0", "-1", "3", "2147483648", "4294967297",
                           "-2147483649", "abc", "", "\"\""}) {
    type(std::string("qx_RegNameDel ") + slot);
    EXPECT_EQ(host.texts, std::vector<std::string>{"Invalid Slot # Specified"})
        << slot;
    EXPECT_TRUE(host.sent.empty()) << slot;
  }
  EXPECT_EQ(list().size(), 2u);
  EXPECT_EQ(read("regname.dat"), before);
  // Digits followed by other characters name the slot of the digits.
  type("qx_RegNameDel 2nd");
  EXPECT_TRUE(host.printed("Deleting Registered Name \"Ann\""));
}

}  // namespace
}  // namespace regnamestest
