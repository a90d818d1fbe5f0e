// Files that could not take their place yet. On Windows a rename fails
// while another program holds the target or the fresh temporary file open
// without delete sharing: a virus scanner looking at a module just written,
// an indexer, a backup tool. The temporary file is kept and the rename is
// tried again in later work frames, until it succeeds or the attempts run
// out; only then is the temporary file removed.
#pragma once

#include <cstdint>

#include "common/paths.h"
#include "platform/platform.h"

namespace qx {

// Replaces waiting at once; a further one fails like any other.
constexpr int kPendingReplaceMax = 8;
// A waiting replace is tried again at most every 500 ms, 40 times: about 20
// seconds, longer than a scanner takes over a file the size of a module.
constexpr uint32_t kReplaceRetryInterval = 500;
constexpr int32_t kReplaceRetryAttempts = 40;

struct PendingReplace {
  char temporary[kPathCapacity];  // empty: the slot is free
  char path[kPathCapacity];
  int32_t attempts;      // attempts after the first
  uint32_t lastAttempt;  // tick
  int32_t error;         // the system's error number of the last refusal
};

using ReplaceFunction = platform::FileReplace (*)(const char *from,
                                                  const char *to, int *error);

struct PendingReplaces {
  PendingReplace slots[kPendingReplaceMax];
  // platform::fileReplace; the tests put a stand-in here to play a busy
  // file on systems whose renames never are.
  ReplaceFunction replace;
};

// Moves the written temporary file to path. Replaced at once, or kPending
// when the file is busy and the rename waits for a later work frame (a
// replace already waiting for path is taken over); on any other failure
// the temporary file is removed and kCannotCreate returned.
ReplaceResult moveIntoPlace(const char *temporary, const char *path);

// The temporary file for path could not be written. A partly written one
// is removed, and with it a replace that waited with it; one that could not
// even be opened leaves a waiting replace of path as it is, as its file
// still holds whole data.
void discardTemporary(const char *temporary, const char *path, bool opened);

// Work-frame step: tries the waiting replaces that are due again.
void retryPendingReplaces(uint32_t now);

// At unload: one last attempt for each waiting replace, and the temporary
// files of those that still fail are removed.
void finishPendingReplaces();

}  // namespace qx
