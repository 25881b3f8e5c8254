// A GUI session against a scripted chess computer: the command loop against a plain model of
// the conversation. Both must write exactly the same bytes, in the same write requests.
//
// Input: the GUI's command lines, then, after the first 0xFF byte, the moves the move source
// gives, one a line: its first four bytes (three at the least, as the move reader guarantees).
// When the GUI's lines run out its input has ended; when the moves run out while one is
// awaited, the GUI has gone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_output.h"
#include "uci/uci_loop.h"

namespace {

class RequestOutput final : public kestrelgate::console::LineOutput {
 public:
  void writeText(std::string_view text) override {
    if (!text.empty()) requests.emplace_back(text);
  }
  void writeLine(std::string_view text) override {
    writeText(text);
    requests.emplace_back("\r\n");
  }
  std::vector<std::string> requests;
};

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::deque<std::string> replies(std::string_view script) {
  std::deque<std::string> out;
  for (std::string line : splitLines(script)) {
    while (line.size() < 3) line += 'a';
    out.push_back(line.substr(0, 4));
  }
  return out;
}

std::vector<std::string> model(const std::vector<std::string>& commands,
                               std::deque<std::string> moves) {
  std::vector<std::string> out;
  auto line = [&](const std::string& text) {
    if (!text.empty()) out.push_back(text);
    out.push_back("\r\n");
  };
  bool pv = false;
  for (const std::string& raw : commands) {
    // Blanks go at both ends, and NULs at the end; tabs stay.
    std::size_t first = raw.find_first_not_of(' ');
    if (first == std::string::npos) first = raw.size();
    std::size_t last = raw.size();
    while (last > first && (raw[last - 1] == ' ' || raw[last - 1] == '\0')) --last;
    const std::string command = raw.substr(first, last - first);
    if (command == "uci") {
      line("id name Kestrelgate V1.1");
      line("id author Ostwyndhaven");
      line("option name OwnBook type check default true");
      line("option name MoveAsPv type check default false");
      line("uciok");
    } else if (command == "isready") {
      line("readyok");
    } else if (command.size() >= 2 && command[0] == 'g' && command[1] == 'o') {
      if (moves.empty()) return out;  // the GUI went while the move was awaited
      const std::string move = moves.front();
      moves.pop_front();
      if (pv) {
        out.push_back("info score cp 0 pv ");
        line(move);
      }
      out.push_back("bestmove ");
      line(move);
    } else if (command == "quit") {
      return out;
    } else if (command.rfind("setoption ", 0) == 0) {
      // Only "setoption name MoveAsPv value X", in any case, sets it: to X being "true".
      std::string lower;
      for (const char c : command) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
      const std::string head = "setoption name moveaspv";
      if (lower == head) pv = false;
      if (lower.rfind(head + " value ", 0) == 0) pv = lower.substr(head.size() + 7) == "true";
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate;
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t split = all.find('\xff');
  const std::vector<std::string> commands = splitLines(all.substr(0, split));
  const std::deque<std::string> script =
      replies(split == std::string_view::npos ? std::string_view() : all.substr(split + 1));

  std::size_t next = 0;
  std::deque<std::string> moves = script;
  RequestOutput output;
  uci::UciLoop loop(
      [&](std::string& line) {
        if (next >= commands.size()) return false;
        line = commands[next++];
        return true;
      },
      output,
      [&](const kestrelgate::uci::Position&) -> std::optional<std::string> {
        if (moves.empty()) return std::nullopt;
        std::string move = moves.front();
        moves.pop_front();
        return move;
      });
  loop.runCommandLoop();

  const std::vector<std::string> expected = model(commands, script);
  if (output.requests != expected) {
    std::size_t at = 0;
    while (at < expected.size() && at < output.requests.size() &&
           expected[at] == output.requests[at]) {
      ++at;
    }
    std::fprintf(stderr, "model: write request %zu differs: loop \"%s\", model \"%s\"\n", at,
                 at < output.requests.size() ? output.requests[at].c_str() : "(none)",
                 at < expected.size() ? expected[at].c_str() : "(none)");
    std::abort();
  }
  return 0;
}
