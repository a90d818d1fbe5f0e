// What module management needs from the file transfer, the package reader,
// the master list, the web update and the registered names. Every call into
// those subsystems goes through here.
#pragma once

#include <cstdint>

#include "master/master_state.h"
#include "qx/game_interface.h"

namespace qx::update::links {

// Size and digests a module must have, from the master list.
struct Expected {
  uint32_t size;
  char digest1[33];
  char digest2[33];
};

// The record of the first master-list entry that lists this version of a
// module ('A' agent, 'C' client) for this platform; false when none does.
bool expectedModule(char moduleKind, int32_t version, Expected &out);

// Unpacks the update package at packagePath into modulePath, checked
// against expected when given. Null on success, else the reader's error.
const char *unpackPackage(const char *packagePath, const char *modulePath,
                          const Expected *expected);

// True for the reader's answer to a package that is not there at all.
bool packageMissing(const char *error);

// Drops a file transfer that has been idle too long.
void abandonStaleTransfer(uint32_t now);

// Sends the registered-names report to the server.
void reportRegisteredNames(QxGameInterface *gi);

// Starts an automatic web update.
void webUpdate(QxGameInterface *gi);

// The dotted address of a master server; false while it is not resolved.
bool masterAddress(const master::Entry &entry, char address[16]);

}  // namespace qx::update::links
