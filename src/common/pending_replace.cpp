#include "common/pending_replace.h"

#include <cstring>

#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "log/log.h"

namespace qx {

namespace {

constexpr const char *kWaiting =
    "%s is in use by another program (system error %d): replaced when free";
constexpr const char *kNotReplaced =
    "Error: cannot replace %s (system error %d)";

PendingReplaces &pending() { return client().pendingReplaces; }

platform::FileReplace attempt(const char *temporary, const char *path,
                              int *error) {
  const ReplaceFunction replace =
      pending().replace ? pending().replace : platform::fileReplace;
  *error = 0;
  return replace(temporary, path, error);
}

PendingReplace *findPending(const char *path) {
  for (PendingReplace &p : pending().slots)
    if (p.temporary[0] && std::strcmp(p.path, path) == 0) return &p;
  return nullptr;
}

PendingReplace *freeSlot() {
  for (PendingReplace &p : pending().slots)
    if (!p.temporary[0]) return &p;
  return nullptr;
}

void forget(PendingReplace &p) { p = PendingReplace{}; }

void giveUp(PendingReplace &p) {
  platform::fileRemove(p.temporary);
  log::printMessage(1, kNotReplaced, p.path, p.error);
  forget(p);
}

}  // namespace

ReplaceResult moveIntoPlace(const char *temporary, const char *path) {
  int error = 0;
  const platform::FileReplace outcome = attempt(temporary, path, &error);
  PendingReplace *waiting = findPending(path);
  if (outcome == platform::FileReplace::Replaced) {
    if (waiting) forget(*waiting);
    return ReplaceResult::kReplaced;
  }
  PendingReplace *slot = waiting ? waiting : freeSlot();
  if (outcome == platform::FileReplace::Busy && slot) {
    if (!waiting) log::printMessage(log::kLogOnly, kWaiting, path, error);
    copyText(slot->temporary, temporary, kPathCapacity - 1);
    copyText(slot->path, path, kPathCapacity - 1);
    slot->attempts = 0;
    slot->lastAttempt = platform::tickCount();
    slot->error = error;
    return ReplaceResult::kPending;
  }
  if (waiting) forget(*waiting);
  platform::fileRemove(temporary);
  log::printMessage(log::kLogOnly, kNotReplaced, path, error);
  return ReplaceResult::kCannotCreate;
}

void discardTemporary(const char *temporary, const char *path, bool opened) {
  PendingReplace *waiting = findPending(path);
  if (waiting && !opened) return;
  if (waiting) forget(*waiting);
  platform::fileRemove(temporary);
}

void retryPendingReplaces(uint32_t now) {
  for (PendingReplace &p : pending().slots) {
    if (!p.temporary[0] || tickDiff(now, p.lastAttempt) < kReplaceRetryInterval)
      continue;
    p.lastAttempt = now;
    ++p.attempts;
    int error = 0;
    const platform::FileReplace outcome = attempt(p.temporary, p.path, &error);
    if (outcome == platform::FileReplace::Replaced) {
      forget(p);
      continue;
    }
    p.error = error;
    if (outcome == platform::FileReplace::Failed ||
        p.attempts >= kReplaceRetryAttempts)
      giveUp(p);
  }
}

void finishPendingReplaces() {
  for (PendingReplace &p : pending().slots) {
    if (!p.temporary[0]) continue;
    int error = 0;
    if (attempt(p.temporary, p.path, &error) != platform::FileReplace::Replaced)
      platform::fileRemove(p.temporary);
    forget(p);
  }
}

}  // namespace qx
