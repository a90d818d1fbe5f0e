// The subsystems behind these calls are built on the console; until one is
// in, its calls are empty here, and the command stays recognised.
#include "console/subsystem_calls.h"

#include "cvars/queries.h"
#include "cvars/rules.h"

namespace qx::console {

void requestPlayerList(QxGameInterface *) {}
void requestPowerInfo(QxGameInterface *) {}
void requestKickVote(QxGameInterface *, const char *) {}
void requestCvarValue(QxGameInterface *, const char *) {}
void requestAdminList(QxGameInterface *, const char *) {}
void requestServerRelay(QxGameInterface *, const char *) {}
void requestRemoteConsole(QxGameInterface *, const char *) {}
void requestPrefixed(QxGameInterface *, const char *) {}

void listCvarRules(QxGameInterface *gi) { cvars::listRules(gi, 0); }
void searchBindings(QxGameInterface *gi, const char *text) {
  cvars::searchBindingsCommand(gi, text);
}
void searchCvars(QxGameInterface *gi, const char *text) {
  cvars::searchVariablesCommand(gi, text);
}
void listUserCvars(QxGameInterface *gi) { cvars::userVariablesCommand(gi); }
void listChangedCvars(QxGameInterface *gi) {
  cvars::changedVariablesCommand(gi);
}

void setScreenshotOptions(const char *) {}
void takeLocalScreenshot() {}

void addRegisteredName(QxGameInterface *, const char *, const char *,
                       const char *, int) {}
void deleteRegisteredName(QxGameInterface *, int32_t) {}
void listRegisteredNames(QxGameInterface *) {}
void loadRegisteredNamesFile(QxGameInterface *) {}
void rewriteRegisteredNamesFile(QxGameInterface *) {}

void resolveLogAddress(QxGameInterface *) {}

void startWebUpdate(QxGameInterface *) {}

}  // namespace qx::console
