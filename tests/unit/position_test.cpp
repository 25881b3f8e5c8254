#include "uci/position.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrelgate::uci {
namespace {

using link::PrintedMove;

Position after(const std::string& command) {
  Position position;
  position.follow(command);
  return position;
}

// The board a "position" command leaves, for the moves that do more than move one piece.
TEST(Position, FollowsTheMovesThatMoveMoreThanOnePiece) {
  struct Case {
    const char* what;
    std::string command;
    std::string fen;
  };
  const Case cases[] = {
      {"castling both ways, the rook comes round",
       "position startpos moves e2e4 e7e5 g1f3 b8c6 f1c4 d7d6 e1g1 c8e6 b1c3 d8d7 d2d3 e8c8",
       "2kr1bnr/pppq1ppp/2npb3/4p3/2B1P3/2NP1N2/PPP2PPP/R1BQ1RK1 w"},
      {"en passant takes the pawn beside", "position startpos moves e2e4 a7a6 e4e5 d7d5 e5d6",
       "rnbqkbnr/1pp1pppp/p2P4/8/8/8/PPPP1PPP/RNBQKBNR b"},
      {"a promotion puts its piece, of the side that moved",
       "position fen 8/1P6/8/8/8/8/6p1/K6k w - - 0 1 moves b7b8n g2g1r", "1N6/8/8/8/8/8/8/K5rk w"},
      {"the null move passes the turn", "position startpos moves 0000 e7e5",
       "rnbqkbnr/pppp1ppp/8/4p3/8/8/PPPPPPPP/RNBQKBNR w"},
      {"a FEN with only its first two fields, tabs between words",
       "position\tfen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR\tb",
       "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b"},
      {"startpos without moves", "position startpos",
       "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(after(c.command).fen(), c.fen) << c.what;
  }
}

// What the program cannot follow leaves the position unknown, until the next good command.
TEST(Position, WhatCannotBeFollowedLeavesItUnknown) {
  const char* const commands[] = {
      "position",
      "position startpos moves e7e5",      // not the side to move
      "position startpos moves e3e4",      // from an empty square
      "position startpos moves e2e4x",     // no move
      "position startpos moves e2",        // no move
      "position startpos e2e4",            // no "moves"
      "position fen 8/8/8/8/8/8/8/8",      // no side to move
      "position fen 8/8/8/8/8/8/8/8 x",    // no side to move
      "position fen 8/8/8/8/8/8/8 w",      // seven ranks
      "position fen 8/8/8/8/8/8/8/8/8 w",  // nine ranks
      "position fen 9/8/8/8/8/8/8/8 w",    // a rank of nine
      "position fen 7/8/8/8/8/8/8/8 w",    // a rank of seven
      "position fen 8/8/8/8/8/8/8/7X w",   // no piece
      "position fen 8/8/8/8/8/8/8/8/ w",   // a rank after the last
      "position somewhere",
  };
  for (const char* command : commands) {
    Position position = after("position startpos");
    position.follow(command);
    EXPECT_FALSE(position.known()) << command;
    EXPECT_EQ(position.fen(), "") << command;
    position.follow("position startpos moves e2e4");
    EXPECT_TRUE(position.known()) << command;
  }
  // A line of megabytes costs nothing special: one bad word ends it.
  Position position = after("position startpos moves " + std::string(10 << 20, 'x'));
  EXPECT_FALSE(position.known());
}

// The answer a go gets: a pawn of the side to move that reaches its last rank gets the piece
// printed after the move, or a queen; everything else as printed.
TEST(Position, APromotionIsAnsweredWithItsPiece) {
  const Position whiteToMove = after("position fen 1r5k/1P4P1/8/8/8/8/6p1/K7 w - - 0 40");
  const Position blackToMove = after("position fen 1r5k/1P4P1/8/8/8/8/6p1/K7 b - - 0 40");
  const Position unknown;
  struct Case {
    const Position& position;
    PrintedMove printed;
    std::string answer;
  };
  const Case cases[] = {
      {whiteToMove, {"b7a8"}, "b7a8q"},
      {whiteToMove, {"b7b8", 'R'}, "b7b8r"},
      {whiteToMove, {"g7g8", 'N'}, "g7g8n"},
      {whiteToMove, {"g7h8", 'B'}, "g7h8b"},
      {blackToMove, {"g2g1"}, "g2g1q"},
      {blackToMove, {"g2f1", 'N'}, "g2f1n"},
      // Not a promotion: not a pawn, not the side to move, not the last rank, not a move.
      {whiteToMove, {"b8b1", 'R'}, "b8b1"},
      {whiteToMove, {"g2g1"}, "g2g1"},
      {blackToMove, {"b7a8"}, "b7a8"},
      {whiteToMove, {"a1a2"}, "a1a2"},
      {whiteToMove, {"b7a"}, "b7a"},
      {whiteToMove, {"b7a8q"}, "b7a8q"},
      {unknown, {"b7a8", 'R'}, "b7a8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(answerFor(c.printed, c.position), c.answer) << c.printed.move;
  }
}

}  // namespace
}  // namespace kestrelgate::uci
