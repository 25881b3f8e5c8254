// The built kestrelgate as a GUI sees it: pipes for UCI, a pseudo-terminal for the chess computer.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const std::string kCannotOpen = "Cannot initialise comport\r\n";
const std::string kUciReply =
    "id name Kestrelgate V1.1\r\n"
    "id author Ostwyndhaven\r\n"
    "option name OwnBook type check default true\r\n"
    "option name MoveAsPv type check default false\r\n"
    "uciok\r\n";

// Enough for a read that blocks on the pty to have shown itself if it were not blocking.
constexpr Millis kQuietPeriod{300};

std::vector<std::string> splitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
    lines.push_back(text.substr(start, at - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated rest
  return lines;
}

TEST(E2eCommandLine, UsageRequestsPrintTheTenLinesAndExitZero) {
  // Started side by side: where a start costs a minute (32-bit wine emulated), three cost one.
  const std::vector<const char*> requests{"/?", "/h", "/H"};
  std::vector<std::unique_ptr<Child>> engines;
  for (const char* request : requests)
    engines.push_back(std::make_unique<Child>(engineCommand({request})));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(requests[i]);
    Child& engine = *engines[i];
    ASSERT_TRUE(engine.running());
    ASSERT_EQ(engine.waitExit(), 0);
    const std::string& out = engine.output();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
    const std::vector<std::string> lines = splitCrLf(out);
    ASSERT_EQ(lines.size(), 10u) << out;
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Kestrelgate for Fidelity chess computers");
    EXPECT_TRUE(lines[2].ends_with("Version 1.1")) << lines[2];
    EXPECT_EQ(lines[3], "");
    EXPECT_EQ(lines[4], "Usage: Kestrelgate [/?] Or [/h]");
    EXPECT_EQ(lines[5], "       Kestrelgate [COMx:]");
    EXPECT_EQ(lines[6], "Call without parameters sets COM1:");
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], "e.g.   Kestrelgate             (COM1:)");
    EXPECT_EQ(lines[9], "       Kestrelgate COM2:       (COM2:)");
    // Bare LFs would pass the split above only as part of a line; none may be there.
    for (const std::string& line : lines) EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(E2eCommandLine, PortsThatCannotBeOpenedGiveTheOneLineAndExitZero) {
  // A missing device file, a name without a colon, and the look-alikes of a usage request that
  // are taken as port names.
  for (const char* port : {"/dev/does-not-exist", "com2", "/help", " /?", "-h", "?"}) {
    SCOPED_TRACE(port);
    Child engine(engineCommand({port}));
    ASSERT_TRUE(engine.running());
    engine.sendLine("uci");  // must not be answered
    ASSERT_EQ(engine.waitExit(), 0);
    EXPECT_EQ(engine.output(), kCannotOpen);
  }
}

TEST(E2eCommandLine, AnAbsentComPortGivesTheOneLineAndExitsZero) {
  // COM7 is /dev/ttyS6 natively, and under wine whatever the prefix's com7 names: nothing.
  if (underWine()) {
    std::filesystem::remove(wineDevicePath("com7"));
  } else if (std::filesystem::exists("/dev/ttyS6")) {
    GTEST_SKIP() << "this machine has a /dev/ttyS6";
  }
  Child engine(engineCommand({"COM7:"}));
  ASSERT_TRUE(engine.running());
  engine.sendLine("uci");
  ASSERT_EQ(engine.waitExit(), 0);
  EXPECT_EQ(engine.output(), kCannotOpen);
}

class E2eOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!chessComputer_.ok()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
    engine_ =
        std::make_unique<Child>(engineCommand({enginePortArgument(chessComputer_.devicePath())}));
    ASSERT_TRUE(engine_->running());
  }

  // Ends the session with quit and checks the orderly exit without further output.
  void quit() {
    ASSERT_TRUE(engine_->sendLine("quit"));
    EXPECT_EQ(engine_->waitExit(), 0);
    EXPECT_EQ(engine_->unread(), "");
  }

  FakeChessComputer chessComputer_;
  std::unique_ptr<Child> engine_;
};

TEST_F(E2eOnPty, UciAndIsreadyAreAnsweredByteForByte) {
  engine_->sendLine("uci");
  ASSERT_EQ(engine_->readUntil("uciok\r\n"), kUciReply);
  // Blanks around a command are trimmed; unknown and wrongly cased commands get nothing.
  engine_->sendLine("  isready  ");
  ASSERT_EQ(engine_->readUntil("readyok\r\n"), "readyok\r\n");
  engine_->sendLine("ucinewgame");
  engine_->sendLine("UCI");
  engine_->sendLine("setoption name OwnBook value false");
  engine_->sendLine("");
  engine_->sendLine("uci\r");  // a CR before the LF belongs to the line end
  ASSERT_EQ(engine_->readUntil("uciok\r\n"), kUciReply);
  quit();
}

TEST_F(E2eOnPty, GoWaitsForTheChessComputerAndRelaysItsOtherLines) {
  engine_->sendLine("uci");
  ASSERT_TRUE(engine_->readUntil("uciok\r\n"));
  engine_->sendLine("position startpos");
  engine_->sendLine("go wtime 300000 btime 300000");
  // Commands that come in while the move is awaited are answered after it, in order.
  engine_->sendLine("isready");
  EXPECT_EQ(engine_->readFor(kQuietPeriod), "");

  chessComputer_.print("Level: expert\r\nThinking...\r\n");
  EXPECT_EQ(engine_->readUntil("Thinking...\r\n"),
            "info string Level: epert\r\ninfo string Thinking...\r\n");
  EXPECT_EQ(engine_->readFor(kQuietPeriod), "");

  chessComputer_.print("12 e2-e4 e7-e5\r\n");
  EXPECT_EQ(engine_->readUntil("readyok\r\n"), "bestmove e2e4\r\nreadyok\r\n");

  // The second move answers the next go from memory, even across position commands; a move
  // line printed meanwhile stays unread on the line.
  const std::string nextLine = "13 g1-f3 b8-c6\r\n";
  chessComputer_.print(nextLine);
  engine_->sendLine("position startpos moves e2e4");
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove e7e5\r\n");
  engine_->sendLine("isready");
  ASSERT_TRUE(engine_->readUntil("readyok\r\n"));
  EXPECT_EQ(chessComputer_.waitForUnreadBytes(static_cast<int>(nextLine.size())),
            static_cast<int>(nextLine.size()));

  engine_->sendLine("go infinite");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove g1f3\r\n");
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove b8c6\r\n");
  quit();
}

TEST_F(E2eOnPty, BytesWithBitSevenSetReadAsPlainText) {
  std::string line = "Level: 3\r\n14 d4xe5 d8xd1\r\n";
  for (char& c : line) c = static_cast<char>(static_cast<unsigned char>(c) | 0x80u);
  chessComputer_.print(line);
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readUntil("bestmove d4e5\r\n"), "info string Level: 3\r\nbestmove d4e5\r\n");
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove d8d1\r\n");
  quit();
}

TEST_F(E2eOnPty, ALoneMoveLeavesNoReplyPendingSoTheNextGoWaitsAgain) {
  chessComputer_.print("12 e2-e4\r\n");
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove e2e4\r\n");
  engine_->sendLine("go");
  EXPECT_EQ(engine_->readFor(kQuietPeriod), "");  // not "bestmove " with nothing after it
  chessComputer_.print("13 G1-F3   B8-C6\r\n");
  EXPECT_EQ(engine_->readUntil("\r\n"), "bestmove g1f3\r\n");
  quit();
}

TEST_F(E2eOnPty, TheEndOfInputEndsTheProcessQuietly) {
  engine_->closeInput();
  EXPECT_EQ(engine_->waitExit(), 0);
  EXPECT_EQ(engine_->output(), "");
}

TEST_F(E2eOnPty, TheEndOfInputAfterASessionWritesNothingMore) {
  engine_->sendLine("uci");
  ASSERT_TRUE(engine_->readUntil("uciok\r\n"));
  chessComputer_.print("01 e2-e4 e7-e5\r\n");
  engine_->sendLine("go");
  ASSERT_TRUE(engine_->readUntil("bestmove e2e4\r\n"));
  engine_->closeInput();
  EXPECT_EQ(engine_->waitExit(), 0);
  EXPECT_EQ(engine_->unread(), "");
}

}  // namespace
}  // namespace e2e
