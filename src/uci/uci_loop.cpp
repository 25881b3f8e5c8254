#include "uci/uci_loop.h"

#include <utility>

#include "console/text.h"
#include "uci/move_reader.h"

namespace kestrelgate::uci {

UciLoop::UciLoop(CommandSource commands, console::LineOutput& output, MoveSource moves)
    : commands_(std::move(commands)), output_(output), moves_(std::move(moves)) {}

void UciLoop::runCommandLoop() {
  pendingReply_ = false;
  std::string line;
  for (;;) {
    // At the end of input the GUI has gone: leave as at "quit" instead of turning for ever.
    if (!commands_(line)) return;
    const std::string command = console::trimBlanks(line);
    if (command == "uci") {
      output_.writeLine("id name Kestrelgate V1.1");
      output_.writeLine("id author Ostwyndhaven");
      output_.writeLine("option name OwnBook type check default true");
      output_.writeLine("uciok");
    }
    if (command == "isready") output_.writeLine("readyok");
    // The GUI's board, for the promotions the chess computer prints without their piece. The
    // command still gets no reply.
    if (command.compare(0, 9, "position ") == 0 || command == "position") {
      position_.follow(command);
    }
    if (command.compare(0, 2, "go") == 0 && command.size() >= 2) {
      std::string replyMove;
      // A stored second move shorter than 3 characters is no move: such a "go" waits for the
      // chess computer's next move line like one with nothing pending.
      if (pendingReply_ && storedReply_.size() >= 3) {
        replyMove = storedReply_;
        pendingReply_ = false;
      } else {
        std::optional<MoveReply> reply = moves_(position_);
        if (!reply) return;
        replyMove = std::move(reply->move);
        storedReply_ = std::move(reply->secondMove);
        pendingReply_ = true;
      }
      output_.writeText("bestmove ");
      output_.writeLine(replyMove);
    }
    if (command == "quit") return;
  }
}

}  // namespace kestrelgate::uci
