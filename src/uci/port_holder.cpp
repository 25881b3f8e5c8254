#include "uci/port_holder.h"

#include <algorithm>

#include "console/process.h"

namespace kestrelgate::uci {

using Clock = std::chrono::steady_clock;

// A go waiting for its move: our GUI's (its status lines to our output, its move kept for
// move()) or a joined process's (both down its connection).
class PortHolder::Go final : public WaitingGo {
 public:
  Go(PortHolder& holder, Peer* peer) : holder_(holder), peer_(peer) {}
  void relay(const std::string& line) override {
    if (peer_ != nullptr) {
      holder_.tell(*peer_, "info " + line + "\n");
      return;
    }
    holder_.parts_.output.writeText("info string ");
    holder_.parts_.output.writeLine(line);
  }
  bool answer(const std::string& move) override {
    holder_.lastMove_ = holder_.parts_.now();
    holder_.anyMove_ = true;
    if (peer_ != nullptr) return holder_.tell(*peer_, "move " + move + "\n");
    answered = move;
    return true;
  }

  std::optional<std::string> answered;

 private:
  PortHolder& holder_;
  Peer* peer_;
};

// A joined process says little: a hello, a go with a position, what it brought along.
constexpr std::size_t kLongestFromPeer = 1 << 16;
constexpr std::size_t kMostPeers = 8;
// How long a game stands still, no go waiting, before a third process is let in.
constexpr auto kStillBeforeANewPair = std::chrono::seconds(2);

PortHolder::PortHolder(Parts parts, std::unique_ptr<link::MeetingPoint> point, bool claimLater)
    : parts_(std::move(parts)),
      serial_(parts_.channels.findAs<link::SerialChannel>(parts_.channel)),
      point_(std::move(point)),
      guiGo_(std::make_unique<Go>(*this, nullptr)),
      devicePresent_(serial_ != nullptr && serial_->connected()),
      claiming_(claimLater && devicePresent_ && !parts_.devicePath.empty() ? Claiming::WhenIdle
                                                                           : Claiming::No) {
  if (!devicePresent_) point_.reset();
}

void PortHolder::claimNow() {
  link::Claim claim = link::Claim::NoSharing;
  point_ = parts_.place.claim(parts_.devicePath, claim);
  claiming_ = claim == link::Claim::Held ? Claiming::Again : Claiming::No;
}

PortHolder::~PortHolder() {
  if (joinedCount() > 0) console::deferEndingSignals(false);
}

std::size_t PortHolder::joinedCount() const {
  return static_cast<std::size_t>(std::count_if(
      peers_.begin(), peers_.end(), [](const std::unique_ptr<Peer>& p) { return p->joined; }));
}

bool PortHolder::aSideWaits() const {
  return std::any_of(sides_.begin(), sides_.end(),
                     [this](const Go* side) { return moves_.isWaiting(*side); });
}

std::optional<std::string> PortHolder::move(const Position& position) {
  guiGo_->position = position;
  guiGo_->answered.reset();
  ask(*guiGo_);
  // A move dealt comes before whatever else the wait brought.
  while (!guiGo_->answered) {
    if (serveOnce(true, false) || console::endingSignal() != 0) break;
  }
  moves_.withdraw(*guiGo_);
  return guiGo_->answered;
}

void PortHolder::awaitCommand() {
  while (!serveOnce(false, true) && console::endingSignal() == 0) {
  }
}

bool PortHolder::serveOnce(bool guiGoWaits, bool commandWanted) {
  // Made anew for each wait, in vectors kept from one to the next: a wait comes before every
  // byte read from the port.
  waitables_.clear();
  what_.clear();
  // The meeting point is claimed at the first go, or once our GUI has said nothing for a
  // moment. Another Kestrelgate that has just started may hold it for a moment, having found
  // the port ours: then again a little later.
  if (claiming_ != Claiming::No && guiGoWaits) claimNow();
  std::uint32_t timeout = claiming_ == Claiming::WhenIdle ? 2
                          : claiming_ == Claiming::Again  ? 20
                                                          : console::kNoTimeout;
  const auto watch = [&](console::Waitable waitable, What kind, std::size_t index = 0) {
    waitables_.push_back(waitable);
    what_.emplace_back(kind, index);
  };
  // A GUI that has gone takes no move: its going is seen first.
  if (guiGoWaits) watch(parts_.console.outputGone(), What::OutputGone);
  if (commandWanted) watch(parts_.console.standardInput().ready(), What::Command);
  const Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    watch(peers_[i]->connection->readable(), What::Peer, i);
    if (peers_[i]->joined) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(peers_[i]->helloBy - now).count();
    timeout = std::min<std::uint32_t>(timeout, left > 0 ? static_cast<std::uint32_t>(left) : 0);
  }
  if (point_) watch(point_->incoming(), What::Incoming);
  // While the device is away, the next try at opening it again is a time-out of this wait.
  const bool portWanted = moves_.waiting() && serial_ != nullptr;
  if (portWanted) {
    watch(serial_->readable(), What::Port);
    timeout = std::min(timeout, serial_->untilReopen());
  }

  const std::size_t which = console::waitForAny(waitables_, timeout);
  if (claiming_ != Claiming::No && which == console::kTimedOut) claimNow();
  bool done = false;
  if (which == console::kTimedOut && portWanted && serial_->untilReopen() == 0) {
    readPort(guiGoWaits, done);
  }
  if (which != console::kTimedOut) {
    const auto [kind, index] = what_[which];
    if (kind == What::OutputGone || kind == What::Command) done = true;
    if (kind == What::Peer && !hear(*peers_[index])) letGo(index);
    if (kind == What::Incoming) {
      std::unique_ptr<link::Connection> connection = point_->accept();
      if (connection && peers_.size() >= kMostPeers) {
        connection->send("full\n");  // as many as we serve: it is told, not just dropped
      } else if (connection) {
        auto peer = std::make_unique<Peer>(
            Peer{std::move(connection), LineSplitter(kLongestFromPeer),
                 Clock::now() + std::chrono::milliseconds(link::kMeetingTimeout), nullptr});
        peer->go = std::make_unique<Go>(*this, peer.get());
        peers_.push_back(std::move(peer));
      }
    }
    if (kind == What::Port) readPort(guiGoWaits, done);
  }
  // A joined process that could not be told something has gone; one that has not said hello
  // in its time is let go.
  const Clock::time_point after = Clock::now();
  for (std::size_t i = peers_.size(); i-- > 0;) {
    const Peer& peer = *peers_[i];
    if (peer.joined ? peer.broken : peer.helloBy <= after) letGo(i);
  }
  return done;
}

void PortHolder::readPort(bool guiGoWaits, bool& guiGone) {
  // While the device is away, our GUI closing our input is the only way left to end the wait
  // of its go: commands are not read meanwhile.
  if (!serial_->connected() && guiGoWaits && parts_.console.waitForInputHangUp(0)) {
    guiGone = true;
    return;
  }
  // A read of the port sets the console up, as a first write would.
  parts_.output.setUp();
  readByte();
  // The bytes already in the driver's queue are read, one request each, without a wait between
  // them: a burst of status lines costs a read a byte, as it would alone.
  std::uint32_t queued = 0;
  if (!moves_.waiting() || serial_->bytesWaiting(queued) != console::IoResult::Ok) return;
  for (std::uint32_t i = 0; i < queued && moves_.waiting(); ++i) readByte();
}

void PortHolder::readByte() {
  const std::string byte = serial_->readChars(1);
  if (serial_->connected() != devicePresent_) {
    devicePresent_ = serial_->connected();
    if (!devicePresent_) {
      point_.reset();
    } else if (!point_ && !parts_.devicePath.empty()) {
      link::Claim claim = link::Claim::NoSharing;  // taken meanwhile: we go on without one
      point_ = parts_.place.claim(parts_.devicePath, claim);
    }
    // A joined process's handle of a device that has gone is no use, and would keep a
    // pseudo-terminal's number from being handed on; one of the device back replaces it.
    for (const std::unique_ptr<Peer>& peer : peers_) {
      if (peer->joined && devicePresent_) {
        passPort(*peer, "port");
      } else if (peer->joined && peer->hasPort) {
        peer->hasPort = false;
        tell(*peer, "gone\n");
      }
    }
  }
  if (!byte.empty()) moves_.take(byte[0]);
}

bool PortHolder::welcomes() {
  const std::size_t joined = joinedCount();
  if (joined == 0) return true;  // the other side
  // A third only once the game stands still: a game's go that waits is its game going on.
  return joined + 1 < kMostPeers && !aSideWaits() && anyMove_ &&
         parts_.now() - lastMove_ >= kStillBeforeANewPair;
}

void PortHolder::ask(Go& go) {
  if (std::find(sides_.begin(), sides_.end(), &go) == sides_.end()) {
    if (sides_.size() < 2) {
      sides_.push_back(&go);
    } else if (go.position.opensAGame() && !aSideWaits()) {
      sides_ = {&go};  // a new game: the two that played the last one take no more
    } else {
      return;  // not this game's: it waits, and takes nothing
    }
  }
  moves_.ask(go);
}

bool PortHolder::hear(Peer& peer) {
  char buffer[4096];
  std::intptr_t port = -1;
  const std::size_t got = peer.connection->receive(buffer, sizeof buffer, port);
  if (got == 0 || port >= 0) {
    link::closePassedHandle(port);  // nothing of the kind is for the holder
    return false;
  }
  peer.lines.feed(buffer, got);
  while (const std::optional<std::string> line = peer.lines.next()) {
    if (peer.joined) {
      if (!said(peer, *line)) return false;
      continue;
    }
    if (parseMessage(*line).kind != MessageKind::Hello) return false;
    // Two sides, two processes: a third gets nothing of a game that goes on.
    if (!welcomes()) {
      peer.connection->send("full\n");
      return false;
    }
    peer.joined = true;
    // From now on a signal that ends us waits until a joined process has what it needs.
    console::deferEndingSignals(true);
    passPort(peer, "welcome");
  }
  return !peer.lines.malformed();
}

void PortHolder::passPort(Peer& peer, const std::string& word) {
  const std::intptr_t handle = serial_ != nullptr ? serial_->passableHandle() : -1;
  const std::string found = handle >= 0 ? serial_->foundState() : "-";
  if (tell(peer, word + " " + found + "\n", handle)) peer.hasPort = handle >= 0;
}

bool PortHolder::tell(Peer& peer, const std::string& line, std::intptr_t port) {
  if (peer.connection->send(line, port)) return true;
  peer.broken = true;
  return false;
}

bool PortHolder::said(Peer& peer, const std::string& line) {
  const Message message = parseMessage(line);
  switch (message.kind) {
    case MessageKind::Go: {
      // One go at a time: the next only once this one's move has been sent.
      if (moves_.isWaiting(*peer.go)) return false;
      peer.asked = true;
      const std::size_t blank = message.text.find(' ');
      peer.go->position = Position();
      if (blank != std::string::npos) {
        peer.go->position.setFen(std::string_view(message.text).substr(0, blank),
                                 std::string_view(message.text).substr(blank + 1));
      }
      ask(*peer.go);
      return true;
    }
    case MessageKind::Back:
      moves_.giveBack({message.text, message.piece});
      return true;
    case MessageKind::Stock:
    case MessageKind::Partial:
      // Its stock comes before anything read here, once all of it has come.
      if (peer.asked) return false;
      if (collectStock(peer.brought, message)) moves_.takeIn(std::exchange(peer.brought, {}));
      return true;
    default:
      return false;
  }
}

void PortHolder::letGo(std::size_t index) {
  Peer& peer = *peers_[index];
  moves_.withdraw(*peer.go);
  sides_.erase(std::remove(sides_.begin(), sides_.end(), peer.go.get()), sides_.end());
  const bool joined = peer.joined;
  peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
  if (joined && joinedCount() == 0) console::deferEndingSignals(false);
}

void PortHolder::handOver() {
  // The one that takes over: a joined process that plays, or any joined one.
  Peer* heir = nullptr;
  for (const std::unique_ptr<Peer>& peer : peers_) {
    const bool side = std::find(sides_.begin(), sides_.end(), peer->go.get()) != sides_.end();
    if (peer->joined && (heir == nullptr || side)) heir = peer.get();
  }
  // The meeting point goes first: the heir finds it free. The port is put back before an heir
  // without a handle of its own hears that we are gone (it opens the port again), and after one
  // with a handle, unless that one says it holds the port now (put back, it would be unlocked
  // and reset under it): an heir may be ending in the same moment, as at a quit to both sides.
  point_.reset();
  const bool passed = heir != nullptr && heir->hasPort;
  if (!passed) parts_.channels.closeChannel(parts_.channel);
  if (heir != nullptr && tell(*heir, stockMessages(moves_.stock())) && passed && takenOver(*heir)) {
    serial_->leave();
  } else {
    parts_.channels.closeChannel(parts_.channel);
  }
  serial_ = nullptr;
  peers_.clear();
}

bool PortHolder::takenOver(Peer& heir) {
  const auto receive = [&heir] {
    char buffer[4096];
    std::intptr_t port = -1;
    const std::size_t got = heir.connection->receive(buffer, sizeof buffer, port);
    link::closePassedHandle(port);
    heir.lines.feed(buffer, got);
    return got > 0;
  };
  const std::optional<std::string> line =
      nextLine(heir.lines, heir.connection->readable(), receive, link::kMeetingTimeout);
  return line && parseMessage(*line).kind == MessageKind::Taken;
}

}  // namespace kestrelgate::uci
