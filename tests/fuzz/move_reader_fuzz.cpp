// The chess computer's serial bytes: the move reader against a plain model of its rules. For
// every byte stream both must relay the same lines, in the same order, as "info string" lines
// written in two requests, and answer each go with the same move: the first of a move line,
// then its second (when it has three characters or more) for the next go, at once.
//
// Input: the serial bytes, where 0x01 stands for a read that delivered nothing and 0x02 for the
// GUI going away during a go (the go then ends without a move). A go asks whenever none waits,
// until the bytes run out.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_output.h"
#include "uci/move_reader.h"

namespace {

constexpr char kEmptyRead = '\x01';
constexpr char kGuiGone = '\x02';

// What the GUI is told, and how each reading ends, as one list of events.
class EventOutput final : public kestrelgate::console::LineOutput {
 public:
  void writeText(std::string_view text) override { prefix += text; }
  void writeLine(std::string_view text) override {
    events.push_back("line [" + prefix + "][" + std::string(text) + "]");
    prefix.clear();
  }
  std::vector<std::string> events;
  std::string prefix;
};

std::string trim(const std::string& text) {
  std::size_t first = 0;
  while (first < text.size() && text[first] == ' ') ++first;
  std::size_t last = text.size();
  while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\0')) --last;
  return text.substr(first, last - first);
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

std::vector<std::string> model(std::string_view bytes) {
  std::vector<std::string> events;
  std::string line;
  for (char raw : bytes) {
    if (raw == kEmptyRead) continue;
    if (raw == kGuiGone) {
      events.push_back("gone");
      continue;  // the unfinished line waits for the next reading
    }
    const char c = static_cast<char>(raw & 0x7F);
    if (c != '\n') {
      if (c != '\r' && c != '-' && c != 'x') line += c;
      continue;
    }
    const std::string text = trim(line);
    line.clear();
    if (text.size() >= 2 && text[0] >= '0' && text[0] <= '9' && text[1] >= '0' && text[1] <= '9') {
      const std::size_t blank = text.find(' ');
      std::string rest = trim(blank == std::string::npos ? text : text.substr(blank + 1));
      std::string single;
      for (char r : rest) {
        if (!(r == ' ' && !single.empty() && single.back() == ' ')) single += r;
      }
      const std::string move = lower(single.substr(0, 4));
      const std::string second = single.size() >= 6 ? lower(single.substr(5, 4)) : "";
      if (move.size() >= 3) {
        events.push_back("move [" + move + "]");
        if (second.size() >= 3) events.push_back("move [" + second + "]");
      }
    } else if (text.size() >= 2) {
      events.push_back("line [info string ][" + text + "]");
    }
  }
  return events;
}

// A go of the GUI: its status lines to the output, its move to the events.
struct Go final : kestrelgate::uci::WaitingGo {
  explicit Go(EventOutput& out) : output(out) {}
  void relay(const std::string& line) override {
    output.writeText("info string ");
    output.writeLine(line);
  }
  bool answer(const std::string& move) override {
    output.events.push_back("move [" + move + "]");
    return true;
  }
  EventOutput& output;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate::uci;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  EventOutput output;
  MoveReader reader;
  Go go(output);
  for (const char byte : bytes) {
    // A go asks whenever none waits; one answered at once from a pending reply asks again.
    while (!reader.waiting()) reader.ask(go);
    if (byte == kEmptyRead) continue;
    if (byte == kGuiGone) {
      reader.withdraw(go);
      output.events.push_back("gone");
      continue;
    }
    reader.take(byte);
  }
  // A second move answers the next go at once, bytes or no bytes.
  while (!reader.waiting() && reader.pendingReply()) reader.ask(go);
  const std::vector<std::string> expected = model(bytes);
  if (output.events != expected) {
    std::size_t at = 0;
    while (at < expected.size() && at < output.events.size() && expected[at] == output.events[at]) {
      ++at;
    }
    std::fprintf(stderr, "model: event %zu differs: reader \"%s\", model \"%s\"\n", at,
                 at < output.events.size() ? output.events[at].c_str() : "(none)",
                 at < expected.size() ? expected[at].c_str() : "(none)");
    std::abort();
  }
  return 0;
}
