// The subsystems behind these calls are built on the console; until one is
// in, its calls are empty here, and the command stays recognised.
#include "console/subsystem_calls.h"

#include "channel/channel.h"
#include "cvars/queries.h"
#include "cvars/rules.h"
#include "master/name_resolution.h"
#include "master/web_update.h"
#include "regnames/regnames.h"
#include "screenshot/screenshot.h"

namespace qx::console {

using channel::Request;

void requestPlayerList(QxGameInterface *gi, const char *text) {
  channel::sendRequest(gi, Request::kPlayerList, text);
}
void requestPowerInfo(QxGameInterface *gi, const char *text) {
  channel::sendRequest(gi, Request::kPower, text);
}
void requestKickVote(QxGameInterface *gi, const char *slot) {
  channel::sendRequest(gi, Request::kKick, slot);
}
void requestCvarValue(QxGameInterface *gi, const char *name) {
  channel::sendRequest(gi, Request::kVariableValue, name);
}
void requestAdminList(QxGameInterface *gi, const char *text) {
  channel::sendRequest(gi, Request::kAdminList, text);
}
void requestServerRelay(QxGameInterface *gi, const char *text) {
  channel::sendRequest(gi, Request::kReport, text);
}
void requestRemoteConsole(QxGameInterface *gi, const char *text) {
  channel::sendRequest(gi, Request::kRcon, text);
}
void requestPrefixed(QxGameInterface *gi, const char *line) {
  channel::sendRequest(gi, Request::kRawText, line);
}

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

void setScreenshotOptions(const char *text) {
  screenshot::setScreenshotOptions(text);
}
void takeLocalScreenshot() { screenshot::takeLocalScreenshot(); }

void addRegisteredName(QxGameInterface *gi, const char *match,
                       const char *password, const char *kind, int save) {
  regnames::addRegisteredName(gi, match, password, kind, save);
}
void deleteRegisteredName(QxGameInterface *gi, int32_t slot) {
  regnames::deleteRegisteredName(gi, slot);
}
void listRegisteredNames(QxGameInterface *) { regnames::listRegisteredNames(); }
void loadRegisteredNamesFile(QxGameInterface *gi) {
  regnames::loadRegisteredNamesFile(gi);
}
void rewriteRegisteredNamesFile(QxGameInterface *gi) {
  regnames::saveRegisteredNamesFile(gi);
}

void resolveLogAddress(QxGameInterface *gi) { master::resolveLogAddress(gi); }

void startWebUpdate(QxGameInterface *gi) { master::webUpdate(gi, 1); }

}  // namespace qx::console
