// Distress reports: the 30-second limit, the server report from the fifth
// event on, and the notices to the master servers.
#include <gtest/gtest.h>

#include <cstring>

#include "common/text.h"
#include "module_fixture.h"

namespace moduletest {
namespace {

class DistressTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    qx::master::State &m = client().master;
    // Empty, never queried, a dotted address, a name the game has
    // resolved, and a name it has not.
    const struct {
      int32_t kind;
      const char *host;
    } entries[] = {{0, "10.0.0.1"},
                   {1, "10.0.0.2"},
                   {2, "10.0.0.3"},
                   {7, "MASTER.EXAMPLE"}};
    m.entryCount = 4;
    for (int i = 0; i < 4; ++i) {
      m.entries[i] = {};
      m.entries[i].kind = entries[i].kind;
      m.entries[i].port = 16567 + i;
      qx::copyText(m.entries[i].host, entries[i].host, 127);
    }
    host.cvars["qx_isresolved MASTER.EXAMPLE"] = "10.0.0.4";
    std::strcpy(client().host.nonce, "n0nce!!");
  }
  void report(const std::string &text) {
    qx::update::reportDistress(&host.gi, text.c_str());
  }
};

TEST_F(DistressTest, AtMostOneEventEvery30Seconds) {
  report("one");
  report("two");
  EXPECT_EQ(client().update.modules.distressCount, 1);
  host.advance(29999);
  report("three");
  EXPECT_EQ(client().update.modules.distressCount, 1);
  host.advance(1);
  report("four");
  EXPECT_EQ(client().update.modules.distressCount, 2);
}

TEST_F(DistressTest, TheServerHearsFromTheFifthEventOnCutTo1000Characters) {
  const std::string longText(1500, 'x');
  for (int i = 1; i <= 5; ++i) {
    host.clearOutput();
    host.advance(30000);
    report(longText);
    const auto r = repliesOf("distress");
    ASSERT_EQ(r.size(), i < 5 ? 0u : 1u) << i;
    if (i == 5) {
      EXPECT_EQ(r[0].text, std::string(1000, 'x'));
    }
  }
}

TEST_F(DistressTest, MasterServersOfOtherKindsGetTheMasterQuery) {
  report("x");
  ASSERT_EQ(host.sentOob.size(), 2u);
  EXPECT_EQ(host.sentOob[0].address, "10.0.0.3");
  EXPECT_EQ(host.sentOob[0].port, 16569);
  EXPECT_EQ(host.sentOob[1].address, "10.0.0.4");
  EXPECT_EQ(host.sentOob[1].port, 16570);
  const std::string query = "qxmq C n0nce!!";
  for (const auto &sent : host.sentOob)
    EXPECT_EQ(sent.bytes,
              Bytes(query.c_str(), query.c_str() + query.size() + 1));

  // A host the game has not resolved is skipped until it has.
  host.sentOob.clear();
  qx::copyText(client().master.entries[2].host, "LATER.EXAMPLE", 127);
  host.advance(30000);
  report("y");
  ASSERT_EQ(host.sentOob.size(), 1u);
  EXPECT_EQ(host.sentOob[0].address, "10.0.0.4");

  // Not on a LAN.
  host.sentOob.clear();
  client().settings.lan = 1;
  host.advance(30000);
  report("z");
  EXPECT_TRUE(host.sentOob.empty());
  EXPECT_EQ(client().update.modules.distressCount, 3);
}

TEST_F(DistressTest, TheThirdEventStartsAWebUpdateUnlessOnALan) {
  for (int i = 1; i <= 3; ++i) {
    host.advance(30000);
    report("x");
    EXPECT_EQ(host.printed("Attempting QX Web Update"), i == 3) << i;
  }
  qx::client().master.web.lastAttempt = 0;  // no throttle in the way
  host.clearOutput();
  client().settings.lan = 1;
  host.advance(30000);
  report("x");
  EXPECT_FALSE(host.printed("Attempting QX Web Update"));
  EXPECT_EQ(client().update.modules.distressCount, 4);
}

}  // namespace
}  // namespace moduletest
