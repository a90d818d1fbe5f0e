// The master list: up to four master servers, each with its host and port,
// up to two mirrors and the module versions it vouches for. It starts from
// four built-in entries, is replaced by qxcl.db when that file can be read,
// and grows through master list replies, content transfers and web updates.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "common/heap.h"
#include "master/master_state.h"
#include "qx/game_interface.h"

namespace qx::master {

constexpr const char *kCorruptedBuffer = "ERROR: Corrupted Data Buffer";

// Parses master list text into up to four fresh entries. length counts the
// text and its terminator; a text with a zero byte before its end is
// refused. The text is upper-cased and split in place. Hosts that contain a
// '.' are resolved (resolveHost). Returns null, or an error text.
const char *parseMasterList(QxGameInterface *gi, char *text, int32_t length,
                            Entry *entries, int32_t *count);

// Merges one parsed entry into the master list. Without apply it only
// checks: -1 when a module version it lists is known with another size or
// digests, 1 when it holds anything new, else 0. With apply it changes the
// list's entry of the same kind (or appends the entry) and returns 1 when
// something changed.
int mergeEntry(QxGameInterface *gi, const Entry &entry, bool apply);

enum class MergeOutcome { Conflict, Unchanged, Changed };

// Merges the entries of State::parsed (check, then apply each) and saves the
// master list when it changed. A conflict stops at that entry.
MergeOutcome mergeParsed(QxGameInterface *gi);

// Writes the master list (qxcl.db layout) to path, whole or not at all.
bool saveMasterList(const char *path);
// Saves it as qxcl.db in the home directory.
bool saveMasterListFile();

// Start-up: the built-in entries, then qxcl.db in their place when it can
// be read; when it cannot, the built-in list is written to it.
void loadMasterList(QxGameInterface *gi);

// Handler of '1' packets: body XOR-ed with the client nonce.
void masterListReply(QxGameInterface *gi, const uint8_t *body, int length);

// Logs the outcome of merging an update from source ("Master Server",
// "Web Update", ...); an unchanged list is noted at most every 4000 ms
// unless always is set.
void noteMergeOutcome(MergeOutcome outcome, const char *source, bool always);

// A text file read whole and terminated; its buffer is freed with it.
struct TextFile {
  char *text = nullptr;
  int32_t length = 0;  // bytes read, without the terminator
  TextFile() = default;
  TextFile(const TextFile &) = delete;
  TextFile &operator=(const TextFile &) = delete;
  ~TextFile() { heap::release(text); }
};

// Reads the file at path whole (at most protocol::kContentMaxSize bytes).
// False when it cannot be opened, is larger, or no memory is left.
bool readTextFile(const char *path, TextFile &file);

// The first master list entry whose table for moduleKind ('A' agent, 'C'
// client, 'S', any case) and platformLetter ('w', 'l', ..., any case) lists
// version; null when none does.
const ModuleRecord *findModule(char moduleKind, char platformLetter,
                               int32_t version);

}  // namespace qx::master
