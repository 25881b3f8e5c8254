// The GUI's "position" command: the position reader against a plain model of a board. For every
// command both must agree on whether it can be followed and, where it can, on the board and the
// side to move; and on which moves from it take a pawn to its last rank.
//
// Input: a "position" command as it stands, when it begins with "position"; otherwise the bytes
// choose one: a start (the standard position, or one of a few FENs) and then moves, two bytes a
// move (from and to squares) and a third for a promotion piece, so that most inputs are games a
// GUI could send, not just garbage.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "uci/position.h"

namespace {

// The board as a map from square names to pieces, the side to move apart.
struct Board {
  std::map<std::string, char> pieces;
  bool white = true;
};

std::string square(int file, int rank) {
  return std::string{static_cast<char>('a' + file), static_cast<char>('1' + rank)};
}

std::optional<Board> fromFen(const std::string& placement, const std::string& side) {
  if (side != "w" && side != "b") return std::nullopt;
  std::vector<std::string> ranks;
  std::stringstream in(placement);
  for (std::string rank; std::getline(in, rank, '/');) ranks.push_back(rank);
  if (ranks.size() != 8 || placement.back() == '/') return std::nullopt;
  Board board;
  board.white = side == "w";
  for (int r = 0; r < 8; ++r) {
    int file = 0;
    for (const char c : ranks[static_cast<std::size_t>(r)]) {
      if (c >= '1' && c <= '8') {
        file += c - '0';
      } else if (std::string("pnbrqkPNBRQK").find(c) != std::string::npos) {
        if (file < 8) board.pieces[square(file, 7 - r)] = c;
        ++file;
      } else {
        return std::nullopt;
      }
      if (file > 8) return std::nullopt;
    }
    if (file != 8) return std::nullopt;
  }
  return board;
}

bool whitePiece(char c) {
  return c >= 'A' && c <= 'Z';
}

bool play(Board& board, const std::string& move) {
  if (move == "0000") {
    board.white = !board.white;
    return true;
  }
  const auto onBoard = [](char file, char rank) {
    return file >= 'a' && file <= 'h' && rank >= '1' && rank <= '8';
  };
  if ((move.size() != 4 && move.size() != 5) || !onBoard(move[0], move[1]) ||
      !onBoard(move[2], move[3]) ||
      (move.size() == 5 && std::string("qrbn").find(move[4]) == std::string::npos)) {
    return false;
  }
  const std::string from = move.substr(0, 2);
  const std::string to = move.substr(2, 2);
  if (!board.pieces.count(from) || whitePiece(board.pieces[from]) != board.white) return false;
  char piece = board.pieces[from];
  board.pieces.erase(from);
  const char kind = static_cast<char>(piece | 0x20);
  if (kind == 'p' && from[0] != to[0] && !board.pieces.count(to)) {
    board.pieces.erase(std::string{to[0], from[1]});  // taken en passant
  }
  if (kind == 'k' && from[1] == to[1] && (to[0] - from[0] == 2 || from[0] - to[0] == 2)) {
    const bool kingside = to[0] > from[0];
    const std::string rookFrom{kingside ? 'h' : 'a', from[1]};
    const std::string rookTo{kingside ? 'f' : 'd', from[1]};
    if (board.pieces.count(rookFrom)) {
      board.pieces[rookTo] = board.pieces[rookFrom];
    } else {
      board.pieces.erase(rookTo);
    }
    board.pieces.erase(rookFrom);
  }
  if (move.size() == 5) {
    piece = board.white ? static_cast<char>(move[4] - 32) : move[4];
  } else if (kind == 'p' && (to[1] == '1' || to[1] == '8')) {
    piece = board.white ? 'Q' : 'q';
  }
  board.pieces[to] = piece;
  board.white = !board.white;
  return true;
}

std::optional<Board> model(const std::string& command) {
  // Words are separated by blanks and tabs, and nothing else.
  std::vector<std::string> words{""};
  for (const char c : command) {
    if (c != ' ' && c != '\t') {
      words.back() += c;
    } else if (!words.back().empty()) {
      words.emplace_back();
    }
  }
  if (words.back().empty()) words.pop_back();
  std::size_t at = 0;
  const auto next = [&]() { return at < words.size() ? words[at++] : std::string(); };
  if (next() != "position") return std::nullopt;
  std::optional<Board> board;
  std::string word = next();
  if (word == "startpos") {
    board = fromFen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR", "w");
    word = next();
  } else if (word == "fen") {
    const std::string placement = next();
    const std::string side = next();
    if (!placement.empty()) board = fromFen(placement, side);
    do {
      word = next();
    } while (!word.empty() && word != "moves");
  }
  if (!board || word.empty()) return board;
  if (word != "moves") return std::nullopt;
  for (word = next(); !word.empty(); word = next()) {
    if (!play(*board, word)) return std::nullopt;
  }
  return board;
}

std::string fenOf(const Board& board) {
  std::string text;
  for (int rank = 7; rank >= 0; --rank) {
    int empty = 0;
    for (int file = 0; file < 8; ++file) {
      const auto at = board.pieces.find(square(file, rank));
      if (at == board.pieces.end()) {
        ++empty;
        continue;
      }
      if (empty > 0) text += std::to_string(empty);
      empty = 0;
      text += at->second;
    }
    if (empty > 0) text += std::to_string(empty);
    if (rank > 0) text += '/';
  }
  return text + (board.white ? " w" : " b");
}

[[noreturn]] void differ(const std::string& command, const std::string& what,
                         const std::string& reader, const std::string& expected) {
  std::fprintf(stderr, "model: %s differs for \"%s\": reader \"%s\", model \"%s\"\n", what.c_str(),
               command.substr(0, 200).c_str(), reader.c_str(), expected.c_str());
  std::abort();
}

std::string commandFrom(std::string_view bytes) {
  if (bytes.substr(0, 8) == "position") return std::string(bytes);
  static const char* const starts[] = {"position startpos",
                                       "position fen 4k3/1P4P1/8/3pP3/8/8/1p4p1/R3K2R w KQ d6 0 1",
                                       "position fen r3k2r/pPp3pp/8/8/8/8/PpP3PP/R3K2R b - - 0 1"};
  std::string command =
      bytes.empty() ? starts[0] : starts[static_cast<unsigned char>(bytes[0]) % 3];
  if (bytes.size() > 1) command += " moves";
  for (std::size_t i = 1; i + 1 < bytes.size(); i += 3) {
    const auto from = static_cast<unsigned char>(bytes[i]) % 64;
    const auto to = static_cast<unsigned char>(bytes[i + 1]) % 64;
    command += " " + square(from % 8, from / 8) + square(to % 8, to / 8);
    if (i + 2 < bytes.size() && static_cast<unsigned char>(bytes[i + 2]) < 64) {
      command += "qrbn"[static_cast<unsigned char>(bytes[i + 2]) % 4];
    }
  }
  return command;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string command = commandFrom({reinterpret_cast<const char*>(data), size});
  kestrelgate::uci::Position position;
  position.follow(command);
  const std::optional<Board> expected = model(command);
  if (position.known() != expected.has_value()) {
    differ(command, "whether it can be followed", position.known() ? "yes" : "no",
           expected ? "yes" : "no");
  }
  if (!expected) return 0;
  if (position.fen() != fenOf(*expected))
    differ(command, "the board", position.fen(), fenOf(*expected));
  // A move to the last rank from every square: a promotion exactly for a pawn of the side to
  // move.
  for (int file = 0; file < 8; ++file) {
    for (int rank = 0; rank < 8; ++rank) {
      const int last = expected->white ? 7 : 0;
      const std::string move = square(file, rank) + square(file, last);
      const auto at = expected->pieces.find(square(file, rank));
      const bool pawn = at != expected->pieces.end() && at->second == (expected->white ? 'P' : 'p');
      if (position.promotes(move) != pawn) {
        differ(command, "a promotion " + move, position.promotes(move) ? "yes" : "no",
               pawn ? "yes" : "no");
      }
    }
  }
  return 0;
}
