#include "console/line_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/console_channel.h"
#include "scripted_input.h"

namespace kestrelgate::console {
namespace {

using namespace std::string_literals;
using fakes::ScriptedInput;

// Every line until the input has ended.
std::vector<std::string> allLines(const std::string& input) {
  ScriptedInput stream(input);
  std::vector<std::string> lines;
  std::string text;
  while (readLineFrom(stream, text)) lines.push_back(text);
  return lines;
}

TEST(LineReader, LineEndsAreNotPartOfTheText) {
  EXPECT_EQ(allLines("uci\n"), std::vector<std::string>{"uci"});
  EXPECT_EQ(allLines("uci\r\n"), std::vector<std::string>{"uci"});
  EXPECT_EQ(allLines("\n"), std::vector<std::string>{""});
  EXPECT_EQ(allLines("isready"), std::vector<std::string>{"isready"});
  EXPECT_EQ(allLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(LineReader, ACrInsideALineStaysAndALoneCrAtTheEndEndsIt) {
  EXPECT_EQ(allLines("go\rx\n"), std::vector<std::string>{"go\rx"});
  EXPECT_EQ(allLines("go\r"), std::vector<std::string>{"go"});
}

TEST(LineReader, LongLinesAreJoinedAcrossPieces) {
  for (std::size_t length : {510u, 511u, 512u, 1022u, 1200u, 100000u}) {
    std::string line;
    for (std::size_t i = 0; i < length; ++i) line.push_back(static_cast<char>('a' + i % 26));
    const auto lines = allLines(line + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u) << length;
    EXPECT_EQ(lines[0], line) << length;
    EXPECT_EQ(lines[1], "next") << length;
  }
}

TEST(LineReader, ALoneCrAsThe511thByteEndsTheLine) {
  const std::string head(510, 'h');
  const auto lines = allLines(head + "\rtail\n");
  EXPECT_EQ(lines, (std::vector<std::string>{head, "tail"}));
}

TEST(LineReader, NulBytesAtThePieceEndAreDroppedButNotInside) {
  EXPECT_EQ(allLines("ab\0cd\n"s), std::vector<std::string>{"ab\0cd"s});
  EXPECT_EQ(allLines("ab\0\0\n"s), std::vector<std::string>{"ab\0\0"s});
  EXPECT_EQ(allLines("ab\0\0"s), std::vector<std::string>{"ab"});
}

TEST(LineReader, TheEndOfInputIsToldApartFromAnEmptyLineAndStays) {
  ScriptedInput stream("isready");
  std::string text = "old";
  EXPECT_TRUE(readLineFrom(stream, text));
  EXPECT_EQ(text, "isready");
  for (int i = 0; i < 3; ++i) {
    text = "old";
    EXPECT_FALSE(readLineFrom(stream, text));
    EXPECT_EQ(text, "");
  }
}

TEST(ConsoleChannel, ReadsLinesAndRemembersTheEndOfInput) {
  ScriptedInput stream("uci\n");
  ConsoleChannel channel(ConsoleMode::Input, stream);
  std::string text;
  EXPECT_EQ(channel.readLine(text), IoResult::Ok);
  EXPECT_EQ(text, "uci");
  EXPECT_FALSE(channel.inputEnded());
  EXPECT_EQ(channel.readLine(text), IoResult::Ok);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(channel.inputEnded());

  EXPECT_EQ(channel.close(), IoResult::Ok);
  text = "unchanged";
  EXPECT_EQ(channel.readLine(text), IoResult::IllegalRequest);
  EXPECT_EQ(text, "unchanged");
}

}  // namespace
}  // namespace kestrelgate::console
