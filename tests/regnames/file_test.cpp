// The registered-name file: plain and enciphered, written whole, loaded with
// its checks, and files that are damaged, hostile or not the client's.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "regnames_fixture.h"

namespace regnamestest {
namespace {

using qx::regnames::LoadResult;
using List = std::vector<std::pair<std::string, int>>;

class NamesFile : public RegNames {
 protected:
  // Sets the key without the setting's effect (which saves the list).
  void setKey(const std::string &key) {
    qx::copyText(client().settings.regNamePw, key.c_str(),
                 sizeof client().settings.regNamePw - 1);
  }
  LoadResult load(const std::string &name, int clearFirst = 1) {
    host.clearOutput();
    return qx::regnames::loadRegisteredNames(&host.gi, path(name).c_str(),
                                             clearFirst);
  }
  size_t addedLines() const {
    size_t n = 0;
    for (const std::string &t : host.texts)
      n += t.rfind("Added Registered Name Record: ", 0) == 0;
    return n;
  }
};

TEST_F(NamesFile, APlainFileLoadsBackRecordForRecord) {
  type("qx_RegNameFull Bob p");
  type("qx_RegNamePartial \"Clan Tag\" \"two words\"");
  const Record bob = record(0), clan = record(1);
  EXPECT_EQ(
      read("regname.dat"),
      plainFile({{"Bob", "p", "Full"}, {"Clan Tag", "two words", "Partial"}}));
  EXPECT_EQ(load("regname.dat"), LoadResult::Loaded);
  ASSERT_EQ(list().size(), 2u);
  EXPECT_EQ(std::memcmp(&record(0), &bob, sizeof bob), 0);
  EXPECT_EQ(std::memcmp(&record(1), &clan, sizeof clan), 0);
  EXPECT_EQ(host.texts, (std::vector<std::string>{
                            "Added Registered Name Record: Bob",
                            "Added Registered Name Record: Clan Tag"}));
}

TEST_F(NamesFile, WithAKeyTheFileIsEncipheredAtItsOffsets) {
  type("qx_RegNamePw k3y");
  EXPECT_EQ(read("regname.dat"), encipheredFile({}, "k3y"));
  type("qx_RegNameFull Bob p");
  type("qx_RegNamePartial Ann secret");
  const std::vector<Name> names = {{"Bob", "p", "Full"},
                                   {"Ann", "secret", "Partial"}};
  EXPECT_EQ(read("regname.dat"), encipheredFile(names, "k3y"));
  EXPECT_EQ(load("regname.dat"), LoadResult::Loaded);
  EXPECT_EQ(list(), (List{{"Bob", 1}, {"Ann", 2}}));
  // Re-keying: the list loaded under the old key is saved under the new
  // one, and an empty key writes the plain file again.
  type("qx_RegNamePw n3w-key");
  EXPECT_EQ(read("regname.dat"), encipheredFile(names, "n3w-key"));
  type("qx_RegNamePw \"\"");
  EXPECT_EQ(read("regname.dat"), plainFile(names));
}

TEST_F(NamesFile, BadFilesAreRefusedOrReadSafely) {
  const std::string header = "QX_REGNAMES\r\n";
  const std::string bob = "\"Bob\" \"pw\" Full\r\n";
  const std::string key31(31, 'K');
  const std::string huge(10000, 'x');
  const struct {
    const char *what;
    std::string bytes;
    std::string key;
    const char *refusal;  // the reason in "Cannot load <path> - ..."
    List names;
  } cases[] = {
      {"no header", bob, "", "Header Missing", {}},
      {"header cut short", "QX_REGNAMES\r", "", "Header Missing", {}},
      {"header in lower case",
       "qx_regnames\r\n" + bob,
       "",
       "Header Missing",
       {}},
      {"NUL inside the header",
       std::string("QX_REG\0AMES\r\n", 13) + bob,
       "",
       "Header Missing",
       {}},
      {"enciphered file without the key",
       encipheredFile({{"Bob", "pw", "Full"}}, "k3y"),
       "",
       "Header Missing",
       {}},
      {"plain file with a key", header + bob, "k3y", "Invalid RegNamePw", {}},
      {"wrong key",
       encipheredFile({{"Bob", "pw", "Full"}}, "k3y"),
       "k3z",
       "Invalid RegNamePw",
       {}},
      {"key longer than the file",
       "0123456789",
       key31,
       "Invalid RegNamePw",
       {}},
      {"key check cut short",
       encipheredFile({}, "k3y").substr(0, 31),
       "k3y",
       "Invalid RegNamePw",
       {}},
      {"key check alone", encipheredFile({}, key31), key31, nullptr, {}},
      {"the longest key",
       encipheredFile({{"Bob", "pw", "Full"}}, key31),
       key31,
       nullptr,
       {{"Bob", 1}}},
      {"header alone", header, "", nullptr, {}},
      {"lines ending in LF alone",
       header + "Bob pw Full\nAnn x Partial",
       "",
       nullptr,
       {{"Bob", 1}, {"Ann", 2}}},
      {"kind word missing at the end",
       header + bob + "Ann x",
       "",
       nullptr,
       {{"Bob", 1}, {"Ann", 2}}},
      {"quote left open at the end",
       header + bob + "\"Ann\" \"x",
       "",
       nullptr,
       {{"Bob", 1}, {"Ann", 2}}},
      {"quote left open swallows the rest",
       header + "\"Bob\" \"pw Full\r\n",
       "",
       nullptr,
       {{"Bob", 2}}},
      {"NUL bytes between records",
       header + bob + std::string(3, '\0') + "\"Ann\" \"x\" Partial\r\n",
       "",
       nullptr,
       {{"Bob", 1}, {"Ann", 2}}},
      {"a stray word", header + bob + "Extra", "", nullptr, {{"Bob", 1}}},
      {"fields of 10000 characters",
       header + "\"" + huge + "\" \"" + huge + "\" Full\r\n" + huge + " " +
           huge + " " + huge,
       "",
       nullptr,
       {{std::string(32, 'x'), 1}, {std::string(32, 'x'), 2}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    write("regname.dat", c.bytes);
    setKey(c.key);
    const LoadResult result = load("regname.dat");
    EXPECT_EQ(list(), c.names);
    if (c.refusal) {
      EXPECT_EQ(result, LoadResult::Refused);
      EXPECT_EQ(host.texts,
                std::vector<std::string>{"Cannot load " + path("regname.dat") +
                                         " - " + c.refusal});
    } else {
      EXPECT_EQ(result, LoadResult::Loaded);
      EXPECT_FALSE(host.printedPart("Cannot load"));
    }
  }
}

TEST_F(NamesFile, DamagedTriplesPrintTheBlankTextMessage) {
  write("regname.dat", "QX_REGNAMES\r\n\"Bob\" \"\" Full \"\" \"pw\" Full");
  load("regname.dat");
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(host.texts,
            (std::vector<std::string>{
                "Invalid / Blank Match Text (Bob) and/or Password ()",
                "Invalid / Blank Match Text () and/or Password (pw)"}));
}

TEST_F(NamesFile, AMissingOrEmptyFileLoadsNothingSilently) {
  type("qx_RegNameFull Bob pw");
  EXPECT_EQ(load("none.dat"), LoadResult::Absent);
  write("empty.dat", "");
  EXPECT_EQ(load("empty.dat"), LoadResult::Absent);
  EXPECT_TRUE(host.texts.empty());
  EXPECT_TRUE(list().empty());
  // Without clearing, the list keeps what it had.
  qx::regnames::addRegisteredName(&host.gi, "Bob", "pw", "Full", 0);
  EXPECT_EQ(load("none.dat", 0), LoadResult::Absent);
  EXPECT_EQ(list(), (List{{"Bob", 1}}));
}

// The argument list holds 100 arguments: after 33 records the split goes on
// from the 100th argument, also when that one is quoted.
TEST_F(NamesFile, ManyRecordsAreReadInRoundsOf33) {
  for (int total : {33, 34, 35, 67, 1000}) {
    SCOPED_TRACE(total);
    std::vector<Name> names;
    for (int i = 1; i < total; ++i)
      names.push_back({"n" + std::to_string(i), "p" + std::to_string(i),
                       i % 2 ? "Full" : "Partial"});
    names.push_back({"Clan Tag " + std::to_string(total), "two words", "Full"});
    write("regname.dat", plainFile(names));
    load("regname.dat");
    ASSERT_EQ(list().size(), names.size());
    EXPECT_EQ(addedLines(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(list()[i].first, names[i].match);
      EXPECT_STREQ(record(static_cast<int32_t>(i)).password,
                   names[i].password.c_str());
      EXPECT_EQ(list()[i].second, names[i].kind == "Full" ? 1 : 2);
    }
  }
}

TEST_F(NamesFile, FilesAboveTheCapAreRefusedAndKept) {
  const std::string record = "\"Bob\" \"pw\" Full\r\n";
  std::string atCap = "QX_REGNAMES\r\n" + record;
  atCap += std::string(qx::regnames::kMaxFileSize - atCap.size(), ' ');
  write("regname.dat", atCap);
  EXPECT_EQ(load("regname.dat"), LoadResult::Loaded);
  EXPECT_EQ(list(), (List{{"Bob", 1}}));

  write("regname.dat", atCap + " ");
  EXPECT_EQ(load("regname.dat"), LoadResult::Refused);
  EXPECT_EQ(host.texts,
            std::vector<std::string>{"Cannot load " + path("regname.dat") +
                                     " - File Too Large"});
  EXPECT_TRUE(list().empty());
  type("qx_RegNameFull Ann x");
  EXPECT_EQ(read("regname.dat").size(), atCap.size() + 1);
}

// The file is replaced only once it has been written whole: when its
// temporary file cannot be made, the player's file stays as it was, the
// player is told, and the server still gets the report.
TEST_F(NamesFile, AFailedWriteKeepsTheOldFileAndStillReports) {
  type("qx_RegNameFull Bob pw");
  const std::string before = read("regname.dat");
  ASSERT_TRUE(qx::platform::makeDirectory(path("regname.dat.qxtmp").c_str()));
  type("qx_RegNameFull Ann x");
  EXPECT_EQ(read("regname.dat"), before);
  EXPECT_EQ(host.texts[0],
            "Error: could not write 2 Registered Name Records "
            "to " +
                path("regname.dat"));
  EXPECT_FALSE(host.printedPart("written to"));
  const auto sent = reports();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].names.size(), 2u);
}

// A file whose names the list does not hold (its key was not set, or no
// server was joined yet) is read before it is replaced, so its names join
// the list; one that cannot be read is never replaced.
TEST_F(NamesFile, AFileIsReadBeforeItIsReplaced) {
  const std::vector<Name> bob = {{"Bob", "pw", "Full"}};
  write("regname.dat", encipheredFile(bob, "old"));
  joinServer("10.9.9.9:27960");
  const std::string missing =
      "Cannot load " + path("regname.dat") + " - Header Missing";
  const std::string notReplaced =
      "Error: " + path("regname.dat") +
      " not replaced - it holds Registered Names that are not loaded";
  EXPECT_TRUE(host.printed(missing));
  type("qx_RegNameFull Ann x");
  EXPECT_EQ(host.texts, (std::vector<std::string>{missing, notReplaced}));
  EXPECT_EQ(reports().size(), 1u);
  type("qx_RegNamePw wrong");
  EXPECT_TRUE(host.printed("Cannot load " + path("regname.dat") +
                           " - Invalid RegNamePw"));
  EXPECT_TRUE(host.printed(notReplaced));
  EXPECT_EQ(read("regname.dat"), encipheredFile(bob, "old"));
  // The right key: the file's names join the one added meanwhile.
  type("qx_RegNamePw old");
  EXPECT_EQ(list(), (List{{"Ann", 1}, {"Bob", 1}}));
  const std::vector<Name> both = {{"Ann", "x", "Full"}, {"Bob", "pw", "Full"}};
  EXPECT_EQ(read("regname.dat"), encipheredFile(both, "old"));
  EXPECT_TRUE(host.printed("2 Registered Name Records written to " +
                           path("regname.dat")));
  // Held now, the file is re-keyed by the next key.
  type("qx_RegNamePw n3w");
  EXPECT_EQ(read("regname.dat"), encipheredFile(both, "n3w"));
  EXPECT_FALSE(host.printedPart("Added"));
}

TEST_F(NamesFile, ANameRegisteredBeforeTheFileIsLoadedJoinsItsNames) {
  // As before the first server: the list is empty and holds no file.
  client().regnames.names.count = 0;
  client().regnames.loadedWhole = 0;
  write("regname.dat", plainFile({{"Bob", "pw", "Full"}}));
  type("qx_RegNamePartial Cat y");
  const std::vector<Name> both = {{"Cat", "y", "Partial"},
                                  {"Bob", "pw", "Full"}};
  EXPECT_EQ(read("regname.dat"), plainFile(both));
  EXPECT_TRUE(host.printed("Added Registered Name Record: Bob"));
  joinServer("10.9.9.9:27960");
  EXPECT_EQ(list(), (List{{"Cat", 2}, {"Bob", 1}}));
}

TEST_F(NamesFile, TheFileNameStaysInsideTheHomeDirectory) {
  for (const char *name :
       {"..\\evil.dat", "../evil.dat", "sub\\..\\..\\evil.dat", "\\evil.dat",
        "C:evil.dat", "\"\"", "com1", "NUL.dat", "lpt9", "regname.dat.",
        "REGNAM~1.DAT", "sub\\con.dat"}) {
    SCOPED_TRACE(name);
    type("qx_RegNameFull Bob pw");
    type(std::string("qx_RegNameFn ") + name);
    const std::string shown = std::string(name) == "\"\"" ? "" : name;
    EXPECT_TRUE(
        host.printed("Error: Invalid Registered Name File (" + shown + ")"));
    EXPECT_TRUE(list().empty());
    type("qx_RegNameFull Ann x");
    EXPECT_EQ(host.texts[0],
              "Error: Invalid Registered Name File (" + shown + ")");
    EXPECT_EQ(reports().size(), 1u);  // the report still goes out
    type("qx_RegNameFn regname.dat");
  }
  EXPECT_EQ(qx::platform::fileOpen((home() + "..\\evil.dat").c_str(),
                                   qx::platform::OpenMode::Read),
            nullptr);
  // A folder below the home directory is fine.
  ASSERT_TRUE(qx::platform::makeDirectory(path("names").c_str()));
  type("qx_RegNameFn names\\mine.dat");
  type("qx_RegNameFull Bob pw");
  EXPECT_EQ(read("names\\mine.dat"), plainFile({{"Bob", "pw", "Full"}}));
}

TEST_F(NamesFile, SettingTheFileNameLoadsThatFile) {
  write("other.dat", plainFile({{"Ann", "x", "Partial"}}));
  type("qx_RegNameFull Bob pw");
  type("qx_RegNameFn other.dat");
  EXPECT_TRUE(host.printed("qx_RegNameFn = other.dat"));
  EXPECT_EQ(list(), (List{{"Ann", 2}}));
  type("qx_RegNameFull Cat y");
  EXPECT_EQ(read("other.dat"),
            plainFile({{"Ann", "x", "Partial"}, {"Cat", "y", "Full"}}));
  EXPECT_EQ(read("regname.dat"), plainFile({{"Bob", "pw", "Full"}}));
}

TEST_F(NamesFile, TheKeyAndTheFileNameAreNeverWrittenToAConfigurationFile) {
  type("qx_RegNameFn names.dat");
  type("qx_RegNamePw s3cretKey");
  type("qx_WriteCfg");
  type("qx_WriteCfg other.cfg");
  for (const char *file : {"qxcl.cfg", "qxcllog.cfg", "other.cfg"}) {
    const std::string text = read(file);
    EXPECT_FALSE(text.empty()) << file;
    EXPECT_EQ(text.find("s3cretKey"), std::string::npos) << file;
    EXPECT_EQ(text.find("RegName"), std::string::npos) << file;
  }
}

}  // namespace
}  // namespace regnamestest
