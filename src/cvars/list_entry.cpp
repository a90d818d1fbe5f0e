#include "cvars/list_entry.h"

#include <cstring>

#include "common/numbers.h"
#include "common/text.h"

namespace qx::cvars {

namespace {

constexpr int kEntryText = 256;
// A host that never ends its list must not hold the client forever.
constexpr int32_t kMaxEntries = 65536;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Copies the next word of text (at most maxChars characters) into word and
// moves text past it.
void nextWord(const char *&text, char *word, size_t maxChars) {
  while (isBlank(*text)) ++text;
  const char *start = text;
  while (*text && !isBlank(*text)) ++text;
  const size_t length = static_cast<size_t>(text - start);
  copyText(word, start, length < maxChars ? length : maxChars);
}

}  // namespace

int findListEntry(QxGameInterface *gi, ListEntry &entry) {
  if (!gi || !gi->query) return 0;
  char number[16];
  char answer[kEntryText];
  char word[kEntryText];
  for (int32_t i = 0; i < kMaxEntries; ++i) {
    formatText(number, sizeof number, "%ld", static_cast<long>(i));
    copyText(answer, number, kEntryText - 1);
    gi->query(QX_Q_LIST_ENTRY, answer, kEntryText);
    answer[kEntryText - 1] = '\0';
    if (std::strcmp(answer, number) == 0 || answer[0] == '\\') return 0;
    const char *cursor = answer;
    nextWord(cursor, word, kEntryText - 1);
    if (compareNoCase(word, entry.name) != 0) continue;
    copyText(entry.name, word, sizeof entry.name - 1);
    nextWord(cursor, entry.value, sizeof entry.value - 1);
    nextWord(cursor, word, kEntryText - 1);
    entry.number = static_cast<int32_t>(readDecimal(word));
    return 1;
  }
  return 0;
}

}  // namespace qx::cvars
