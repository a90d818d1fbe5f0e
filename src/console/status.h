// One-line status reports for the player and the server.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::console {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 199;

// "Quellor Client (v1.199 | A<agent>) Enabled" or "**DISABLED**".
void printVersion(QxGameInterface *gi);
// "Last N Second(s): In=... bytes; Out=... bytes"; restarts the counters.
void printNetStat(QxGameInterface *gi, uint32_t now);
void printHomePath(QxGameInterface *gi);
// "GUID=...": the server-assigned GUID once the server has assigned one,
// else the player GUID.
void printIdentity(QxGameInterface *gi);

}  // namespace qx::console
