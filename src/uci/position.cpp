#include "uci/position.h"

#include <cstddef>
#include <optional>

namespace kestrelgate::uci {
namespace {

constexpr std::string_view kStartPlacement = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR";

// Splits a command into words at blanks and tabs, without copying.
class Words {
 public:
  explicit Words(std::string_view text) : rest_(text) {}
  // The next word; empty once there is none.
  std::string_view next() {
    std::size_t start = 0;
    while (start < rest_.size() && isBlank(rest_[start])) ++start;
    std::size_t end = start;
    while (end < rest_.size() && !isBlank(rest_[end])) ++end;
    const std::string_view word = rest_.substr(start, end - start);
    rest_.remove_prefix(end);
    return word;
  }

 private:
  static bool isBlank(char c) { return c == ' ' || c == '\t'; }
  std::string_view rest_;
};

// A square in coordinates ("e4") as an index of the placement, rank 8 first.
std::optional<int> squareAt(std::string_view text) {
  if (text.size() < 2 || text[0] < 'a' || text[0] > 'h' || text[1] < '1' || text[1] > '8') {
    return std::nullopt;
  }
  return ('8' - text[1]) * 8 + (text[0] - 'a');
}

bool isWhite(char piece) {
  return piece >= 'A' && piece <= 'Z';
}

bool isPromotionPiece(char c) {
  return c == 'q' || c == 'r' || c == 'b' || c == 'n';
}

}  // namespace

void Position::setFen(std::string_view placement, std::string_view side) {
  known_ = false;
  if (side != "w" && side != "b") return;
  int square = 0;
  int file = 0;
  for (const char c : placement) {
    if (c == '/') {
      // A rank ends only once it has all eight files.
      if (file != 8 || square == 64) return;
      file = 0;
    } else if (c >= '1' && c <= '8') {
      file += c - '0';
      if (file > 8) return;
      for (int i = 0; i < c - '0'; ++i) squares_[static_cast<std::size_t>(square++)] = '.';
    } else if (std::string_view("pnbrqkPNBRQK").find(c) != std::string_view::npos) {
      if (++file > 8) return;
      squares_[static_cast<std::size_t>(square++)] = c;
    } else {
      return;
    }
  }
  if (square != 64 || file != 8) return;
  whiteToMove_ = side == "w";
  known_ = true;
}

bool Position::apply(std::string_view move) {
  // The null move some GUIs send passes the turn.
  if (move == "0000") {
    whiteToMove_ = !whiteToMove_;
    return true;
  }
  const std::optional<int> from = squareAt(move);
  const std::optional<int> to = move.size() >= 4 ? squareAt(move.substr(2)) : std::nullopt;
  if (!from || !to || move.size() > 5 || (move.size() == 5 && !isPromotionPiece(move[4]))) {
    return false;
  }
  char& moving = squares_[static_cast<std::size_t>(*from)];
  if (moving == '.' || isWhite(moving) != whiteToMove_) return false;
  const char piece = moving;
  moving = '.';
  const int fromFile = *from % 8;
  const int toFile = *to % 8;
  const bool pawn = piece == 'p' || piece == 'P';
  // En passant: a pawn that moves aside onto an empty square takes the pawn beside it.
  if (pawn && fromFile != toFile && squares_[static_cast<std::size_t>(*to)] == '.') {
    squares_[static_cast<std::size_t>(*from - fromFile + toFile)] = '.';
  }
  // Castling is written as the king's two-square move; the rook comes round it.
  if ((piece == 'k' || piece == 'K') && *from / 8 == *to / 8 &&
      (toFile - fromFile == 2 || fromFile - toFile == 2)) {
    const int rank = *from - fromFile;
    const int rookFrom = rank + (toFile > fromFile ? 7 : 0);
    const int rookTo = rank + (toFile > fromFile ? 5 : 3);
    squares_[static_cast<std::size_t>(rookTo)] = squares_[static_cast<std::size_t>(rookFrom)];
    squares_[static_cast<std::size_t>(rookFrom)] = '.';
  }
  char placed = piece;
  const int toRank = *to / 8;
  if (move.size() == 5) {
    placed = whiteToMove_ ? static_cast<char>(move[4] - 'a' + 'A') : move[4];
  } else if (pawn && (toRank == 0 || toRank == 7)) {
    placed = whiteToMove_ ? 'Q' : 'q';
  }
  squares_[static_cast<std::size_t>(*to)] = placed;
  whiteToMove_ = !whiteToMove_;
  return true;
}

void Position::follow(std::string_view command) {
  known_ = false;
  Words words(command);
  if (words.next() != "position") return;
  std::string_view word = words.next();
  if (word == "startpos") {
    setFen(kStartPlacement, "w");
    word = words.next();
  } else if (word == "fen") {
    const std::string_view placement = words.next();
    setFen(placement, words.next());
    // Castling rights, the en passant square and the move counts are not needed: a pawn taken
    // en passant shows in the move itself.
    do {
      word = words.next();
    } while (!word.empty() && word != "moves");
  }
  if (!known_) return;
  if (word.empty()) return;
  if (word != "moves") {
    known_ = false;
    return;
  }
  for (word = words.next(); !word.empty(); word = words.next()) {
    if (!apply(word)) {
      known_ = false;
      return;
    }
  }
}

bool Position::opensAGame() const {
  Position start;
  start.setFen(kStartPlacement, "w");
  // One move of white's changes two squares of its own half of the board.
  int changed = 0;
  for (std::size_t i = 0; i < squares_.size(); ++i) {
    if (squares_[i] != start.squares_[i]) changed += i < 32 ? 100 : 1;
  }
  return known_ && (whiteToMove_ ? changed == 0 : changed == 2);
}

bool Position::promotes(std::string_view move) const {
  if (!known_ || move.size() != 4) return false;
  const std::optional<int> from = squareAt(move);
  const std::optional<int> to = squareAt(move.substr(2));
  if (!from || !to) return false;
  const char piece = squares_[static_cast<std::size_t>(*from)];
  return whiteToMove_ ? piece == 'P' && *to / 8 == 0 : piece == 'p' && *to / 8 == 7;
}

std::string Position::fen() const {
  if (!known_) return {};
  std::string text;
  for (int rank = 0; rank < 8; ++rank) {
    if (rank > 0) text.push_back('/');
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const char piece = squares_[static_cast<std::size_t>(rank * 8 + file)];
      if (piece == '.') {
        ++empty;
        continue;
      }
      if (empty > 0) text.push_back(static_cast<char>('0' + empty));
      empty = 0;
      text.push_back(piece);
    }
    if (empty > 0) text.push_back(static_cast<char>('0' + empty));
  }
  text += whiteToMove_ ? " w" : " b";
  return text;
}

std::string answerFor(const link::PrintedMove& printed, const Position& position) {
  if (!position.promotes(printed.move)) return printed.move;
  const char piece = printed.piece != 0 ? static_cast<char>(printed.piece | 0x20) : 'q';
  return printed.move + piece;
}

link::PrintedMove printedFrom(const std::string& answer) {
  if (answer.size() != 5) return {answer, 0};
  return {answer.substr(0, 4), static_cast<char>(answer[4] & ~0x20)};
}

}  // namespace kestrelgate::uci
