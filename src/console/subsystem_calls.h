// Calls from the console into subsystems that own the work: player requests
// to the server, variable and binding queries, screenshots, registered names
// and the web update. Each is the one place where a command or directive
// hands over; a call whose subsystem is not in this build does nothing.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::console {

// Requests to the server on the player's behalf; text is the rest of the
// line after the command word.
void requestPlayerList(QxGameInterface *gi, const char *text);     // qx_Plist
void requestPowerInfo(QxGameInterface *gi, const char *text);      // qx_Power
void requestKickVote(QxGameInterface *gi, const char *slot);       // qx_Kick
void requestCvarValue(QxGameInterface *gi, const char *name);      // "BB<name>"
void requestAdminList(QxGameInterface *gi, const char *text);      // QX_ALIST
void requestServerRelay(QxGameInterface *gi, const char *text);    // QX_SREQ
void requestRemoteConsole(QxGameInterface *gi, const char *text);  // QX_RCON
void requestPrefixed(QxGameInterface *gi, const char *line);       // qx_ypg_...

// Variable rules and variable and binding queries.
void listCvarRules(QxGameInterface *gi);  // every rule, no line limit
void searchBindings(QxGameInterface *gi, const char *text);
void searchCvars(QxGameInterface *gi, const char *text);
void listUserCvars(QxGameInterface *gi);
void listChangedCvars(QxGameInterface *gi);

// Screenshots.
void setScreenshotOptions(const char *text);
void takeLocalScreenshot();

// Registered names.
void addRegisteredName(QxGameInterface *gi, const char *match,
                       const char *password, const char *kind, int save);
void deleteRegisteredName(QxGameInterface *gi, int32_t slot);
void listRegisteredNames(QxGameInterface *gi);
void loadRegisteredNamesFile(QxGameInterface *gi);     // after qx_RegNameFn
void rewriteRegisteredNamesFile(QxGameInterface *gi);  // after qx_RegNamePw

// Host-name cache: resolves qx_LogAddr to a numeric address.
void resolveLogAddress(QxGameInterface *gi);

// Web update.
void startWebUpdate(QxGameInterface *gi);

}  // namespace qx::console
