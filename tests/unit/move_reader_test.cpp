#include "uci/move_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "recording_output.h"

namespace kestrelgate::uci {
namespace {

using namespace std::string_literals;
using fakes::RecordingOutput;

// A go of a GUI: its status lines to the GUI's output, its move kept.
struct Go final : WaitingGo {
  explicit Go(RecordingOutput& out) : output(out) {}
  void relay(const std::string& line) override {
    output.writeText("info string ");
    output.writeLine(line);
  }
  bool answer(const std::string& move) override {
    answered = move;
    hasAnswer = true;
    return reaches;
  }
  std::optional<std::string> move() const {
    if (!hasAnswer) return std::nullopt;
    return answered;
  }
  RecordingOutput& output;
  std::string answered;
  bool hasAnswer = false;
  bool reaches = true;  // false: the move cannot reach the GUI, which has gone
};

// A go's move, and the second move of the same line, the pending reply the next go gets.
struct MoveReply {
  std::string move;
  std::string secondMove;
};

// The serial line as a script of bytes, read one at a time, and only while a go waits.
struct Reader {
  explicit Reader(std::string bytes) : script(std::move(bytes)) {}
  // A go asks, and the port is read for it until it has its move or the script ends.
  std::optional<std::string> ask(Go& go) {
    go.hasAnswer = false;
    moves.ask(go);
    while (moves.waiting() && position < script.size()) moves.take(script[position++]);
    return go.move();
  }
  // A go of the one GUI, and its move and the second move of the same line, as the next go
  // gets it at once without a read.
  MoveReply readMove() {
    Go go(output);
    MoveReply reply{ask(go).value(), ""};
    if (moves.pendingReply()) {
      const std::size_t before = position;
      reply.secondMove = ask(go).value();
      EXPECT_EQ(position, before);
    }
    return reply;
  }
  std::string script;
  std::size_t position = 0;
  MoveReader moves;
  RecordingOutput output;
};

std::string withBit7(const std::string& text) {
  std::string out;
  for (char c : text) out.push_back(static_cast<char>(static_cast<unsigned char>(c) | 0x80));
  return out;
}

TEST(MoveReader, TheWorkedExamples) {
  struct Case {
    std::string serial;
    std::string move;
    std::string second;
  };
  const Case cases[] = {
      {"12 e2-e4 e7-e5\r\n", "e2e4", "e7e5"},
      {"13  G1-F3   B8-C6\r\n", "g1f3", "b8c6"},
      {"14 d4xe5 d8xd1\r\n", "d4e5", "d8d1"},
      {"1234\r\n", "1234", ""},
      {"14 E4XD5 D8XD1\r\n", "e4xd", " d8x"},
      {"100 a2-a4 h7-h5\r\n", "a2a4", "h7h5"},
      {"12:34\r\n", "12:3", ""},
      {"12 e2-e4\r\n", "e2e4", ""},
      {"12 e2-e4 e7-e5 rest of the line\r\n", "e2e4", "e7e5"},
      {"12 e2-e4 e7-e5\0\0\r\n"s, "e2e4", "e7e5"},
      // A second move under three characters is no move: nothing is kept for the next go.
      {"12 o-o o-o-o\r\n", "oo o", ""},
  };
  for (const Case& c : cases) {
    Reader reader(c.serial);
    const MoveReply reply = reader.readMove();
    EXPECT_EQ(reply.move, c.move) << c.serial;
    EXPECT_EQ(reply.secondMove, c.second) << c.serial;
    EXPECT_EQ(reader.output.wire, "") << c.serial;
    EXPECT_EQ(reader.position, reader.script.size()) << c.serial;
  }
}

TEST(MoveReader, Bit7IsClearedOnEveryByteIncludingLineEnds) {
  Reader reader(withBit7("Level 3\r\n12 e2-e4 e7-e5\r\n"));
  const MoveReply reply = reader.readMove();
  EXPECT_EQ(reply.move, "e2e4");
  EXPECT_EQ(reply.secondMove, "e7e5");
  EXPECT_EQ(reader.output.wire, "info string Level 3\r\n");
}

TEST(MoveReader, OtherLinesAreRelayedFilteredButNotCollapsed) {
  Reader reader(
      " 9 e2-e4\r\nLevel: expert\r\nDraw - repetition\r\n?\r\n\r\n    \r\n\0"
      "12 a\r\n"
      "12\r\n12 e2-e4 e7-e5\r\n"s);
  const MoveReply reply = reader.readMove();
  EXPECT_EQ(reply.move, "e2e4");
  EXPECT_EQ(reader.output.wire,
            "info string 9 e2e4\r\n"
            "info string Level: epert\r\n"
            "info string Draw  repetition\r\n"
            "info string \0"
            "12 a\r\n"s);
  // The prefix and the text go out as separate requests forming one line.
  EXPECT_EQ(reader.output.requests[0], "info string ");
  EXPECT_EQ(reader.output.requests[1], "9 e2e4");
}

TEST(MoveReader, ATooShortOwnMoveKeepsReading) {
  Reader reader("12 ab\r\n07 -\r\n13 g1-f3\r\n");
  const MoveReply reply = reader.readMove();
  EXPECT_EQ(reply.move, "g1f3");
  EXPECT_EQ(reply.secondMove, "");
}

TEST(MoveReader, StopsAtTheLineFeedAndLeavesTheRestUnread) {
  Reader reader("12 e2-e4 e7-e5\r\n13 g1-f3 b8-c6\r\n");
  reader.readMove();
  EXPECT_EQ(reader.position, 16u);
  Go go(reader.output);
  EXPECT_EQ(reader.ask(go), "g1f3");
}

// A go given up part way through a line (its GUI has gone) takes nothing with it: the bytes
// read of the line stay for the next go, and the port is not read meanwhile.
TEST(MoveReader, AGoGivenUpPartWayLeavesTheLineToTheNext) {
  Reader reader("Thinking\r\n12 e2-e4\r\n");
  Go gone(reader.output);
  reader.moves.ask(gone);
  while (reader.position < 15) reader.moves.take(reader.script[reader.position++]);
  reader.moves.withdraw(gone);
  EXPECT_FALSE(reader.moves.waiting());
  EXPECT_EQ(gone.move(), std::nullopt);
  EXPECT_EQ(reader.output.wire, "info string Thinking\r\n");
  EXPECT_EQ(reader.moves.stock().partial, "12 e2");
  Go next(reader.output);
  EXPECT_EQ(reader.ask(next), "e2e4");
}

// Two gos waiting at once, from two processes: the first to ask is served first, gets the status
// lines read meanwhile and the first move; the other the second move, with no read.
TEST(MoveReader, TheSecondMoveReachesTheOtherWaitingGoAtOnce) {
  Reader reader("Check\r\n05 d1-h5 g8-f6\r\n");
  RecordingOutput blackOutput;
  Go white(reader.output);
  Go black(blackOutput);
  reader.moves.ask(white);
  EXPECT_EQ(reader.ask(black), "g8f6");
  EXPECT_EQ(white.move(), "d1h5");
  EXPECT_EQ(reader.output.wire, "info string Check\r\n");
  EXPECT_EQ(blackOutput.wire, "");
}

// A move that did not reach its go (its GUI went before it had it) is the next go's, before the
// pending reply: dealt and not taken, or given back by another process.
TEST(MoveReader, AMoveThatMissedItsGoAnswersTheNextFirst) {
  Reader reader("05 d1-h5 g8-f6\r\n");
  Go gone(reader.output);
  gone.reaches = false;
  EXPECT_EQ(reader.ask(gone), "d1h5");
  Go next(reader.output);
  EXPECT_EQ(reader.ask(next), "d1h5");
  reader.moves.giveBack({"a2a3"});
  EXPECT_EQ(reader.ask(next), "a2a3");
  EXPECT_EQ(reader.ask(next), "g8f6");
}

// The stock of a process that held the port before comes before what this one has read: its
// moves before the pending reply, its line before the bytes read since.
TEST(MoveReader, AStockTakenInComesBeforeWhatWasReadHere) {
  Reader reader("05 d1-h5 g8-f6\r\n-e4\r\n");
  Go white(reader.output);
  EXPECT_EQ(reader.ask(white), "d1h5");
  reader.moves.takeIn({{{"b1c3"}, {"b8c6"}}, "06 e2"});
  EXPECT_EQ(reader.moves.stock().moves,
            (std::deque<link::PrintedMove>{{"b1c3"}, {"b8c6"}, {"g8f6"}}));
  for (const char* move : {"b1c3", "b8c6", "g8f6", "e2e4"}) EXPECT_EQ(reader.ask(white), move);
}

// A promotion is answered with its piece on the position of the go it is dealt to, and a line
// whose first move is printed with its piece has its other move after that piece.
TEST(MoveReader, APromotionIsAnsweredOnThePositionOfItsGo) {
  const std::string promoting = "position fen 2r3k1/1P3ppp/5n2/8/8/8/5PPP/6K1 w - - 0 30";
  const std::string promoted = "position fen 2R3k1/5ppp/5n2/8/8/8/5PPP/6K1 b - - 0 30";
  struct Case {
    std::string line;
    std::string firstPosition;
    std::string first;
    std::string second;
  };
  const Case cases[] = {
      {"30 b7xc8 f6-e8\r\n", promoting, "b7c8q", "f6e8"},
      {"30 b7xc8R f6-e8\r\n", promoting, "b7c8r", "f6e8"},
      {"30 b7xc8=n f6-e8\r\n", promoting, "b7c8n", "f6e8"},
      // Without the GUI's position, the move as it stands, and the columns as they fall.
      {"30 b7xc8R f6-e8\r\n", "", "b7c8", " f6e"},
      {"30 b7xc8 f6-e8\r\n", "", "b7c8", "f6e8"},
  };
  for (const Case& c : cases) {
    Reader reader(c.line);
    Go white(reader.output);
    white.position.follow(c.firstPosition);
    EXPECT_EQ(reader.ask(white), c.first) << c.line;
    Go black(reader.output);
    black.position.follow(c.firstPosition.empty() ? "" : promoted);
    EXPECT_EQ(reader.ask(black), c.second) << c.line;
  }
}

TEST(MoveReader, ALongRelayedLineArrivesWhole) {
  std::string longLine(70000, 'a');
  longLine[30000] = ' ';
  Reader reader(longLine + "\r\n01 a2-a3 a7-a6\r\n");
  EXPECT_EQ(reader.readMove().move, "a2a3");
  EXPECT_EQ(reader.output.wire, "info string " + longLine + "\r\n");
}

TEST(MoveReader, EachLineGetsTheVerdictItsReadingActsOn) {
  using link::LineKind;
  using link::PrintedMove;
  struct Case {
    std::string line;
    LineKind kind;
    PrintedMove first;
    PrintedMove second;
    PrintedMove afterPiece;
  };
  const Case cases[] = {
      {"12 e2e4 e7e5", LineKind::Move, {"e2e4"}, {"e7e5"}, {}},
      {"1234", LineKind::Move, {"1234"}, {}, {}},
      {"12", LineKind::ShortMove, {"12"}, {}, {}},
      {"12 ab", LineKind::ShortMove, {"ab"}, {}, {}},
      {"Level: 3", LineKind::Relayed, {}, {}, {}},
      {" 9 e2e4", LineKind::Relayed, {}, {}, {}},
      {"?", LineKind::Dropped, {}, {}, {}},
      {"", LineKind::Dropped, {}, {}, {}},
      // A promotion piece right after the move's four characters, in either case, directly or
      // after "=", and the line's other move as it follows the piece.
      {"05 b7a8R f6g8", LineKind::Move, {"b7a8", 'R'}, {" f6g"}, {"f6g8"}},
      {"05 B7A8n  F6G8", LineKind::Move, {"b7a8", 'N'}, {" f6g"}, {"f6g8"}},
      {"31 a7a8=b h2h1=Q", LineKind::Move, {"a7a8", 'B'}, {"b h2"}, {"h2h1", 'Q'}},
      {"40 e5d6 d2c1=N", LineKind::Move, {"e5d6"}, {"d2c1", 'N'}, {}},
      {"40 e5d6 d2c1q+", LineKind::Move, {"e5d6"}, {"d2c1", 'Q'}, {}},
      {"12 e2e4K e7e5", LineKind::Move, {"e2e4"}, {" e7e"}, {}},
      {"12 e2e4=", LineKind::Move, {"e2e4"}, {}, {}},
  };
  for (const Case& c : cases) {
    const link::LineVerdict verdict = link::judgeLine(c.line);
    EXPECT_EQ(verdict.kind, c.kind) << c.line;
    EXPECT_EQ(verdict.first, c.first) << c.line;
    EXPECT_EQ(verdict.second, c.second) << c.line;
    EXPECT_EQ(verdict.afterPiece, c.afterPiece) << c.line;
  }
}

TEST(MoveReader, LinesDropCrDashAndLowerCaseXOnly) {
  link::LineAssembler lines;
  std::vector<std::string> got;
  for (const char c : "  aXb-x\tc\r\0 \r\n"s) {
    if (lines.take(c)) got.push_back(lines.takeLine());
  }
  EXPECT_EQ(got, std::vector<std::string>{"aXb\tc"});
}

}  // namespace
}  // namespace kestrelgate::uci
