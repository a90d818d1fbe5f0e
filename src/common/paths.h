// Paths of the client's files. Every file the client touches lives in its
// home directory or below it. A path that does not fit the file object's 255
// characters is never opened: cut short it would name another file.
#pragma once

#include <cstddef>

#include "common/file.h"

namespace qx {

constexpr size_t kPathCapacity = File::kMaxPath + 1;

// The home directory followed by name, into out (kPathCapacity bytes).
// False, with out empty, when the whole path does not fit together with the
// temporary name that replaceFile writes beside it: every path the client
// builds in its home can be replaced whole, so a file that could be read but
// never written (a module, a package) is refused before anything is written.
bool homeFilePath(char *out, const char *name);

// The name rule for every file name or path a remote side, a server
// directive or a file chooses. A name is judged as Windows reads it, on
// every platform, since Windows drops trailing dots and blanks from a name
// ("qxag.dll." is qxag.dll), maps device names to devices ("com1.htm" and
// "nul" are no files), and answers short aliases ("REGNAM~1.DAT"). A part
// (a file or folder name) passes when it
// - is not empty and does not end in '.' or a blank (so "." and ".." fail);
// - holds no control character and none of < > : " / \ | ? *;
// - holds no '~' followed by a digit (a short-name alias);
// - is no device: its text before the first dot, trailing dots and blanks
//   removed, is none of CON, PRN, AUX, NUL, COM0-COM9, LPT0-LPT9, CONIN$,
//   CONOUT$ in any case (nor COM or LPT with a superscript 1, 2 or 3).

// True for one plain file name that passes the name rule: no folder, no
// drive letter, nothing absolute.
bool isPlainFileName(const char *name);

// True for a relative path below the home directory whose every part
// passes the name rule: parts are separated by '\' or '/', none is empty
// (the path neither starts nor ends with a separator) and none is "..".
bool staysInHome(const char *name);

// True when a and b name the same file as Windows reads them: compared
// without case, with '/' taken as '\' and the trailing dots and blanks of
// every part removed. Every deny-list of names compares with this.
bool sameFileName(const char *a, const char *b);

// True for a name that the local update would read: a file by that name in
// the home directory or under its second directory is read as master-list
// text at start-up, so no transfer may write one.
bool isLocalUpdateName(const char *name);

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
