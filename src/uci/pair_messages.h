#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "console/wait.h"
#include "link/move_line.h"
#include "uci/move_reader.h"

namespace kestrelgate::uci {

// What two Kestrelgates on one port say to each other: text lines, each ended by a line feed.
// A status line or a move may hold any byte but a line feed, blanks and NULs included, since
// the chess computer's line feeds end its lines.
//
// From the process that joins:
//   hello kestrelgate 1.1   the first line; then the stock it brings along, if any
//   go [PLACEMENT SIDE]     its GUI's go waits, with the position its move is to be answered
//                           on (a FEN's first two fields) where it knows it
//   back PIECE MOVE         a move it got while its GUI was going: the next go's
//   taken                   it holds the port now that the holder handed over as it ended
// From the process that holds the port:
//   welcome FOUND           joined; the port's handle comes along where it can be passed, and
//                           FOUND is how the port was before any of us opened it
//   full                    two sides are there already, or as many processes as it serves
//   info LINE               a status line for its waiting go
//   move ANSWER             the move for it
//   gone                    the device has gone: let its handle go
//   port FOUND              it is back, its new handle along with this
//   and, as it ends, its stock to the one that takes the port over.
// A stock: "stock PIECE MOVE" for each move read and not dealt, in order, then "partial
// BYTES", the line read so far (empty or not). PIECE is the promotion piece printed after a
// move, or "-".
// In the order of their words.
enum class MessageKind {
  Hello,
  Go,
  Back,
  Stock,
  Partial,
  Taken,
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
  char piece = 0;    // for back and stock
};

// One line, without its line feed.
Message parseMessage(std::string_view line);

// The line for a message that carries a move and its printed piece (back, stock), with its
// line feed.
std::string moveMessage(std::string_view word, const link::PrintedMove& move);

// A stock as its lines, the partial line last.
std::string stockMessages(const Stock& stock);
// Adds what a stock or partial message says to `stock`; true once the partial line has
// completed it.
bool collectStock(Stock& stock, const Message& message);

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

// The next line the other side says within `limit` milliseconds: one split already, or one
// that `receive` (which feeds `lines`, false once the other side has gone) brings in time.
std::optional<std::string> nextLine(LineSplitter& lines, const console::Waitable& readable,
                                    const std::function<bool()>& receive, std::uint32_t limit);

}  // namespace kestrelgate::uci
