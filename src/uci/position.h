#pragma once

#include <array>
#include <string>
#include <string_view>

#include "link/move_line.h"

namespace kestrelgate::uci {

// What the promotion rule needs of the GUI's board: where the pieces stand and who is to move,
// as the GUI's last "position" command left them. A UCI promotion carries its piece (b7a8q),
// and a move without one is illegal in every GUI, while the chess computer prints most
// promotions as the bare move. Nothing here checks legality: it only follows the GUI's moves
// well enough to tell a pawn reaching its last rank.
class Position {
 public:
  // Follows "position startpos [moves ...]" or "position fen <FEN> [moves ...]". A command it
  // cannot follow (a bad FEN, a move from an empty square or of the side not to move, garbage)
  // leaves the position unknown until the next one it can.
  void follow(std::string_view command);

  // Sets the position from a FEN's piece placement and side to move ("w" or "b"); unknown when
  // either is not one.
  void setFen(std::string_view placement, std::string_view side);

  bool known() const { return known_; }

  // Whether the position is the start of a game: the standard start, or one move after it.
  bool opensAGame() const;

  // Whether the move, in coordinates, takes a pawn of the side to move to its last rank.
  bool promotes(std::string_view move) const;

  // The piece placement and the side to move as a FEN begins ("<placement> w"); empty while
  // the position is unknown.
  std::string fen() const;

 private:
  // Applies one move of a "moves" list; false when it cannot be followed.
  bool apply(std::string_view move);

  // Rank 8 first, files a to h: FEN's letters, '.' for an empty square.
  std::array<char, 64> squares_{};
  bool whiteToMove_ = true;
  bool known_ = false;
};

// The answer a go gets for a move the chess computer printed. A move of four characters that
// takes a pawn of the side to move to its last rank on a known position gets its piece in
// lower case: the one printed after it, or else a queen, which nearly every promotion is.
// Every other move is answered as it stands.
std::string answerFor(const link::PrintedMove& printed, const Position& position);

// An answer given to a go that could not take it, as the move the chess computer printed: the
// next go's answer is made anew from it, on that go's position.
link::PrintedMove printedFrom(const std::string& answer);

}  // namespace kestrelgate::uci
