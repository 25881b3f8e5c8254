#include "uci/port_holder.h"

#include <algorithm>
#include <utility>

#include "console/process.h"

namespace kestrelgate::uci {

using console::Waitable;
using Clock = std::chrono::steady_clock;

namespace {

// A joined process says little: a hello, a go with a position, what it brought along.
constexpr std::size_t kLongestFromPartner = 1 << 16;
// Nobody needs more than a few connections waiting to say hello.
constexpr std::size_t kMostNewcomers = 4;

}  // namespace

// Our own GUI's go: its status lines and its move go to our standard output.
class PortHolder::GuiGo final : public WaitingGo {
 public:
  explicit GuiGo(console::LineOutput& output) : output_(output) {}
  void relay(const std::string& line) override {
    output_.writeText("info string ");
    output_.writeLine(line);
  }
  void answer(const std::string& move) override { answered = move; }

  std::optional<std::string> answered;

 private:
  console::LineOutput& output_;
};

// The joined process's go: its status lines and its move go down the connection.
class PortHolder::PartnerGo final : public WaitingGo {
 public:
  explicit PartnerGo(PortHolder& holder) : holder_(holder) {}
  void relay(const std::string& line) override { holder_.sendPartner("info " + line + "\n"); }
  void answer(const std::string& move) override {
    if (!holder_.sendPartner("move " + move + "\n")) undelivered = move;
  }

  // A move that could not be sent: the next go's, once the partner has been let go.
  std::optional<std::string> undelivered;

 private:
  PortHolder& holder_;
};

PortHolder::PortHolder(Parts parts, std::unique_ptr<link::MeetingPoint> point)
    : parts_(parts),
      serial_(parts.channels.findAs<link::SerialChannel>(parts.channel)),
      point_(std::move(point)),
      guiGo_(std::make_unique<GuiGo>(parts.output)),
      partnerLines_(kLongestFromPartner),
      partnerGo_(std::make_unique<PartnerGo>(*this)),
      devicePresent_(serial_ != nullptr && serial_->connected()) {
  if (!devicePresent_) point_.reset();
}

PortHolder::~PortHolder() {
  if (partner_) console::deferEndingSignals(false);
}

std::optional<std::string> PortHolder::move(const Position& position) {
  guiGo_->position = position;
  guiGo_->answered.reset();
  moves_.ask(*guiGo_);
  // A move dealt comes before whatever else the wait brought.
  while (!guiGo_->answered) {
    if (serveOnce(true, false) == Served::GuiGone || console::endingSignal() != 0) {
      moves_.withdraw(*guiGo_);
      // Dealt in that very moment: it stays the answer.
      return guiGo_->answered;
    }
  }
  return guiGo_->answered;
}

void PortHolder::awaitCommand() {
  while (serveOnce(false, true) != Served::Command) {
    if (console::endingSignal() != 0) return;
  }
}

PortHolder::Served PortHolder::serveOnce(bool guiGoWaits, bool commandWanted) {
  // Made anew for each wait, in vectors kept from one to the next: a wait comes before every
  // byte read from the port.
  std::vector<Waitable>& waitables = waitables_;
  std::vector<std::pair<What, std::size_t>>& what = what_;
  waitables.clear();
  what.clear();
  const auto watch = [&](Waitable waitable, What kind, std::size_t index = 0) {
    waitables.push_back(waitable);
    what.emplace_back(kind, index);
  };
  // A GUI that has gone takes no move: its going is seen first.
  if (guiGoWaits) watch(parts_.console.outputGone(), What::OutputGone);
  if (commandWanted) watch(parts_.console.standardInput().ready(), What::Command);
  if (partner_) watch(partner_->readable(), What::Partner);
  for (std::size_t i = 0; i < newcomers_.size(); ++i) {
    watch(newcomers_[i].connection->readable(), What::Greeting, i);
  }
  if (point_) watch(point_->incoming(), What::Incoming);
  if (moves_.waiting() && serial_ != nullptr) watch(serial_->readable(), What::Port);

  std::uint32_t timeout = console::kNoTimeout;
  const Clock::time_point now = Clock::now();
  for (const Newcomer& newcomer : newcomers_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(newcomer.deadline - now).count();
    timeout = std::min<std::uint32_t>(timeout, left > 0 ? static_cast<std::uint32_t>(left) : 0);
  }
  const std::size_t which = console::waitForAny(waitables, timeout);
  Served served = Served::Nothing;
  switch (which == console::kTimedOut ? What::OutputGone : what[which].first) {
    case What::OutputGone:
      if (which != console::kTimedOut) return Served::GuiGone;
      break;
    case What::Command:
      return Served::Command;
    case What::Partner:
      if (!hearPartner()) dropPartner();
      break;
    case What::Greeting: {
      const auto at = newcomers_.begin() + static_cast<std::ptrdiff_t>(what[which].second);
      if (!greet(*at)) newcomers_.erase(at);
      break;
    }
    case What::Incoming:
      acceptNewcomer();
      break;
    case What::Port:
      readPort(guiGoWaits, served);
      break;
  }
  // A partner that could not be told its status line or its move has gone.
  if (partner_ && partnerGo_->undelivered) dropPartner();
  // A newcomer that has said nothing in its time is let go.
  const Clock::time_point after = Clock::now();
  newcomers_.erase(std::remove_if(newcomers_.begin(), newcomers_.end(),
                                  [&](const Newcomer& n) { return n.deadline <= after; }),
                   newcomers_.end());
  return served;
}

void PortHolder::readPort(bool guiGoWaits, Served& served) {
  // While the device is away, reads come back empty after a pause; then our GUI closing our
  // input is the only way left to end the wait.
  if (!serial_->connected() && guiGoWaits && parts_.console.waitForInputHangUp(0)) {
    served = Served::GuiGone;
    return;
  }
  // A read of the port sets the console up, as a first write would.
  parts_.output.setUp();
  const std::string byte = serial_->readChars(1);
  if (serial_->connected() != devicePresent_) {
    devicePresent_ = serial_->connected();
    if (!devicePresent_) {
      point_.reset();
    } else if (!point_ && !parts_.devicePath.empty()) {
      // Someone may have claimed it meanwhile: then this process goes on without one.
      link::Claim claim = link::Claim::NoSharing;
      point_ = parts_.place.claim(parts_.devicePath, claim);
    }
    // The partner's handle of a device that has gone is no use, and would keep a
    // pseudo-terminal's number from being handed on; one of the device back replaces it.
    if (partner_ && devicePresent_) {
      passPort("port");
    } else if (partner_ && partnerHasPort_) {
      partnerHasPort_ = false;
      sendPartner("gone\n");
    }
  }
  if (!byte.empty()) moves_.take(byte[0]);
}

void PortHolder::acceptNewcomer() {
  std::unique_ptr<link::Connection> connection = point_->accept();
  if (!connection || newcomers_.size() >= kMostNewcomers) return;
  newcomers_.push_back({std::move(connection), LineSplitter(kLongestFromPartner),
                        Clock::now() + std::chrono::milliseconds(link::kMeetingTimeout)});
}

bool PortHolder::greet(Newcomer& newcomer) {
  char buffer[512];
  std::intptr_t port = -1;
  const std::size_t got = newcomer.connection->receive(buffer, sizeof buffer, port);
  if (got == 0) return false;
  newcomer.lines.feed(buffer, got);
  const std::optional<std::string> first = newcomer.lines.next();
  if (!first) return !newcomer.lines.malformed();
  if (parseMessage(*first).kind != MessageKind::Hello) return false;
  if (partner_) {
    // Two sides, two processes: a third gets nothing of the game.
    newcomer.connection->send("full\n");
    return false;
  }
  partner_ = std::move(newcomer.connection);
  partnerLines_ = std::move(newcomer.lines);
  partnerAsked_ = false;
  partnerHeld_ = 0;
  partnerHasPort_ = false;
  partnerGo_->undelivered.reset();
  // From now on a signal that ends us waits until the partner has what it needs to go on.
  console::deferEndingSignals(true);
  passPort("welcome");
  // What it said right after its hello is heard now.
  std::optional<std::string> line;
  while (partner_ && (line = partnerLines_.next())) {
    if (!partnerLine(*line)) dropPartner();
  }
  if (partner_ && partnerLines_.malformed()) dropPartner();
  return false;  // no newcomer any more either way
}

void PortHolder::passPort(const std::string& word) {
  const std::intptr_t handle = serial_ != nullptr ? serial_->passableHandle() : -1;
  const std::string found = handle >= 0 ? serial_->foundState() : "-";
  if (sendPartner(word + " " + found + "\n", handle)) partnerHasPort_ = handle >= 0;
}

bool PortHolder::sendPartner(const std::string& line, std::intptr_t port) {
  if (!partner_) return false;
  if (partner_->send(line, port)) return true;
  // It has gone, or does not read: let go of it once this step is done.
  if (!partnerGo_->undelivered) partnerGo_->undelivered = std::string();
  return false;
}

bool PortHolder::hearPartner() {
  char buffer[4096];
  std::intptr_t port = -1;
  const std::size_t got = partner_->receive(buffer, sizeof buffer, port);
  if (port >= 0) return false;  // nothing of the kind is for the holder
  if (got == 0) return false;
  partnerLines_.feed(buffer, got);
  while (const std::optional<std::string> line = partnerLines_.next()) {
    if (!partnerLine(*line)) return false;
  }
  return !partnerLines_.malformed();
}

bool PortHolder::partnerLine(const std::string& line) {
  const Message message = parseMessage(line);
  switch (message.kind) {
    case MessageKind::Go: {
      // One go at a time: the next only once this one's move has been sent.
      if (moves_.isWaiting(*partnerGo_)) return false;
      partnerAsked_ = true;
      const std::size_t blank = message.text.find(' ');
      if (blank == std::string::npos) {
        partnerGo_->position = Position();
      } else {
        partnerGo_->position.setFen(std::string_view(message.text).substr(0, blank),
                                    std::string_view(message.text).substr(blank + 1));
      }
      moves_.ask(*partnerGo_);
      return true;
    }
    case MessageKind::Back:
      moves_.giveBack({message.text, message.piece});
      return true;
    case MessageKind::Held:
      // What a process that had held the port before handed to it, before anything read here.
      if (partnerAsked_) return false;
      moves_.keepBefore(partnerHeld_++, {message.text, message.piece});
      return true;
    case MessageKind::Partial:
      if (partnerAsked_) return false;
      moves_.partialBefore(message.text);
      return true;
    default:
      return false;
  }
}

void PortHolder::dropPartner() {
  moves_.withdraw(*partnerGo_);
  partner_.reset();
  partnerHasPort_ = false;
  console::deferEndingSignals(false);
  // Sent to a partner that had gone: the next go's.
  std::optional<std::string> undelivered = std::move(partnerGo_->undelivered);
  partnerGo_->undelivered.reset();
  if (undelivered && !undelivered->empty()) moves_.giveBack(printedFrom(*undelivered));
}

void PortHolder::handOver() {
  if (partner_) {
    // Each goes out until one fails: a partner that has gone cannot be told the rest.
    bool told = true;
    for (const link::PrintedMove& move : moves_.kept()) {
      told = told && sendPartner(moveMessage("held", move));
    }
    if (told && !moves_.partialLine().empty()) {
      sendPartner("partial " + moves_.partialLine() + "\n");
    }
    // The partner holds the port already through its own handle: ours goes, and the port stays
    // as it is for it (put back, it would be unlocked and reset under the partner). Otherwise it
    // is closed now, before the partner hears that we are gone.
    if (partnerHasPort_) {
      serial_->leave();
    } else {
      parts_.channels.closeChannel(parts_.channel);
      serial_ = nullptr;
    }
  }
  // The meeting point goes first, then the connection: the partner finds it free.
  point_.reset();
  partner_.reset();
}

}  // namespace kestrelgate::uci
