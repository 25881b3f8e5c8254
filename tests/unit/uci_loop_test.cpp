#include "uci/uci_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "recording_output.h"

namespace kestrelgate::uci {
namespace {

using fakes::RecordingOutput;

const char* const kUciReply =
    "id name Kestrelgate V1.1\r\n"
    "id author Ostwyndhaven\r\n"
    "option name OwnBook type check default true\r\n"
    "option name MoveAsPv type check default false\r\n"
    "uciok\r\n";

// The GUI's lines, then the end of input; the chess computer's move lines in order.
struct Session {
  std::deque<std::string> commands;
  std::deque<std::string> moves;
  RecordingOutput output;
  int commandReads = 0;
  int moveReads = 0;
  // Output already written, and the GUI's position, when each move was asked for.
  std::vector<std::string> wireAtMoveRead;
  std::vector<std::string> positionAtMoveRead;
  // Once the move lines have run out, the wait for the next one ends because the GUI has gone.
  bool guiGoneWhenMovesRunOut = false;

  std::string run() {
    UciLoop loop(
        [this](std::string& line) {
          ++commandReads;
          if (commands.empty()) {
            line.clear();
            return false;
          }
          line = commands.front();
          commands.pop_front();
          return true;
        },
        output,
        [this](const Position& position) -> std::optional<std::string> {
          ++moveReads;
          wireAtMoveRead.push_back(output.wire);
          positionAtMoveRead.push_back(position.fen());
          if (moves.empty() && guiGoneWhenMovesRunOut) return std::nullopt;
          if (moves.empty()) throw std::runtime_error("no move line left");
          std::string move = moves.front();
          moves.pop_front();
          return move;
        });
    loop.runCommandLoop();
    return output.wire;
  }
};

TEST(UciLoop, AnswersUciIsreadyAndQuitsWithBlanksTrimmed) {
  Session s;
  s.commands = {"uci", "  uci  ", "isready", "   ", "", "quit  ", "isready"};
  EXPECT_EQ(s.run(), std::string(kUciReply) + kUciReply + "readyok\r\n");
  EXPECT_EQ(s.commandReads, 6);  // nothing after quit is read
}

TEST(UciLoop, IgnoresEverythingElseWithoutOutput) {
  Session s;
  s.commands = {"uci\t",
                "UCI",
                "Quit",
                "ucinewgame",
                "position startpos moves e2e4",
                "setoption name OwnBook value false",
                "stop",
                "g",
                "ponderhit",
                "debug on",
                "register later",
                "\tquit",
                "quit"};
  EXPECT_EQ(s.run(), "");
  EXPECT_EQ(s.moveReads, 0);
}

TEST(UciLoop, EveryCommandBeginningWithGoWaitsForAMove) {
  Session s;
  s.commands = {"go", "go infinite", "go wtime 300000 btime 300000", "go ponder", "gox", "quit"};
  for (const char* m : {"a2a3", "b2b3", "c2c3", "d2d3", "e2e3"}) s.moves.push_back(m);
  EXPECT_EQ(s.run(),
            "bestmove a2a3\r\nbestmove b2b3\r\nbestmove c2c3\r\nbestmove d2d3\r\n"
            "bestmove e2e3\r\n");
  EXPECT_EQ(s.moveReads, 5);
  EXPECT_EQ(s.output.requests[0], "bestmove ");
  EXPECT_EQ(s.output.requests[1], "a2a3");
}

TEST(UciLoop, CommandsSentDuringAWaitAreAnsweredAfterIt) {
  Session s;
  s.commands = {"go", "isready", "stop", "quit"};
  s.moves = {"e2e4"};
  EXPECT_EQ(s.run(), "bestmove e2e4\r\nreadyok\r\n");
  ASSERT_EQ(s.wireAtMoveRead.size(), 1u);
  EXPECT_EQ(s.wireAtMoveRead[0], "");
}

TEST(UciLoop, TheEndOfInputEndsTheLoopWithoutOutput) {
  Session s;
  s.commands = {"isready"};
  EXPECT_EQ(s.run(), "readyok\r\n");
  EXPECT_EQ(s.commandReads, 2);
}

TEST(UciLoop, TheGuiGoingAwayDuringAGoEndsTheLoopWithoutAnAnswer) {
  Session s;
  s.guiGoneWhenMovesRunOut = true;
  s.commands = {"go", "go", "go", "isready"};
  s.moves = {"e2e4", "e7e5"};
  EXPECT_EQ(s.run(), "bestmove e2e4\r\nbestmove e7e5\r\n");
  EXPECT_EQ(s.moveReads, 3);
  EXPECT_EQ(s.commandReads, 3);  // nothing after that go is read
}

// With MoveAsPv set, each bestmove has an info line before it that names the move as the
// principal variation (with a score, which Scid needs to read it); off again, none.
TEST(UciLoop, MoveAsPvPutsTheMoveInAnInfoLineBeforeEachBestmove) {
  Session s;
  s.commands = {"setoption name MoveAsPv value true",  "go", "go",
                "setoption name moveaspv value FALSE", "go", "setoption name MoveAsPv",
                "setoption name OwnBook value true",   "go", "quit"};
  s.moves = {"e2e4", "e7e5", "g1f3", "b8c6"};
  EXPECT_EQ(s.run(),
            "info score cp 0 pv e2e4\r\nbestmove e2e4\r\n"
            "info score cp 0 pv e7e5\r\nbestmove e7e5\r\n"
            "bestmove g1f3\r\nbestmove b8c6\r\n");
}

// Each go's move is answered on the position the GUI's last "position" command left, which
// gets no reply; a command that cannot be followed leaves no position, a look-alike changes
// nothing.
TEST(UciLoop, EachGoIsAskedWithTheGuisPosition) {
  Session s;
  s.commands = {"go", "position startpos moves e2e4",
                "go", "positionx startpos",
                "go", "position fen 8/8/8 w",
                "go", "  position   fen 4k3/1P6/8/8/8/8/8/4K3 w - - 0 40  ",
                "go", "quit"};
  s.moves = {"e2e4", "e7e5", "g1f3", "b8c6", "b7b8q"};
  EXPECT_EQ(s.run(),
            "bestmove e2e4\r\nbestmove e7e5\r\nbestmove g1f3\r\nbestmove b8c6\r\n"
            "bestmove b7b8q\r\n");
  const std::string afterE4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b";
  EXPECT_EQ(s.positionAtMoveRead,
            (std::vector<std::string>{"", afterE4, afterE4, "", "4k3/1P6/8/8/8/8/8/4K3 w"}));
}

}  // namespace
}  // namespace kestrelgate::uci
