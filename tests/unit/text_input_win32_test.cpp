#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "console/console_platform.h"
#include "console/line_reader.h"

namespace kestrelgate::console {
namespace {

// Lines read through the C runtime's text-mode stream, as standard input is read: the bytes go
// into the file unchanged, and the reading side sees them in text mode.
std::vector<std::string> linesThroughTextStream(const std::string& bytes) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {"<no tmpfile>"};
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
  std::rewind(file);
  _setmode(_fileno(file), _O_TEXT);
  std::unique_ptr<InputStream> input = makeTextInput(file);
  std::vector<std::string> lines;
  std::string text;
  while (readLineFrom(*input, text)) lines.push_back(text);
  std::fclose(file);
  return lines;
}

TEST(TextInputWin32, TheRuntimeFoldsCrLfWhereverThePiecesFall) {
  EXPECT_EQ(linesThroughTextStream("uci\r\nisready\nquit\r\n"),
            (std::vector<std::string>{"uci", "isready", "quit"}));
  for (std::size_t length : {509u, 510u, 511u, 512u, 1021u, 1200u}) {
    const std::string line(length, 'q');
    EXPECT_EQ(linesThroughTextStream(line + "\r\nquit\r\n"),
              (std::vector<std::string>{line, "quit"}))
        << length;
  }
}

TEST(TextInputWin32, ALoneCrStaysInTheLineUnlessItEndsAPiece) {
  EXPECT_EQ(linesThroughTextStream("go\rx\n"), std::vector<std::string>{"go\rx"});
  EXPECT_EQ(linesThroughTextStream("go\r\r\n"), std::vector<std::string>{"go"});
  const std::string head(510, 'h');
  EXPECT_EQ(linesThroughTextStream(head + "\rtail\n"), (std::vector<std::string>{head, "tail"}));
}

TEST(TextInputWin32, TheLastLineNeedsNoLineEndAndTheEndStaysTheEnd) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fputs("isready", file);
  std::rewind(file);
  _setmode(_fileno(file), _O_TEXT);
  std::unique_ptr<InputStream> input = makeTextInput(file);
  std::string text;
  EXPECT_TRUE(readLineFrom(*input, text));
  EXPECT_EQ(text, "isready");
  for (int i = 0; i < 3; ++i) {
    text = "stale";
    EXPECT_FALSE(readLineFrom(*input, text));
    EXPECT_EQ(text, "");
  }
  std::fclose(file);
}

}  // namespace
}  // namespace kestrelgate::console
