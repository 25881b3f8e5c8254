#pragma once

#include <functional>
#include <optional>
#include <string>

#include "console/console_output.h"
#include "link/move_line.h"

namespace kestrelgate::uci {

// The chess computer's next move and the second move of the same move line.
struct MoveReply {
  std::string move;        // 3 or 4 characters
  std::string secondMove;  // 0 to 4 characters
};

// Turns what the chess computer prints into UCI moves: lines are assembled byte by byte, move
// lines yield their moves, every other line of two or more characters reaches the GUI as an
// "info string" line.
class MoveReader {
 public:
  // One read request for one byte: the byte, or the empty text when none came.
  using ByteSource = std::function<std::string()>;
  // Called after a read that delivered nothing, so that a port which answers at once (or a
  // device that has gone) cannot turn the reader into a busy loop. False when waiting is
  // pointless because the GUI has gone.
  using Pause = std::function<bool()>;

  MoveReader(ByteSource source, console::LineOutput& output, Pause pause);

  // Blocks until a move line gives a first move of at least 3 characters; nothing when a pause
  // said the GUI has gone.
  std::optional<MoveReply> readMove();

  // One assembled, filtered and trimmed line (possibly empty); nothing when a pause said the
  // GUI has gone. The bytes of an unfinished line stay for the next call.
  std::optional<std::string> readSerialLine();

  // The filtered bytes of the line read so far, and a line to go on with: what another reader
  // of the same port had read of it.
  const std::string& partialLine() const { return lines_.partialLine(); }
  void resumeLine(std::string partial) { lines_.resumeLine(std::move(partial)); }

 private:
  ByteSource source_;
  console::LineOutput& output_;
  Pause pause_;
  link::LineAssembler lines_;
};

}  // namespace kestrelgate::uci
