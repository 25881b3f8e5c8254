#include "uci/move_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "recording_output.h"

namespace kestrelgate::uci {
namespace {

using namespace std::string_literals;
using fakes::RecordingOutput;

// The serial line as a script of bytes; an empty read is marked by kGap in the script.
constexpr char kGap = '\x01';

struct ScriptedSerial {
  explicit ScriptedSerial(std::string bytes) : script(std::move(bytes)) {}
  std::string operator()() {
    ++reads;
    if (position >= script.size()) throw std::runtime_error("read past the script");
    const char c = script[position++];
    if (c == kGap) return std::string();
    return std::string(1, c);
  }
  std::string script;
  std::size_t position = 0;
  int reads = 0;
};

struct Reader {
  explicit Reader(std::string bytes) : serial(std::move(bytes)) {}
  MoveReply readMove() {
    MoveReader reader([this] { return serial(); }, output,
                      [this] {
                        ++pauses;
                        return true;
                      });
    return reader.readMove().value();
  }
  ScriptedSerial serial;
  RecordingOutput output;
  int pauses = 0;
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
      {"12 o-o o-o-o\r\n", "oo o", "o"},
  };
  for (const Case& c : cases) {
    Reader reader(c.serial);
    const MoveReply reply = reader.readMove();
    EXPECT_EQ(reply.move, c.move) << c.serial;
    EXPECT_EQ(reply.secondMove, c.second) << c.serial;
    EXPECT_EQ(reader.output.wire, "") << c.serial;
    EXPECT_EQ(reader.serial.position, reader.serial.script.size()) << c.serial;
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
  EXPECT_EQ(reader.serial.position, 16u);
  MoveReader again([&] { return reader.serial(); }, reader.output, [] { return true; });
  EXPECT_EQ(again.readMove()->move, "g1f3");
}

TEST(MoveReader, EmptyReadsAddNothingAndPauseEachTime) {
  std::string script;
  script += kGap;
  script += "12 e2";
  script += kGap;
  script += kGap;
  script += "-e4\r";
  script += kGap;
  script += "\n";
  Reader reader(script);
  const MoveReply reply = reader.readMove();
  EXPECT_EQ(reply.move, "e2e4");
  EXPECT_EQ(reader.pauses, 4);
}

TEST(MoveReader, APauseThatSaysTheGuiHasGoneEndsTheWaitWithNoMove) {
  std::string script = "Thinking\r\n12 e2";
  script += kGap;
  script += "-e4\r\n";
  ScriptedSerial serial(script);
  RecordingOutput output;
  int pauses = 0;
  MoveReader reader([&] { return serial(); }, output, [&] { return ++pauses < 1; });
  EXPECT_EQ(reader.readMove(), std::nullopt);
  EXPECT_EQ(pauses, 1);
  EXPECT_EQ(serial.position, 16u);  // up to the empty read, and nothing after it
  EXPECT_EQ(output.wire, "info string Thinking\r\n");
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

TEST(MoveReader, ReadSerialLineDropsCrDashAndLowerCaseXOnly) {
  ScriptedSerial serial("  aXb-x\tc\r\0 \r\n"s);
  RecordingOutput output;
  MoveReader reader([&] { return serial(); }, output, [] { return true; });
  EXPECT_EQ(reader.readSerialLine(), "aXb\tc");
}

}  // namespace
}  // namespace kestrelgate::uci
