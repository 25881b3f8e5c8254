// A GUI session and a serial line from one input: the part before the first 0xFF byte is the
// GUI's commands, the rest the chess computer's output. Every "bestmove" carries a move.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/console_output.h"
#include "uci/move_reader.h"
#include "uci/uci_loop.h"

namespace {

struct EndOfData {};

class CheckingOutput final : public kestrelgate::console::LineOutput {
 public:
  void writeText(std::string_view text) override { prefix = std::string(text); }
  void writeLine(std::string_view text) override {
    if (prefix == "bestmove " && (text.size() < 3 || text.size() > 4)) std::abort();
    prefix.clear();
  }
  std::string prefix;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate;
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t split = all.find('\xff');
  const std::string_view gui = all.substr(0, split);
  const std::string_view serial =
      split == std::string_view::npos ? std::string_view() : all.substr(split + 1);

  std::size_t guiPosition = 0;
  std::size_t serialPosition = 0;
  CheckingOutput output;
  uci::MoveReader reader(
      [&]() -> std::string {
        if (serialPosition >= serial.size()) throw EndOfData{};
        return std::string(1, serial[serialPosition++]);
      },
      output, [] { return true; });
  uci::UciLoop loop(
      [&](std::string& line) {
        if (guiPosition >= gui.size()) return false;
        std::size_t end = gui.find('\n', guiPosition);
        if (end == std::string_view::npos) end = gui.size();
        line = std::string(gui.substr(guiPosition, end - guiPosition));
        guiPosition = end + 1;
        return true;
      },
      output, [&] { return reader.readMove(); });
  try {
    loop.runCommandLoop();
  } catch (const EndOfData&) {
  }
  return 0;
}
