#include "uci/pair_messages.h"

#include <chrono>

namespace kestrelgate::uci {

Message parseMessage(std::string_view line) {
  constexpr std::string_view kWords[] = {"hello",   "go",   "back", "stock", "partial", "taken",
                                         "welcome", "full", "info", "move",  "gone",    "port"};
  Message message;
  const std::size_t blank = line.find(' ');
  const std::string_view word = line.substr(0, blank);
  const std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  for (std::size_t i = 0; i < std::size(kWords); ++i) {
    if (kWords[i] == word) message.kind = static_cast<MessageKind>(i);
  }
  if (message.kind == MessageKind::Hello && line != kHello) message.kind = MessageKind::Unknown;
  if (message.kind != MessageKind::Back && message.kind != MessageKind::Stock) {
    message.text = rest;
    return message;
  }
  // A piece, a blank, then the move, which may itself hold blanks.
  const std::string_view pieces = "-QRBN";
  if (rest.size() < 3 || rest[1] != ' ' || pieces.find(rest[0]) == std::string_view::npos) {
    return Message{};
  }
  message.piece = rest[0] == '-' ? '\0' : rest[0];
  message.text = rest.substr(2);
  return message;
}

std::string moveMessage(std::string_view word, const link::PrintedMove& move) {
  return std::string(word) + ' ' + (move.piece != 0 ? move.piece : '-') + ' ' + move.move + '\n';
}

std::string stockMessages(const Stock& stock) {
  std::string lines;
  for (const link::PrintedMove& move : stock.moves) lines += moveMessage("stock", move);
  return lines + "partial " + stock.partial + "\n";
}

bool collectStock(Stock& stock, const Message& message) {
  if (message.kind == MessageKind::Stock) stock.moves.push_back({message.text, message.piece});
  if (message.kind == MessageKind::Partial) stock.partial = message.text;
  return message.kind == MessageKind::Partial;
}

std::optional<std::string> nextLine(LineSplitter& lines, const console::Waitable& readable,
                                    const std::function<bool()>& receive, std::uint32_t limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit);
  for (;;) {
    if (std::optional<std::string> line = lines.next()) return line;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || console::waitForAny({readable}, static_cast<std::uint32_t>(left)) != 0 ||
        !receive()) {
      return std::nullopt;
    }
  }
}

void LineSplitter::feed(const char* bytes, std::size_t count) {
  if (malformed_) return;
  // What was taken already goes first, so the buffer holds one line's worth at a time.
  buffer_.erase(0, start_);
  searched_ -= start_;
  start_ = 0;
  buffer_.append(bytes, count);
}

std::optional<std::string> LineSplitter::next() {
  if (malformed_) return std::nullopt;
  // A long line comes in many pieces: each byte is looked at once.
  const std::size_t end = buffer_.find('\n', searched_ > start_ ? searched_ : start_);
  searched_ = end == std::string::npos ? buffer_.size() : end + 1;
  const std::size_t length = (end == std::string::npos ? buffer_.size() : end) - start_;
  if (length > longest_) malformed_ = true;
  if (end == std::string::npos || malformed_) return std::nullopt;
  std::string line = buffer_.substr(start_, length);
  start_ = end + 1;
  return line;
}

}  // namespace kestrelgate::uci
