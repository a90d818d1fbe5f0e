// The player's commands and the search directives, typed at the game console
// (host event 14).
#include <gtest/gtest.h>

#include <string>

#include "../console/started_client.h"
#include "cvars/rules.h"
#include "host/client_state.h"

namespace {

using CvarCommands = StartedClient;

TEST_F(CvarCommands, CvarListShowsEveryRule) {
  std::string block;
  for (int i = 0; i < 15; ++i)
    block += std::to_string(i) + " v" + std::to_string(i) + " in 1 3\n";
  block += "15";
  qx::cvars::receiveRules(&host.gi, block.data(),
                          static_cast<int>(block.size()));
  type("qx_cvarlist");
  EXPECT_EQ(host.texts.size(), 16u);
  EXPECT_TRUE(host.printed("v14 = \"\" : must be INSIDE 1 to 3 (VIOLATION)"));
  EXPECT_TRUE(host.printed("15 Current Cvar Violations"));
}

TEST_F(CvarCommands, SearchesAndListsAtTheConsole) {
  host.keys[5] = {"F1", "vote yes"};
  host.keys[6] = {"F2", "vote no"};
  host.cvars["cg_fov"] = "110";
  host.cvarDefaults["cg_fov"] = "90";
  host.cvarFlags["my_alias"] = 0x80;
  host.cvars["my_alias"] = "x";
  struct Case {
    const char *line;
    std::vector<std::string> texts;
  } cases[] = {
      {"qx_BindSrch vote",
       {"F1 = vote yes", "F2 = vote no", "\"vote\" found in 2 key bindings"}},
      {"QX_BIND? vote no",
       {"F2 = vote no", "\"vote no\" found in 1 key binding"}},
      {"qx_CvarSrch fov", {"cg_fov", "\"fov\" found in 1 cvar"}},
      {"QX_CVAR? zzz", {"\"zzz\" found in 0 cvars"}},
      {"qx_CvarUser", {"my_alias", "1 User-defined cvar found"}},
      {"qx_CvarChanged", {"cg_fov 110", "1 Changed cvar found"}},
  };
  for (const Case &c : cases) {
    type(c.line);
    EXPECT_EQ(host.texts, c.texts) << c.line;
  }
}

}  // namespace
