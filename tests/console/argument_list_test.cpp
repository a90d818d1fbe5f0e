// Splitting a line into arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/argument_list.h"

using namespace qx::console;

namespace {

std::vector<std::string> words(const char *text) {
  std::string copy = text;
  ArgumentList list;
  split(list, copy.data(), true);
  std::vector<std::string> out;
  for (int i = 0; i < list.argc; ++i) out.push_back(arg(list, i));
  release(list);
  EXPECT_EQ(copy, text) << "release restores the source";
  return out;
}

using Words = std::vector<std::string>;

TEST(ArgumentList, SplitsByBlanksAndQuotes) {
  struct Case {
    const char *text;
    Words expected;
  } cases[] = {
      {"", {}},
      {" \t\r\n", {}},
      {"a", {"a"}},
      {"  one\ttwo\r\nthree  ", {"one", "two", "three"}},
      {"a \"\" b", {"a", "", "b"}},
      {"\"two words\" x", {"two words", "x"}},
      {"\"unclosed quote", {"unclosed quote"}},
      {"\"ab\"cd", {"ab", "cd"}},
      {"a\"b c", {"a\"b", "c"}},
      {"end \"\"", {"end", ""}},
  };
  for (const Case &c : cases) EXPECT_EQ(words(c.text), c.expected) << c.text;
}

TEST(ArgumentList, WithoutTerminatingEachArgumentLeadsToTheRest) {
  const char *text = "qx_cvarsrch foo bar";
  ArgumentList list;
  split(list, text);
  ASSERT_EQ(list.argc, 3);
  EXPECT_STREQ(arg(list, 1), "foo bar");
  EXPECT_EQ(list.length[1], 3);
  EXPECT_STREQ(arg(list, 3), "");
  EXPECT_STREQ(arg(list, -1), "");
  EXPECT_STREQ(arg(list, 100), "");
}

TEST(ArgumentList, TerminateAllCutsAndReleaseRestores) {
  char text[] = "name \"a b\" pw";
  ArgumentList list;
  split(list, text, false);
  terminateAll(list);
  EXPECT_STREQ(arg(list, 1), "a b");
  EXPECT_STREQ(arg(list, 2), "pw");
  release(list);
  EXPECT_STREQ(text, "name \"a b\" pw");
}

TEST(ArgumentList, KeepsTheFirstHundredArguments) {
  std::string text;
  for (int i = 0; i < 150; ++i) text += std::to_string(i) + " ";
  ArgumentList list;
  split(list, text.c_str());
  ASSERT_EQ(list.argc, kMaxArguments);
  EXPECT_EQ(std::string(arg(list, 99), 2), "99");
}

}  // namespace
