#include "uci/pair_messages.h"

namespace kestrelgate::uci {
namespace {

struct Word {
  std::string_view text;
  MessageKind kind;
};

constexpr Word kWords[] = {
    {"hello", MessageKind::Hello},     {"go", MessageKind::Go},
    {"back", MessageKind::Back},       {"held", MessageKind::Held},
    {"partial", MessageKind::Partial}, {"welcome", MessageKind::Welcome},
    {"full", MessageKind::Full},       {"info", MessageKind::Info},
    {"move", MessageKind::Move},       {"gone", MessageKind::Gone},
    {"port", MessageKind::Port},
};

}  // namespace

Message parseMessage(std::string_view line) {
  Message message;
  const std::size_t blank = line.find(' ');
  const std::string_view word = line.substr(0, blank);
  const std::string_view rest =
      blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
  for (const Word& known : kWords) {
    if (known.text == word) message.kind = known.kind;
  }
  if (message.kind == MessageKind::Hello && line != kHello) message.kind = MessageKind::Unknown;
  if (message.kind == MessageKind::Back || message.kind == MessageKind::Held) {
    // A piece, a blank, then the move, which may itself hold blanks.
    const char piece = rest.empty() ? '\0' : rest[0];
    const bool known = piece == '-' || piece == 'Q' || piece == 'R' || piece == 'B' || piece == 'N';
    if (rest.size() < 3 || !known || rest[1] != ' ') {
      message.kind = MessageKind::Unknown;
      return message;
    }
    message.piece = piece == '-' ? '\0' : piece;
    message.text = rest.substr(2);
    return message;
  }
  message.text = rest;
  return message;
}

std::string moveMessage(std::string_view word, const link::PrintedMove& move) {
  std::string line(word);
  line += ' ';
  line += move.piece != 0 ? move.piece : '-';
  line += ' ';
  line += move.move;
  line += '\n';
  return line;
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
  if (end == std::string::npos) {
    searched_ = buffer_.size();
    if (buffer_.size() - start_ > longest_) malformed_ = true;
    return std::nullopt;
  }
  if (end - start_ > longest_) {
    malformed_ = true;
    return std::nullopt;
  }
  std::string line = buffer_.substr(start_, end - start_);
  start_ = end + 1;
  searched_ = start_;
  return line;
}

}  // namespace kestrelgate::uci
