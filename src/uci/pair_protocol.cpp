#include "uci/pair_protocol.h"

namespace kestrelgate::uci {
namespace {

constexpr std::size_t kHeader = 5;

bool knownKind(char kind) {
  switch (static_cast<MessageKind>(kind)) {
    case MessageKind::Hello:
    case MessageKind::Go:
    case MessageKind::Written:
    case MessageKind::Welcome:
    case MessageKind::Full:
    case MessageKind::Info:
    case MessageKind::Move:
    case MessageKind::Stock:
    case MessageKind::Partial:
      return true;
  }
  return false;
}

}  // namespace

std::string encodeMessage(MessageKind kind, std::string_view payload) {
  std::string bytes;
  bytes.reserve(kHeader + payload.size());
  bytes.push_back(static_cast<char>(kind));
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<char>((length >> shift) & 0xFFu));
  }
  bytes.append(payload);
  return bytes;
}

std::string encodeMoves(const std::deque<std::string>& moves) {
  std::string payload;
  for (const std::string& move : moves) {
    // A move is at most four characters: the columns it is cut from are that wide.
    const std::string_view kept = std::string_view(move).substr(0, 255);
    payload.push_back(static_cast<char>(kept.size()));
    payload.append(kept);
  }
  return payload;
}

std::optional<std::deque<std::string>> decodeMoves(std::string_view payload) {
  std::deque<std::string> moves;
  while (!payload.empty()) {
    const auto length = static_cast<unsigned char>(payload.front());
    payload.remove_prefix(1);
    if (payload.size() < length) return std::nullopt;
    moves.emplace_back(payload.substr(0, length));
    payload.remove_prefix(length);
  }
  return moves;
}

std::optional<Message> MessageReader::next() {
  if (malformed_ || buffer_.size() < kHeader) return std::nullopt;
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>(buffer_[1 + i])) << (8 * i);
  }
  if (!knownKind(buffer_[0]) || length > largest_) {
    malformed_ = true;
    buffer_.clear();
    return std::nullopt;
  }
  if (buffer_.size() < kHeader + length) return std::nullopt;
  Message message{static_cast<MessageKind>(buffer_[0]), buffer_.substr(kHeader, length)};
  buffer_.erase(0, kHeader + length);
  return message;
}

}  // namespace kestrelgate::uci
