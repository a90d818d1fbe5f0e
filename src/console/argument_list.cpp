#include "console/argument_list.h"

namespace qx::console {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

void split(ArgumentList &list, char *text, bool terminate) {
  list.argc = 0;
  list.terminate = terminate ? 1 : 0;
  if (!text) return;
  char *p = text;
  while (list.argc < kMaxArguments) {
    while (isBlank(*p)) ++p;
    char *begin = p;
    char *end;
    if (*p == '"') {
      begin = ++p;
      while (*p && *p != '"') ++p;
      end = p;
    } else {
      while (*p && !isBlank(*p)) ++p;
      end = p;
      if (end == begin) break;  // the end of the text
    }
    const int i = list.argc++;
    list.start[i] = begin;
    list.length[i] = static_cast<int32_t>(end - begin);
    list.following[i] = *end;
    if (terminate) *end = '\0';
    if (list.following[i] == '\0') break;
    p = end + 1;  // past the closing quote or the separator
  }
}

void split(ArgumentList &list, const char *text) {
  // Never written to: terminate is off.
  split(list, const_cast<char *>(text), false);
}

const char *arg(const ArgumentList &list, int i) {
  if (i < 0 || i >= kMaxArguments || i >= list.argc) return "";
  return list.start[i];
}

void terminateAll(ArgumentList &list) {
  for (int i = 0; i < list.argc; ++i) list.start[i][list.length[i]] = '\0';
  list.terminate = 1;
}

void release(ArgumentList &list) {
  if (!list.terminate) return;
  for (int i = 0; i < list.argc; ++i)
    list.start[i][list.length[i]] = list.following[i];
  list.terminate = 0;
}

}  // namespace qx::console
