// Distress reports: the 30-second limit, the server report from the fifth
// event on, and the notices to the master servers.
#include <gtest/gtest.h>

#include <cstring>

#include "module_fixture.h"

namespace moduletest {
namespace {

class DistressTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    qx::master::State &m = client().master;
    const int32_t kinds[] = {0, 1, 2, 7};
    m.entryCount = 4;
    for (int i = 0; i < 4; ++i) {
      m.entries[i].kind = kinds[i];
      m.entries[i].port = 16567 + i;
      std::snprintf(m.entries[i].address, sizeof m.entries[i].address,
                    "10.0.0.%d", i + 1);
    }
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

TEST_F(DistressTest, MasterServersOfKind2AndAboveHearOfIt) {
  report("x");
  ASSERT_EQ(host.sentOob.size(), 2u);
  EXPECT_EQ(host.sentOob[0].address, "10.0.0.3");
  EXPECT_EQ(host.sentOob[0].port, 16569);
  EXPECT_EQ(host.sentOob[1].address, "10.0.0.4");
  const std::string notice = "qxdistress C n0nce!!";
  EXPECT_EQ(host.sentOob[0].bytes,
            Bytes(notice.c_str(), notice.c_str() + notice.size() + 1));

  // Not on a LAN.
  host.sentOob.clear();
  client().settings.lan = 1;
  host.advance(30000);
  report("y");
  EXPECT_TRUE(host.sentOob.empty());
  EXPECT_EQ(client().update.modules.distressCount, 2);
}

}  // namespace
}  // namespace moduletest
