// Agent and replacement-client modules. The server states the versions it
// wants in control messages ('C'); the client installs them from kept
// copies under dll\ or from update packages under htm\, asks the server for
// packages it lacks, derives the channel key once everything is current,
// and reports distress when it cannot authenticate. Agent orders ('N') are
// passed to the agent's one export `a`.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::update {

// Handler of 'C': text is the message after its code byte.
void controlMessage(QxGameInterface *gi, int length, const uint8_t *text);

// Handler of 'N': a decimal order number, then its argument text.
void agentOrder(QxGameInterface *gi, int length, const uint8_t *text);

// Installs agent version `version` as the agent in use: 1 installed and
// loaded, 0 not possible yet (no package, or the package failed), -1
// refused. retry is 1 for the second attempt after a package was unpacked.
int installAgent(QxGameInterface *gi, int32_t version, int retry);

// Prepares the replacement client of version `version`: 1 ready (the game
// interface's replacement-ready flag is set), 0 not possible yet, -1
// refused.
int installClient(QxGameInterface *gi, int32_t version, int retry);

// Counts one distress event (at most one per 30 s) and tells the server,
// the web update and the master servers as the count grows.
void reportDistress(QxGameInterface *gi, const char *text);

// Loads the agent from the home directory when no agent is loaded, and asks
// it for its version while the version is not known.
void agentVersion(QxGameInterface *gi);

// agentVersion for start-up, which runs outside the frame's fault guard: a
// fault while the agent loads is contained here and reported the same way.
void agentVersionAtStartUp(QxGameInterface *gi);

// Unloads the agent (its handle in the game interface becomes 0).
void unloadAgent(QxGameInterface *gi);

}  // namespace qx::update
