#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace kestrelgate::uci {

// What the two Kestrelgates on one port say to each other. Each message is one byte of kind, a
// 32-bit little-endian length and that many bytes: moves and status lines may hold any byte
// but a line feed, blanks and NULs included.
enum class MessageKind : char {
  // From the process that joins:
  Hello = 'H',    // the first message: who is asking (kHello)
  Go = 'G',       // a go of its GUI waits for its move
  Written = 'W',  // the move last dealt to it has been written to its GUI
  // From the process that holds the port:
  Welcome = 'A',  // joined; the payload is the stock of moves, as for Stock
  Full = 'F',     // two sides are there already
  Info = 'I',     // a status line for the joined process's waiting go
  Move = 'M',     // the move for its waiting go
  Stock = 'S',    // the moves read and not yet dealt, whenever they change
  Partial = 'P',  // the line read so far, as the holder ends
};

inline constexpr std::string_view kHello = "kestrelgate 1.1";

struct Message {
  MessageKind kind = MessageKind::Hello;
  std::string payload;

  friend bool operator==(const Message&, const Message&) = default;
};

std::string encodeMessage(MessageKind kind, std::string_view payload = {});

// A list of moves as one payload: each move's length in one byte, then its bytes.
std::string encodeMoves(const std::deque<std::string>& moves);
std::optional<std::deque<std::string>> decodeMoves(std::string_view payload);

// Cuts a stream of bytes into messages. A message longer than the reader takes, or of a kind
// it does not know, makes the stream malformed for good.
class MessageReader {
 public:
  explicit MessageReader(std::size_t largestPayload) : largest_(largestPayload) {}

  void feed(const char* bytes, std::size_t count) { buffer_.append(bytes, count); }
  // The next whole message, or nothing until more bytes come (or for good once malformed).
  std::optional<Message> next();
  bool malformed() const { return malformed_; }

 private:
  std::size_t largest_;
  std::string buffer_;
  bool malformed_ = false;
};

}  // namespace kestrelgate::uci
