#pragma once

#include <string>

namespace kestrelgate::link {

// The chess computer's side of the line: the text lines it prints, assembled from its bytes,
// and what each line says.

// A move as the chess computer printed it: up to four characters in the UCI form, and the
// promotion piece printed right after them (Q, R, B or N, in upper case here), or 0.
struct PrintedMove {
  std::string move;
  char piece = 0;

  friend bool operator==(const PrintedMove&, const PrintedMove&) = default;
};

// What the program does with one assembled line from the chess computer.
enum class LineKind {
  Move,       // a move line whose first move answers a "go"
  ShortMove,  // a move line whose first move is under 3 characters: passed over
  Relayed,    // any other line of 2 characters or more: an "info string" line
  Dropped,    // a line of 0 or 1 characters: nothing
};

struct LineVerdict {
  LineKind kind = LineKind::Dropped;
  // The moves of a move line: the first four characters after the move number, and the four
  // after the next column.
  PrintedMove first;
  PrintedMove second;
  // For a first move printed with its promotion piece, the line's other move as it follows the
  // piece: the fixed columns would cut "b7a8R f6g8" into "b7a8" and " f6g".
  PrintedMove afterPiece;
};

// The verdict on one line as a LineAssembler gives it.
LineVerdict judgeLine(const std::string& serialLine);

// Builds the chess computer's lines byte by byte: bit 7 cleared, carriage returns, "-" and "x"
// dropped, a line ended by its line feed and trimmed.
class LineAssembler {
 public:
  // Takes one byte; true when it ended a line, which takeLine() then gives.
  bool take(char byte);
  // The line just ended, filtered and trimmed (possibly empty).
  std::string takeLine();

  // The filtered bytes of the line read so far, and a line to go on with: what another reader
  // of the same port had read of it.
  const std::string& partialLine() const { return line_; }
  void resumeLine(std::string partial) { line_ = std::move(partial); }

 private:
  std::string line_;
};

}  // namespace kestrelgate::link
