// The first few words of a line of server text, cut off in place. Words are
// separated by spaces, tabs, CR and LF; a double quote groups words up to
// the next double quote (an empty quoted word counts).
#pragma once

namespace qx::cvars {

struct Words {
  static constexpr int kMax = 8;  // the rest of the line is ignored
  int count = 0;
  const char *start[kMax] = {};

  void split(char *text);
  // The word, or the empty text when it is absent.
  const char *arg(int i) const { return i >= 0 && i < count ? start[i] : ""; }
};

}  // namespace qx::cvars
