#include "uci/joined_client.h"

#include <utility>

namespace kestrelgate::uci {

JoinedClient::JoinedClient(std::unique_ptr<link::Connection> connection,
                           console::LineOutput& output, console::ConsolePlatform& console)
    : connection_(std::move(connection)),
      lines_(std::size_t{1} << 30),
      output_(output),
      console_(console) {}

JoinedClient::~JoinedClient() {
  link::closePassedHandle(port_);
}

std::intptr_t JoinedClient::takePort() {
  return std::exchange(port_, -1);
}

bool JoinedClient::receive() {
  char buffer[4096];
  std::intptr_t port = -1;
  const std::size_t got = connection_->receive(buffer, sizeof buffer, port);
  if (port >= 0) {
    // A handle of the port, newer than the one we had (the device is back).
    link::closePassedHandle(port_);
    port_ = port;
  }
  if (got == 0) return false;
  lines_.feed(buffer, got);
  // What a holder says makes sense, or it is no holder to stay with.
  return !lines_.malformed();
}

MessageKind JoinedClient::welcome() {
  const std::optional<std::string> first = nextLine(
      lines_, connection_->readable(), [this] { return receive(); }, link::kMeetingTimeout);
  // Nothing in time, or the holder is ending: try again.
  if (!first) return MessageKind::Unknown;
  const Message answer = parseMessage(*first);
  if (answer.kind == MessageKind::Welcome) found_ = answer.text;
  return answer.kind;
}

void JoinedClient::hear(const std::string& line) {
  const Message message = parseMessage(line);
  switch (message.kind) {
    case MessageKind::Info:
      if (goWaits_) {
        output_.writeText("info string ");
        output_.writeLine(message.text);
      }
      break;
    case MessageKind::Move:
      if (goWaits_) move_ = message.text;
      break;
    case MessageKind::Stock:
    case MessageKind::Partial:
      // The stock is the holder's last word: it has handed the port over.
      if (collectStock(stock, message)) holderGone_ = true;
      break;
    case MessageKind::Gone:
      // The device has gone: its handle is no use, and would keep a pseudo-terminal's number.
      link::closePassedHandle(port_);
      port_ = -1;
      break;
    case MessageKind::Port:
      found_ = message.text;
      break;
    default:
      break;
  }
}

JoinedClient::End JoinedClient::move(const Position& position, std::string& answer) {
  // A holder that is ending takes no go: it says its stock, and ends.
  const std::string fen = position.fen();
  if (!holderGone_) connection_->send(fen.empty() ? "go\n" : "go " + fen + "\n");
  goWaits_ = true;
  move_.reset();
  while (!move_ && !holderGone_) {
    if (const std::optional<std::string> line = lines_.next()) {
      hear(*line);
      continue;
    }
    // Our GUI gone (or a signal that ends us) ends the wait.
    if (console::waitForAny({console_.outputGone(), connection_->readable()}) != 1) break;
    if (!receive()) holderGone_ = true;
  }
  goWaits_ = false;
  if (!move_) return holderGone_ ? End::HolderGone : End::GuiGone;
  // A GUI that has gone takes no move: it is the next go's.
  if (console::waitForAny({console_.outputGone()}, 0) == 0) {
    connection_->send(moveMessage("back", printedFrom(*move_)));
    return End::GuiGone;
  }
  answer = *move_;
  return End::Move;
}

bool JoinedClient::awaitCommand() {
  for (;;) {
    while (const std::optional<std::string> line = lines_.next()) hear(*line);
    if (holderGone_) return false;
    // What the holder says comes first: its end is seen before the next command is read.
    const std::size_t which =
        console::waitForAny({connection_->readable(), console_.standardInput().ready()});
    if (which == 1) return true;
    if (which == 0 && !receive()) holderGone_ = true;
  }
}

}  // namespace kestrelgate::uci
