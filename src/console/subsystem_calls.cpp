// The subsystems behind these calls are built on the console; until one is
// in, its calls are empty here, and the command stays recognised.
#include "console/subsystem_calls.h"

namespace qx::console {

void requestPlayerList(QxGameInterface *) {}
void requestPowerInfo(QxGameInterface *) {}
void requestKickVote(QxGameInterface *, const char *) {}
void requestCvarValue(QxGameInterface *, const char *) {}
void requestAdminList(QxGameInterface *, const char *) {}
void requestServerRelay(QxGameInterface *, const char *) {}
void requestRemoteConsole(QxGameInterface *, const char *) {}
void requestPrefixed(QxGameInterface *, const char *) {}

void listCvarRules(QxGameInterface *) {}
void searchBindings(QxGameInterface *, const char *) {}
void searchCvars(QxGameInterface *, const char *) {}
void listUserCvars(QxGameInterface *) {}
void listChangedCvars(QxGameInterface *) {}

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
