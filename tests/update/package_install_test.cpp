// Installs from update packages: the client asks for the package, the
// server pushes it (packed as qxpack packs it) through the channel, and the
// next control message unpacks and installs it, checked against the master
// list while qx_Security is on.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "master/master_list.h"
#include "module_fixture.h"
#include "peer/package_peer.h"
#include "peer/transfer_peer.h"
#include "platform/platform.h"
#include "update_fixture.h"

namespace moduletest {
namespace {

// What the master list says of a module: nothing, its own record, or a
// record whose size or digests are another module's.
enum class Listed { No, Matching, OtherDigests, OtherSize };

class PackageTest : public ModuleTest {
 protected:
  // "la001301.htm": the name the client asks for and the server announces.
  static std::string packageName(char module, int32_t version) {
    return peer::packageName(p::kThisPlatform.letter, module, version);
  }

  // Adds an F record for version of module kind ('A', 'C') to the master
  // list, in the text a master server or qxpack writes.
  void list(char kind, int32_t version, const peer::ModuleRecord &record) {
    const char platform = static_cast<char>(p::kThisPlatform.letter - 32);
    std::string text = std::string("<p> S 2 ") + p::kBuiltInMasters[0] +
                       " 16567 0\r\n" +
                       peer::masterListRecord(kind, platform, version, record);
    qx::master::Entry parsed[4];
    int32_t count = 0;
    ASSERT_EQ(qx::master::parseMasterList(&host.gi, text.data(),
                                          static_cast<int32_t>(text.size()) + 1,
                                          parsed, &count),
              nullptr);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(qx::master::mergeEntry(&host.gi, parsed[0], true), 1);
  }

  void list(char kind, int32_t version, const Bytes &module, Listed how,
            const Bytes &other) {
    peer::ModuleRecord record = peer::moduleRecord(module);
    if (how == Listed::No) return;
    if (how == Listed::OtherDigests) {
      const peer::ModuleRecord o = peer::moduleRecord(other);
      record.digest1 = o.digest1;
      record.digest2 = o.digest2;
    }
    if (how == Listed::OtherSize) ++record.size;
    list(kind, version, record);
  }

  // Pushes a file as the reference server does, answering the client's
  // resend requests.
  void push(const std::string &name, const std::string &content) {
    peer::FilePush file(name, Bytes(content.begin(), content.end()));
    std::vector<peer::Outgoing> outgoing = file.messages();
    for (int round = 0; round < 5 && !outgoing.empty(); ++round) {
      const size_t before = host.sent.size();
      for (const peer::Outgoing &o : outgoing)
        if (!o.message.empty()) send(o.message);
      outgoing.clear();
      const std::vector<peer::Unframed> sent = packets();
      for (size_t i = before; i < sent.size(); ++i) {
        const peer::ResendRequest r =
            peer::decodeResendRequest(sent[i].message);
        if (r.valid) outgoing = file.answer(r);
      }
    }
  }
};

struct Case {
  const char *name;  // of the test
  int security;
  int lan;
  Listed listed;
  // What follows the push: the module installed, or the line logged and
  // the package asked for again.
  bool installed;
  const char *logged;
};

const Case kCases[] = {
    {"SecurityOff", 0, 0, Listed::No, true, nullptr},
    {"Listed", 1, 0, Listed::Matching, true, nullptr},
    {"OnALanNotListed", 1, 1, Listed::No, true, nullptr},
    {"ListedWithOtherDigests", 1, 0, Listed::OtherDigests, false,
     "ERROR: Security Mismatch (C)"},
    {"ListedWithAnotherSize", 1, 0, Listed::OtherSize, false,
     "ERROR: Size Mismatch"},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class PackageInstallTest : public PackageTest,
                           public testing::WithParamInterface<Case> {};

INSTANTIATE_TEST_SUITE_P(Modules, PackageInstallTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

TEST_P(PackageInstallTest, AgentFromAPushedPackage) {
  const Case &c = GetParam();
  const Bytes agent = updatetest::readBytes(QX_BUILT(QX_AGENT_1301));
  const Bytes other = updatetest::readBytes(QX_BUILT(QX_AGENT_1300));
  ASSERT_FALSE(agent.empty());
  const std::string name = packageName(p::kModuleAgent, 1301);
  client().settings.security = c.security;
  client().settings.lan = c.lan;
  list('A', 1301, agent, c.listed, other);

  control(wanting(1199, 1301));
  auto requests = repliesOf("agent-package");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(peer::requestedPackage(requests[0]), name);

  push(name, peer::packModule(agent, name));
  ASSERT_TRUE(exists("htm\\" + name));
  host.clearOutput();
  host.advance(3000);
  control(wanting(1199, 1301));
  if (c.installed) {
    EXPECT_EQ(client().host.agentVersion, 1301);
    EXPECT_TRUE(sameFile(agentFile(), QX_BUILT(QX_AGENT_1301)));
    EXPECT_TRUE(sameFile(keptAgent("1301"), QX_BUILT(QX_AGENT_1301)));
    EXPECT_TRUE(repliesOf("agent-package").empty());
    EXPECT_FALSE(host.printedPart("ERROR"));
    // Now every version is current.
    control(wanting(1199, 1301));
    ASSERT_EQ(repliesOf("ready").size(), 1u);
  } else {
    EXPECT_EQ(client().host.agentVersion, 0);
    EXPECT_FALSE(exists(agentFile()));
    EXPECT_FALSE(exists(keptAgent("1301")));  // nothing unchecked is kept
    EXPECT_TRUE(host.printed("Update package " +
                             std::string(client().host.homeDir) + "htm\\" +
                             name + ": " + c.logged));
    EXPECT_EQ(repliesOf("agent-package").size(), 1u);  // asked again
    EXPECT_EQ(client().update.modules.distressCount, 0);
  }
}

TEST_P(PackageInstallTest, ReplacementClientFromAPushedPackage) {
  const Case &c = GetParam();
  const Bytes replacement = updatetest::readBytes(QX_BUILT(QX_CLIENT_1200));
  const Bytes other = updatetest::readBytes(QX_BUILT(QX_AGENT_1300));
  ASSERT_FALSE(replacement.empty());
  const std::string name = packageName(p::kModuleClient, 1200);
  client().settings.security = c.security;
  client().settings.lan = c.lan;
  list('C', 1200, replacement, c.listed, other);

  control(wanting(1200, 0));
  auto requests = repliesOf("client-package");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(peer::requestedPackage(requests[0]), name);
  EXPECT_EQ(requests[0].current, 1199);

  push(name, peer::packModule(replacement, name));
  host.clearOutput();
  host.advance(3001);
  control(wanting(1200, 0));
  EXPECT_EQ(host.gi.replacementReady, c.installed ? 1 : 0);
  EXPECT_EQ(sameFile(clientFile(), QX_BUILT(QX_CLIENT_1200)), c.installed);
  // Once ready, the replacement is not asked for again.
  EXPECT_EQ(repliesOf("client-package").size(), c.installed ? 0u : 1u);
  if (!c.installed) {
    EXPECT_FALSE(exists(keptClient("1200")));
    EXPECT_TRUE(host.printedPart(c.logged));
  }
}

// A package that fails its own checks is logged and asked for again; a
// package the master list does not vouch for is not even opened.
TEST_F(PackageTest, DamagedAndUnlistedPackages) {
  const Bytes agent = updatetest::readBytes(QX_BUILT(QX_AGENT_1301));
  const std::string name = packageName(p::kModuleAgent, 1301);
  client().settings.security = 0;
  control(wanting(1199, 1301));
  std::string page = peer::packModule(agent, name);
  char &digit = page[page.find("<p>", page.find("<p>S") + 1) + 3];
  digit = digit == '0' ? '1' : '0';  // a byte of the compressed data
  push(name, page);
  host.clearOutput();
  host.advance(3000);
  control(wanting(1199, 1301));
  EXPECT_TRUE(host.printedPart("ERROR: Security Mismatch (A)"));
  EXPECT_FALSE(exists(agentFile()));
  EXPECT_EQ(repliesOf("agent-package").size(), 1u);

  // With security on and no record, the good package is refused as a
  // distress, and not asked for.
  push(name, peer::packModule(agent, name));
  client().settings.security = 1;
  host.clearOutput();
  host.advance(3000);
  control(wanting(1199, 1301));
  EXPECT_EQ(client().host.agentVersion, 0);
  EXPECT_TRUE(repliesOf("agent-package").empty());
  EXPECT_EQ(client().update.modules.distressCount, 1);
  EXPECT_FALSE(host.printedPart("Update package"));
}

// A home directory of 234 to 239 characters holds the path of a module
// file (16 characters more) but not its temporary name (6 more again): no
// package is asked for, as none could be placed, and one pushed anyway is
// refused when announced. With 233 characters everything fits.
class LongHomeTest : public PackageTest,
                     public testing::WithParamInterface<size_t> {
 protected:
  void SetUp() override {
    const size_t length = GetParam();  // with the '\' the client adds
    std::string dir = qxtest::makeTempDir();
    while (dir.size() + 1 < length) {
      const size_t room = length - 1 - dir.size();
      dir += "\\" + std::string(room > 100 ? 60 : room - 1, 'd');
      ASSERT_TRUE(qx::platform::makeDirectory(dir.c_str())) << dir.size();
    }
    std::snprintf(host.gi.homeDir, sizeof host.gi.homeDir, "%s", dir.c_str());
    PackageTest::SetUp();
    ASSERT_EQ(std::strlen(client().host.homeDir), length);
    client().settings.security = 0;
  }
  bool fits() const { return GetParam() <= 233; }
};

INSTANTIATE_TEST_SUITE_P(Modules, LongHomeTest,
                         testing::Values(size_t{233}, size_t{234}, size_t{236},
                                         size_t{239}));

TEST_P(LongHomeTest, PackagesAreAskedForOnlyWhenTheyCanBePlaced) {
  control(wanting(1199, 1301));
  EXPECT_EQ(repliesOf("agent-package").size(), fits() ? 1u : 0u);
  control(wanting(1201, 0));
  EXPECT_EQ(repliesOf("client-package").size(), fits() ? 1u : 0u);

  const peer::FilePush pushed(packageName('a', 1301), Bytes(100, 'x'));
  direct(pushed.announcement());
  EXPECT_EQ(client().update.transfer.path[0] != '\0', fits());
  EXPECT_EQ(client().update.transfer.buffer != nullptr, fits());
}

}  // namespace
}  // namespace moduletest
