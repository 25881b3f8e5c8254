#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "link/move_line.h"

namespace kestrelgate::uci {

// What two Kestrelgates on one port say to each other: text lines, each ended by a line feed.
// A status line or a move may hold any byte but a line feed, blanks and NULs included, since
// the chess computer's line feeds end its lines.
//
// From the process that joins:
//   hello kestrelgate 1.1   the first line
//   go [PLACEMENT SIDE]     its GUI's go waits, with the position its move is to be answered
//                           on (a FEN's first two fields) where it knows it
//   back PIECE MOVE         a move it got while its GUI was going: the next go's
//   held PIECE MOVE         what a holder that ended had handed to it, in order, and the line
//   partial BYTES           that holder had read so far: sent right after its hello
// From the process that holds the port:
//   welcome FOUND           joined; the port's handle comes along where it can be passed, and
//                           FOUND is how the port was before any of us opened it
//   full                    two sides are there already
//   info LINE               a status line for its waiting go
//   move ANSWER             the move for it
//   gone                    the device has gone: let its handle go
//   port FOUND              it is back, its new handle along with this
//   held PIECE MOVE         as the holder ends: each move read and not dealt, in order, and the
//   partial BYTES           line read so far
// PIECE is the promotion piece printed after a move, or "-".
// In the order of their words.
enum class MessageKind {
  Hello,
  Go,
  Back,
  Held,
  Partial,
  Welcome,
  Full,
  Info,
  Move,
  Gone,
  Port,
  Unknown
};

inline constexpr std::string_view kHello = "hello kestrelgate 1.1";

struct Message {
  MessageKind kind = MessageKind::Unknown;
  std::string text;  // what follows the word (and the piece): a line, a move, a position
  char piece = 0;    // for back and held
};

// One line, without its line feed.
Message parseMessage(std::string_view line);

// The line for a message that carries a move and its printed piece (back, held), with its
// line feed.
std::string moveMessage(std::string_view word, const link::PrintedMove& move);

// Cuts a stream of bytes into lines. A line longer than the limit makes the stream malformed
// for good: a partner that says that much is no Kestrelgate.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t longest) : longest_(longest) {}

  void feed(const char* bytes, std::size_t count);
  // The next whole line without its line feed, or nothing until more bytes come.
  std::optional<std::string> next();
  bool malformed() const { return malformed_; }

 private:
  std::size_t longest_;
  std::string buffer_;
  std::size_t start_ = 0;     // where the next line begins
  std::size_t searched_ = 0;  // no line feed before this
  bool malformed_ = false;
};

}  // namespace kestrelgate::uci
