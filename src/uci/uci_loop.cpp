#include "uci/uci_loop.h"

#include <utility>

#include "console/text.h"

namespace kestrelgate::uci {

UciLoop::UciLoop(CommandSource commands, console::LineOutput& output, MoveSource moves)
    : commands_(std::move(commands)), output_(output), moves_(std::move(moves)) {}

void UciLoop::runCommandLoop() {
  std::string line;
  for (;;) {
    // At the end of input the GUI has gone: leave as at "quit" instead of turning for ever.
    if (!commands_(line)) return;
    const std::string command = console::trimBlanks(line);
    if (command == "uci") {
      output_.writeLine("id name Kestrelgate V1.1");
      output_.writeLine("id author Ostwyndhaven");
      output_.writeLine("option name OwnBook type check default true");
      output_.writeLine("option name MoveAsPv type check default false");
      output_.writeLine("uciok");
    }
    if (command.compare(0, 10, "setoption ") == 0) setOption(command);
    if (command == "isready") output_.writeLine("readyok");
    // The GUI's board, for the promotions the chess computer prints without their piece. The
    // command still gets no reply.
    if (command.compare(0, 9, "position ") == 0 || command == "position") {
      position_.follow(command);
    }
    if (command.compare(0, 2, "go") == 0 && command.size() >= 2) {
      const std::optional<std::string> reply = moves_(position_);
      if (!reply) return;
      const std::string& replyMove = *reply;
      if (moveAsPv_) {
        // Some GUIs (Scid's "finish game") play the first move of the last principal variation
        // they were told, never the bestmove, and read an info line only when it has a score as
        // well as a pv: the score is there for that, an even one, since the machine says none.
        output_.writeText("info score cp 0 pv ");
        output_.writeLine(replyMove);
      }
      output_.writeText("bestmove ");
      output_.writeLine(replyMove);
    }
    if (command == "quit") return;
  }
}

void UciLoop::setOption(const std::string& command) {
  // setoption name <id> [value <x>]; names and values in any case, the name's words as sent.
  const std::string lower = console::toLowerText(command);
  constexpr std::string_view kName = "setoption name ";
  if (lower.compare(0, kName.size(), kName) != 0) return;
  const std::size_t value = lower.find(" value ", kName.size());
  if (lower.substr(kName.size(), value - kName.size()) != "moveaspv") return;
  moveAsPv_ = value != std::string::npos && lower.substr(value + 7) == "true";
}

}  // namespace kestrelgate::uci
