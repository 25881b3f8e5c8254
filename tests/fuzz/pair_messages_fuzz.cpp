// What two Kestrelgates on one port say to each other: the line splitter and the message reader
// against a plain model. Whatever a partner sends, in whatever pieces it arrives, both must cut
// the same lines, stop at the same over-long one, and read each line as the same message.
//
// Input: the first byte sets how the bytes are cut into pieces (a piece's length is taken from
// the next byte of the stream, modulo this plus one); the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "uci/pair_messages.h"

namespace {

using kestrelgate::uci::Message;
using kestrelgate::uci::MessageKind;

constexpr std::size_t kLongest = 40;

// The lines of the whole stream, up to the first longer than allowed (which, like a stream
// that ends in more than that without a line feed, makes it malformed).
std::vector<std::string> modelLines(std::string_view stream, bool& malformed) {
  std::vector<std::string> lines;
  malformed = false;
  std::string line;
  for (const char c : stream) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.size() > kLongest) {
      malformed = true;
      return lines;
    }
    lines.push_back(line);
    line.clear();
  }
  malformed = line.size() > kLongest;
  return lines;
}

// A line as a message: its first word says what it is; back and stock carry a piece (or "-"),
// a blank and a move of one byte or more.
std::string modelMessage(const std::string& line) {
  const std::size_t blank = line.find(' ');
  const std::string word = line.substr(0, blank);
  const std::string rest = blank == std::string::npos ? "" : line.substr(blank + 1);
  const char* const kinds[] = {"hello",   "go",   "back", "stock", "partial", "taken",
                               "welcome", "full", "info", "move",  "gone",    "port"};
  std::string kind = "unknown";
  for (const char* known : kinds) {
    if (word == known) kind = known;
  }
  if (kind == "hello" && line != "hello kestrelgate 1.1") kind = "unknown";
  if (kind == "unknown") return "unknown ||";
  if (kind == "back" || kind == "stock") {
    if (rest.size() < 3 || rest[1] != ' ' ||
        std::string("-QRBN").find(rest[0]) == std::string::npos) {
      return "unknown ||";
    }
    return kind + " |" + (rest[0] == '-' ? "" : std::string(1, rest[0])) + "|" + rest.substr(2);
  }
  return kind + " ||" + rest;
}

std::string shown(const Message& message) {
  const char* const names[] = {"hello", "go",   "back", "stock", "partial", "taken",  "welcome",
                               "full",  "info", "move", "gone",  "port",    "unknown"};
  std::string text = names[static_cast<int>(message.kind)];
  if (message.kind == MessageKind::Unknown) return text + " ||";
  return text + " |" + (message.piece != 0 ? std::string(1, message.piece) : "") + "|" +
         message.text;
}

[[noreturn]] void differ(const char* what, std::size_t at, const std::string& got,
                         const std::string& expected) {
  std::fprintf(stderr, "model: %s %zu differs: splitter \"%s\", model \"%s\"\n", what, at,
               got.c_str(), expected.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cut = data[0] % 16 + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  kestrelgate::uci::LineSplitter splitter(kLongest);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t piece = static_cast<unsigned char>(stream[at]) % cut + 1;
    const std::string_view part = stream.substr(at, piece);
    splitter.feed(part.data(), part.size());
    while (const std::optional<std::string> line = splitter.next()) lines.push_back(*line);
    at += part.size();
  }
  bool malformed = false;
  const std::vector<std::string> expected = modelLines(stream, malformed);
  for (std::size_t i = 0; i < expected.size() || i < lines.size(); ++i) {
    const std::string got = i < lines.size() ? lines[i] : "(none)";
    const std::string want = i < expected.size() ? expected[i] : "(none)";
    if (got != want) differ("line", i, got, want);
    const std::string message = shown(kestrelgate::uci::parseMessage(lines[i]));
    if (message != modelMessage(expected[i]))
      differ("message", i, message, modelMessage(expected[i]));
  }
  if (splitter.malformed() != malformed) {
    differ("malformed", 0, splitter.malformed() ? "yes" : "no", malformed ? "yes" : "no");
  }
  return 0;
}
