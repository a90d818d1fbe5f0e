// Argument list: one line of text split into at most 100 arguments, double
// quotes grouping words. Used by the command processor and by every other
// part of the client that parses a line (configuration lines, rule
// specifications, directive arguments, server replies).
#pragma once

#include <cstdint>

namespace qx::console {

constexpr int kMaxArguments = 100;

struct ArgumentList {
  int32_t argc = 0;       // arguments found, 0..100
  int32_t terminate = 0;  // arguments are cut off in the source text
  // Entries 0..argc-1 are set by split; the rest are left as they were, so
  // that a list costs nothing to set up for each line.
  int32_t length[kMaxArguments];  // characters of each argument
  char *start[kMaxArguments];     // where each starts in the source
  char following[kMaxArguments];  // source character after each one
};

// Splits text into list. Blanks (space, tab, CR, LF) separate arguments; an
// argument that begins with a double quote runs to the next double quote or
// the end of the text, and may be empty. Without terminate each start still
// leads to the rest of the line. With terminate a zero is written after
// every argument; release puts the saved characters back.
void split(ArgumentList &list, char *text, bool terminate);
// Splits text that is never written to (terminate off).
void split(ArgumentList &list, const char *text);

// Argument i, or "" when i is outside 0..99 or the argument is absent.
const char *arg(const ArgumentList &list, int i);

// Writes a zero after every argument; release restores the text.
void terminateAll(ArgumentList &list);
// Puts every saved following character back when the list terminated them.
void release(ArgumentList &list);

}  // namespace qx::console
