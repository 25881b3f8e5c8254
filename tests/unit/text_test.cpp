#include "console/text.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrelgate::console {
namespace {

using namespace std::string_literals;

TEST(TrimBlanks, RemovesLeadingBlanksAndTrailingBlanksOrNuls) {
  EXPECT_EQ(trimBlanks("  uci  "), "uci");
  EXPECT_EQ(trimBlanks("go\0\0 \0"s), "go");
  EXPECT_EQ(trimBlanks("    "), "");
  EXPECT_EQ(trimBlanks(""), "");
}

TEST(TrimBlanks, KeepsTabsAndALeadingNul) {
  EXPECT_EQ(trimBlanks("uci\t"), "uci\t");
  EXPECT_EQ(trimBlanks("\tuci"), "\tuci");
  EXPECT_EQ(trimBlanks("\0"
                       "12 e2e4"s),
            "\0"
            "12 e2e4"s);
  EXPECT_EQ(trimBlanks(" \0 a \0"s), "\0 a"s);
}

TEST(CaseConversion, ChangesLettersOnlyAndKeepsLength) {
  EXPECT_EQ(toUpperText("com3:"), "COM3:");
  EXPECT_EQ(toUpperText("/h"), "/H");
  EXPECT_EQ(toLowerText("E2E4"), "e2e4");
  const std::string withNul = "a\0B"s;
  EXPECT_EQ(toUpperText(withNul), "A\0B"s);
  EXPECT_EQ(toLowerText(withNul).size(), 3u);
}

}  // namespace
}  // namespace kestrelgate::console
