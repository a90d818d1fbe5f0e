// The command lines of qxmaster, qxserver and qxhost: --help tells an
// operator every option with its default and every scenario command with an
// example that works; bad values, missing files and bad scripts are refused
// at start-up with a message that names them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "fake_host.h"
#include "tool_run.h"

namespace {

using qxtest::contains;
using qxtest::runTool;
using qxtest::ToolRun;

const std::string kMaster = QX_MASTER_PATH;
const std::string kServer = QX_SERVER_PATH;
const std::string kHost = QX_HOST_PATH;

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The options named at the start of the lines of a help text.
std::vector<std::string> helpOptions(const std::string &help) {
  std::vector<std::string> names;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("  --", 0) == 0)
      names.push_back(line.substr(2, line.find(' ', 2) - 2));
  return names;
}

// The example lines of a help text.
std::vector<std::string> helpExamples(const std::string &help) {
  const std::string mark = "example: ";
  std::vector<std::string> examples;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(mark);
    if (at != std::string::npos)
      examples.push_back(line.substr(at + mark.size()));
  }
  return examples;
}

// --help goes to standard output, exits 0, and shows each option the tools
// are run with, together with its default.
TEST(ToolHelp, ListsEveryOptionWithItsDefault) {
  const struct {
    const std::string &tool;
    std::vector<std::pair<std::string, std::string>> options;  // and default
  } cases[] = {
      {kMaster,
       {{"--port N", "default: " + std::to_string(qx::protocol::kMasterPort)},
        {"--reply FILE", "default: none"},
        {"--list FILE", "default: none"},
        {"--file FILE", "default: none"},
        {"--compress", "default: off"},
        {"--queries N", "default: 1"},
        {"--time MS", "default: 60000"}}},
      {kServer,
       {{"--port N", "default: 27960"},
        {"--script FILE", "default: standard input"},
        {"--numbers A,B,C,D", "default: 0,0,0,0"},
        {"--shots DIR", "default: the working directory"},
        {"--packages DIR", "default: none"},
        {"--check", "default: off"}}},
      {kHost,
       {{"--library PATH", "default: ./libqxcl.so"},
        {"--home DIR", "default: the working directory"},
        {"--script FILE", "default: standard input"},
        {"--fps N", "default: 60"},
        {"--server HOST:PORT", "default: none"},
        {"--check", "default: off"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tool);
    const ToolRun r = runTool(c.tool + " --help", false);
    EXPECT_EQ(r.status, 0);
    for (const auto &[option, defaultText] : c.options) {
      const size_t at = r.output.find("  " + option + " ");
      ASSERT_NE(at, std::string::npos) << option << "\n" << r.output;
      // The default is shown before the next option begins.
      const size_t next = r.output.find("\n  -", at);
      EXPECT_TRUE(contains(r.output.substr(at, next - at), defaultText))
          << option << "\n"
          << r.output;
    }
  }
}

// Every option the help names is one the parser takes: given a value that
// is no good (or a stray word after a switch), no tool calls it unknown.
TEST(ToolHelp, NamesOnlyOptionsTheParserTakes) {
  for (const std::string &tool : {kMaster, kServer, kHost}) {
    SCOPED_TRACE(tool);
    const std::vector<std::string> names =
        helpOptions(runTool(tool + " --help").output);
    EXPECT_GE(names.size(), 5u);
    for (const std::string &name : names) {
      if (name == "--help") continue;
      // --check, where there is one, stops a tool before it listens.
      const std::string check = tool == kMaster ? "" : " --check";
      const ToolRun r = runTool(tool + " " + name + " --zz" + check);
      EXPECT_FALSE(contains(r.output, "no option \"" + name + "\""))
          << r.output;
    }
  }
}

// Bad values are refused before anything starts, with a message that names
// the option and the value, and a non-zero status: 2 for a command line that
// cannot run, 1 for a file or folder it names that cannot be used.
TEST(ToolOptions, RefuseBadValues) {
  const qxtest::ScratchDir scratch;
  const std::string &dir = scratch.path;
  writeFile(dir + "/file.txt", "text");
  const struct {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {kMaster + " --port abc", 2,
       "--port: \"abc\" is not a whole number from 0 to 65535"},
      {kMaster + " --port 99999", 2, "--port: 99999 is out of range"},
      {kMaster + " --port -1", 2, "--port: -1 is out of range"},
      {kMaster + " --port 80x", 2, "--port: \"80x\" is not a whole number"},
      {kMaster + " --port ' 80'", 2, "--port: \" 80\" is not a whole number"},
      {kMaster + " --port ''", 2, "--port: \"\" is not a whole number"},
      {kMaster + " --port 99999999999999999999", 2, "out of range"},
      {kMaster + " --queries 0", 2, "--queries: 0 is out of range"},
      {kMaster + " --time 5s", 2, "--time: \"5s\" is not a whole number"},
      {kMaster + " --port", 2, "--port needs a value: --port N"},
      {kMaster + " --prot 80", 2, "there is no option \"--prot\""},
      {kMaster + " --reply " + dir + "/none.txt", 1,
       "cannot read the reply " + dir + "/none.txt: there is no such file"},
      {kMaster + " --list " + dir, 1,
       "cannot read the master list " + dir + ": it is a folder"},
      {kMaster + " --file " + dir + "/none.txt", 1, "cannot read the file"},
      {kServer + " --port 65536", 2, "--port: 65536 is out of range"},
      {kServer + " --numbers 1,2,3", 2,
       "\"1,2,3\" is not four numbers A,B,C,D"},
      {kServer + " --numbers 1,2,3,4x", 2, "\"4x\" is not a whole number"},
      {kServer + " --numbers 1,2,3,2147483648", 2,
       "2147483648 is out of range"},
      {kServer + " --script " + dir + "/none.qxs", 1, "cannot read the script"},
      {kServer + " --shots " + dir + "/none", 1,
       "the --shots folder " + dir + "/none does not exist"},
      {kServer + " --packages " + dir + "/file.txt", 1, "is not a folder"},
      {kHost + " --fps -3", 2,
       "--fps: -3 is out of range: it takes a whole number from 1 to 1000"},
      {kHost + " --fps 60fps", 2, "--fps: \"60fps\" is not a whole number"},
      {kHost + " --server localhost", 2, "\"localhost\" is not HOST:PORT"},
      {kHost + " --server 127.0.0.1:0", 2, "the port 0 is out of range"},
      {kHost + " --script " + dir + "/none.qxs", 1, "cannot read the script"},
      {kHost + " --library " + dir + "/none.so", 1,
       "cannot load " + dir + "/none.so"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = runTool(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_TRUE(contains(r.output, c.says)) << r.output;
  }
}

// The scenario commands: every example the help shows passes the check the
// scripts get at start-up, and so do the demo scripts; a bad line is named
// with its number before the tool starts.
TEST(ToolScripts, HelpExamplesAndDemosPassTheCheck) {
  const qxtest::ScratchDir scratch;
  const std::string &dir = scratch.path;
  const std::string demos = std::string(QX_SOURCE_DIR) + "/tools/";
  const struct {
    const std::string &tool;
    std::vector<std::string> demoDirs;
  } cases[] = {
      {kServer, {demos + "qxserver/demo", demos + "qxmaster/demo"}},
      {kHost, {demos + "qxhost/demo"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tool);
    const std::vector<std::string> examples =
        helpExamples(runTool(c.tool + " --help", false).output);
    ASSERT_GE(examples.size(), 8u);
    std::string script;
    for (const std::string &line : examples) script += line + "\n";
    writeFile(dir + "/examples.qxs", script);
    ToolRun r = runTool(c.tool + " --check --script " + dir + "/examples.qxs");
    EXPECT_EQ(r.status, 0) << r.output;
    for (const std::string &demoDir : c.demoDirs)
      for (const auto &demo : std::filesystem::directory_iterator(demoDir)) {
        r = runTool(c.tool + " --check --script " + demo.path().string());
        EXPECT_EQ(r.status, 0) << demo.path() << r.output;
      }
  }
}

TEST(ToolScripts, RefuseBadLinesAtStartUp) {
  const qxtest::ScratchDir scratch;
  const std::string &dir = scratch.path;
  const struct {
    const std::string &tool;
    const char *script;
    const char *says;
  } cases[] = {
      {kServer, "text hi\nfrob 1\n",
       "line 2: there is no script command \"frob\""},
      {kServer, "# a comment\n\nwait\r\n",
       "line 3: wait needs MS, as in \"wait 1500\""},
      {kServer, "rule rate in\n", "line 1: rule needs NAME KIND A [B]"},
      {kHost, "qx_Ver\n@wiat 100\n",
       "line 2: there is no script command \"@wiat\""},
      {kHost, "@resolve master1.quellor.example\n",
       "line 1: @resolve needs NAME ADDR"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.script);
    writeFile(dir + "/bad.qxs", c.script);
    const ToolRun r = runTool(c.tool + " --check --script " + dir + "/bad.qxs");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(contains(r.output, dir + "/bad.qxs, " + c.says)) << r.output;
  }
}

// A master list reply longer than a client keeps is sent, with a warning at
// start-up; so is a content transfer larger than a client takes.
TEST(ToolMaster, WarnsOfWhatAClientDoesNotKeep) {
  namespace p = qx::protocol;
  const qxtest::ScratchDir scratch;
  const std::string &dir = scratch.path;
  const struct {
    const char *option;
    size_t size;
    const char *warning;  // nullptr: none
  } cases[] = {
      {"--reply", p::kMasterReplyMax, nullptr},
      {"--reply", p::kMasterReplyMax + 1u, "keeps only the first 1400"},
      {"--file", p::kContentMaxSize, nullptr},
      {"--list", p::kContentMaxSize + 1u,
       "refuses a content transfer of more than 1048576 bytes"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + std::to_string(c.size));
    writeFile(dir + "/content.txt", std::string(c.size, 'x'));
    const ToolRun r = runTool(kMaster + " --port 0 --time 1 " + c.option + " " +
                              dir + "/content.txt");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "qxmaster: listening on 127.0.0.1:"))
        << r.output;
    EXPECT_FALSE(contains(r.output, "127.0.0.1:0\n")) << r.output;
    if (c.warning)
      EXPECT_TRUE(contains(r.output, c.warning)) << r.output;
    else
      EXPECT_FALSE(contains(r.output, "warning")) << r.output;
  }
}

}  // namespace
