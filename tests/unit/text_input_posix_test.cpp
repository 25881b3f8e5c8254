#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "console/line_reader.h"

namespace kestrelgate::console {
namespace {

// Lines read through the real C runtime stream, as standard input is read.
std::vector<std::string> linesThroughStream(const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {"<no tmpfile>"};
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  std::unique_ptr<InputStream> input = makeTextInput(file);
  std::vector<std::string> lines;
  std::string text;
  while (readLineFrom(*input, text)) lines.push_back(text);
  std::fclose(file);
  return lines;
}

TEST(TextInput, CrLfPairsBecomeOneLineEndWhereverThePiecesFall) {
  EXPECT_EQ(linesThroughStream("uci\r\nisready\r\n"), (std::vector<std::string>{"uci", "isready"}));
  for (std::size_t length : {509u, 510u, 511u, 1021u}) {
    const std::string line(length, 'q');
    EXPECT_EQ(linesThroughStream(line + "\r\nquit\r\n"), (std::vector<std::string>{line, "quit"}))
        << length;
  }
}

TEST(TextInput, OnlyTheCrDirectlyBeforeTheLfIsALineEnd) {
  // A text-mode stream turns CR CR LF into CR LF, whose CR the line reader then drops.
  EXPECT_EQ(linesThroughStream("go\r\r\n"), std::vector<std::string>{"go"});
  EXPECT_EQ(linesThroughStream("go\rx\n"), std::vector<std::string>{"go\rx"});
  const std::string head(510, 'h');
  EXPECT_EQ(linesThroughStream(head + "\rtail\n"), (std::vector<std::string>{head, "tail"}));
}

}  // namespace
}  // namespace kestrelgate::console
