// Paths of the client's files. Every file the client touches lives in its
// home directory or below it. A path that does not fit the file object's 255
// characters is never opened: cut short it would name another file.
#pragma once

#include <cstddef>

#include "common/file.h"

namespace qx {

constexpr size_t kPathCapacity = File::kMaxPath + 1;

// The home directory followed by name, into out (kPathCapacity bytes).
// False, with out empty, when the whole path does not fit.
bool homeFilePath(char *out, const char *name);

// True for one plain file name that a remote side may choose: not empty,
// no '\', '/' or ':' (so no drive letter, no folder, nothing absolute), and
// neither "." nor "..".
bool isPlainFileName(const char *name);

// True for a relative name that stays inside the home directory: no ".."
// part, no ':' (drive letters, streams), not starting with a separator.
bool staysInHome(const char *name);

// Writes size bytes to path whole or not at all: the data goes to a
// temporary file beside it, which then replaces path. When another program
// holds path or the temporary file open, the temporary file is kept and
// replaces path in a later work frame (common/pending_replace.h); true
// then as well. On any failure the temporary file is removed and what path
// held before is left untouched. The data is handed to the system, not
// committed to disk: files are replaced inside the game's frames, and
// waiting for the disk would hold a frame up for milliseconds.
bool replaceFile(const char *path, const void *data, size_t size);

// replaceFile, telling how it ended. kPending: written, and waiting to
// replace path in a later work frame, so path still holds the old content;
// kCannotCreate: the temporary file could not be created or could not take
// the place of path; kWriteFailed: not every byte reached it.
enum class ReplaceResult { kReplaced, kPending, kCannotCreate, kWriteFailed };
ReplaceResult replaceFileChecked(const char *path, const void *data,
                                 size_t size);

}  // namespace qx
