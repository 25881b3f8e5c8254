#include "uci/shared_port.h"

#include <utility>

#include "link/port_spec.h"

namespace kestrelgate::uci {

using console::Waitable;
using Clock = std::chrono::steady_clock;

namespace {

// A process that joins says little: a hello, a go, a confirmation.
constexpr std::size_t kLargestFromJoined = 64;
// The holder passes on status lines whole, however long the chess computer made them.
constexpr std::size_t kLargestFromHolder = std::size_t{1} << 30;
// How long a process that has joined waits for the holder's answer to its hello.
constexpr std::uint32_t kWelcomeTimeout = 5000;
// How long a GUI's go waits between tries at a port that another program took meanwhile.
constexpr std::uint32_t kRetryPause = 500;

}  // namespace

// ---- this process's own GUI ----

void GuiWaiter::relay(const std::string& line) {
  output_.writeText("info string ");
  output_.writeLine(line);
}

bool GuiWaiter::pauseAfterEmptyRead() {
  if (console::waitForAny({console_.outputGone()}, 0) == 0) return false;
  // Reads come back empty while the port answers at once or its device has gone; then the GUI
  // closing our input is the only way left to end the wait.
  return !console_.waitForInputHangUp(10);
}

std::string ChannelReader::readByte() {
  output_.setUp();
  std::string byte = serial_.readChars(1);
  if (serial_.connected() != present_) {
    present_ = !present_;
    if (presenceWatcher_) presenceWatcher_(present_);
  }
  return byte;
}

// ---- the holder's side ----

class PortHolder::RemoteWaiter final : public Waiter {
 public:
  explicit RemoteWaiter(PortHolder& holder) : holder_(holder) {}

  void relay(const std::string& line) override {
    const std::lock_guard<std::mutex> lock(holder_.sendMutex_);
    holder_.sendLocked(MessageKind::Info, line);
  }

  bool dealt(const std::string& move) override {
    const std::lock_guard<std::mutex> lock(holder_.sendMutex_);
    // Kept until the joined process says it reached its GUI: if it goes before that, the move
    // is the next go's (dropJoined gives it back).
    holder_.inFlight_ = move;
    holder_.sendLocked(MessageKind::Move, move);
    return true;
  }

  std::vector<Waitable> watched() override {
    return {holder_.joined_->readable(), holder_.presenceWake_.waitable(), holder_.incoming(),
            holder_.stopWake_.waitable()};
  }

  bool keepWaiting(std::size_t which) override {
    if (which == 3) {
      holder_.stopWake_.consume();
      return !holder_.brokenJoined() && !holder_.stopping_;
    }
    if (which == 1) {
      holder_.followDevice();
      return true;
    }
    if (which == 2) {
      holder_.acceptOne();  // a third: refused, and the go goes on waiting
      return true;
    }
    // While its go waits, the joined process has nothing to say: whatever comes is its end (or
    // something it may not send, which ends the connection too). Once its move is on its way,
    // what comes is its confirmation, read once this go has returned.
    const std::lock_guard<std::mutex> lock(holder_.sendMutex_);
    return holder_.inFlight_.has_value();
  }

  bool pauseAfterEmptyRead() override {
    const std::size_t which = console::waitForAny(watched(), 10);
    return which == console::kTimedOut || keepWaiting(which);
  }

 private:
  PortHolder& holder_;
};

PortHolder::PortHolder(MoveDealer& dealer, std::unique_ptr<link::MeetingPoint> point,
                       link::SharePlatform& share, std::string name)
    : dealer_(dealer),
      point_(std::move(point)),
      share_(share),
      name_(std::move(name)),
      messages_(kLargestFromJoined) {
  dealer_.onStockChange([this](const std::deque<std::string>& stock) {
    const std::lock_guard<std::mutex> lock(sendMutex_);
    sendLocked(MessageKind::Stock, encodeMoves(stock));
  });
}

PortHolder::~PortHolder() {
  dealer_.onStockChange(nullptr);
  // A thread still in a read that cannot be interrupted goes with the process.
  if (thread_.joinable()) thread_.detach();
}

void PortHolder::start() {
  thread_ = std::thread([this] {
    run();
    done_ = true;
    finished_.signal();
  });
}

bool PortHolder::sendLocked(MessageKind kind, std::string_view payload) {
  if (!joined_ || !greeted_ || joinedBroken_) return false;
  if (joined_->send(encodeMessage(kind, payload))) return true;
  // It has gone, or has not read for so long that a send gave up: the serving thread lets it go.
  joinedBroken_ = true;
  stopWake_.signal();
  return false;
}

void PortHolder::devicePresent(bool present) {
  devicePresent_ = present;
  presenceWake_.signal();
}

Waitable PortHolder::incoming() const {
  return point_ ? point_->incoming() : Waitable{};
}

void PortHolder::followDevice() {
  presenceWake_.consume();
  if (!devicePresent_) {
    point_.reset();
  } else if (!point_) {
    // Someone else may have claimed it meanwhile: then it holds the port too, and this process
    // waits for the port as for any other holder's.
    bool taken = false;
    point_ = share_.claim(name_, taken);
  }
}

void PortHolder::run() {
  while (!stopping_) {
    // The device's coming and going first: nobody is met for a device that has gone.
    std::vector<Waitable> waitables{stopWake_.waitable(), presenceWake_.waitable(), incoming()};
    if (joined_) waitables.push_back(joined_->readable());
    const std::size_t which = console::waitForAny(waitables);
    if (stopping_) break;
    if (which == 0) {
      stopWake_.consume();
      if (brokenJoined()) dropJoined();
    } else if (which == 1) {
      followDevice();
    } else if (which == 2) {
      acceptOne();
    } else if (which == 3) {
      if (!receiveBetweenGos()) {
        dropJoined();
      } else if (goWaiting_) {
        goWaiting_ = false;
        serveGo();
      }
    }
  }
}

bool PortHolder::brokenJoined() {
  const std::lock_guard<std::mutex> lock(sendMutex_);
  return joinedBroken_;
}

void PortHolder::acceptOne() {
  if (!point_) return;
  std::unique_ptr<link::ShareConnection> candidate = point_->accept();
  if (!candidate) return;  // another user's, refused by the platform, or gone already
  const std::lock_guard<std::mutex> lock(sendMutex_);
  if (joined_) {
    // Two sides, two processes: a third gets nothing of the game.
    candidate->send(encodeMessage(MessageKind::Full));
    return;
  }
  joined_ = std::move(candidate);
  greeted_ = false;
  joinedBroken_ = false;
  inFlight_.reset();
  messages_ = MessageReader(kLargestFromJoined);
  goWaiting_ = false;
}

bool PortHolder::receiveBetweenGos() {
  char buffer[256];
  const std::size_t got = joined_->receive(buffer, sizeof buffer);
  if (got == 0) return false;
  messages_.feed(buffer, got);
  while (const std::optional<Message> message = messages_.next()) {
    if (goWaiting_) return false;  // nothing may follow a go until its move has been dealt
    if (!greeted_) {
      if (message->kind != MessageKind::Hello || message->payload != kHello) return false;
      // The stock goes with the welcome under the dealer's lock, so no change of it can slip
      // between the two.
      dealer_.withStock([this](const std::deque<std::string>& stock) {
        const std::lock_guard<std::mutex> lock(sendMutex_);
        greeted_ = joined_->send(encodeMessage(MessageKind::Welcome, encodeMoves(stock)));
      });
      if (!greeted_) return false;
      continue;
    }
    switch (message->kind) {
      case MessageKind::Go: {
        const std::lock_guard<std::mutex> lock(sendMutex_);
        if (inFlight_ || !message->payload.empty()) return false;  // the last move unconfirmed
        goWaiting_ = true;
        break;
      }
      case MessageKind::Written: {
        const std::lock_guard<std::mutex> lock(sendMutex_);
        if (!inFlight_ || !message->payload.empty()) return false;
        inFlight_.reset();
        break;
      }
      default:
        return false;
    }
  }
  return !messages_.malformed();
}

void PortHolder::serveGo() {
  RemoteWaiter waiter(*this);
  if (dealer_.take(waiter)) return;  // the move went out as it was dealt
  // The joined process went away while its go waited, or sent what it may not; or this process
  // is ending and hands over.
  if (!stopping_) dropJoined();
}

void PortHolder::dropJoined() {
  std::optional<std::string> unwritten;
  {
    const std::lock_guard<std::mutex> lock(sendMutex_);
    unwritten = std::move(inFlight_);
    inFlight_.reset();
  }
  // The move is back in the stock before the connection goes, so that its end is seen only once
  // the move is the next go's.
  if (unwritten) dealer_.giveBack(*unwritten);
  const std::lock_guard<std::mutex> lock(sendMutex_);
  joined_.reset();
  greeted_ = false;
  joinedBroken_ = false;
  goWaiting_ = false;
}

bool PortHolder::handOver() {
  stopping_ = true;
  stopWake_.signal();
  const bool idle = dealer_.stop();
  if (thread_.joinable()) {
    if (!done_) console::waitForAny({finished_.waitable()}, 1000);
    if (done_) thread_.join();
  }
  if (!idle) return false;
  const std::string partial = dealer_.partialLine();
  const std::lock_guard<std::mutex> lock(sendMutex_);
  if (!partial.empty()) sendLocked(MessageKind::Partial, partial);
  return true;
}

// ---- the joined side ----

JoinedSide::JoinedSide(std::unique_ptr<link::ShareConnection> connection,
                       std::deque<std::string> stock, console::LineOutput& output,
                       console::ConsolePlatform& console)
    : heard_(std::make_shared<Heard>()), output_(output), console_(console) {
  heard_->connection = std::move(connection);
  heard_->stock = std::move(stock);
  // It ends by itself once the holder has gone; a holder still there at our end goes with us.
  std::thread([heard = heard_] { listen(*heard); }).detach();
}

void JoinedSide::listen(Heard& heard) {
  MessageReader messages(kLargestFromHolder);
  char buffer[4096];
  for (;;) {
    const std::size_t got = heard.connection->receive(buffer, sizeof buffer);
    if (got > 0) messages.feed(buffer, got);
    const std::lock_guard<std::mutex> lock(heard.mutex);
    while (std::optional<Message> message = messages.next()) {
      switch (message->kind) {
        case MessageKind::Stock:
          if (std::optional<std::deque<std::string>> stock = decodeMoves(message->payload)) {
            heard.stock = std::move(*stock);
          }
          break;
        case MessageKind::Partial:
          heard.partialLine = std::move(message->payload);
          break;
        case MessageKind::Info:
        case MessageKind::Move:
          heard.forGo.push_back(std::move(*message));
          break;
        default:
          break;  // nothing else is for a joined process
      }
    }
    // The holder gone, or what it said makes no sense: either way its port is to be taken.
    if (got == 0 || messages.malformed()) {
      heard.holderGone = true;
      heard.arrived.signal();
      return;
    }
    if (!heard.forGo.empty()) heard.arrived.signal();
  }
}

JoinedSide::End JoinedSide::take(std::string& move) {
  Heard& heard = *heard_;
  // A holder that has gone fails the send; the listener then hears its end, once it has taken
  // in all it said, and the port is ours to take.
  heard.connection->send(encodeMessage(MessageKind::Go));
  for (;;) {
    heard.arrived.consume();
    std::unique_lock<std::mutex> lock(heard.mutex);
    while (!heard.forGo.empty()) {
      Message message = std::move(heard.forGo.front());
      heard.forGo.pop_front();
      if (message.kind == MessageKind::Move) {
        move = std::move(message.payload);
        unconfirmed_ = true;
        return End::Move;
      }
      lock.unlock();
      output_.writeText("info string ");
      output_.writeLine(message.payload);
      lock.lock();
    }
    if (heard.holderGone) return End::HolderGone;
    lock.unlock();
    if (console::waitForAny({console_.outputGone(), heard.arrived.waitable()}) == 0) {
      return End::GuiGone;
    }
  }
}

std::deque<std::string> JoinedSide::stock() {
  const std::lock_guard<std::mutex> lock(heard_->mutex);
  return heard_->stock;
}

std::string JoinedSide::partialLine() {
  const std::lock_guard<std::mutex> lock(heard_->mutex);
  return heard_->partialLine;
}

void JoinedSide::confirmWritten() {
  if (!unconfirmed_) return;
  unconfirmed_ = false;
  // A holder that has gone is found out at the next go.
  heard_->connection->send(encodeMessage(MessageKind::Written));
}

// ---- coming to the port ----

namespace {

// The device the port settings text (or the device path) names, as the serial channel opens it.
std::string portPath(const std::string& specText, const std::optional<std::string>& devicePath,
                     link::SerialPlatform& serial) {
  if (devicePath) return *devicePath;
  link::PortSpec spec;
  if (link::parsePortSpec(specText, spec) != console::IoResult::Ok || spec.irq != 0) return {};
  return serial.devicePath(spec.portNumber);
}

void pause(std::uint32_t milliseconds) {
  console::waitForAny({}, milliseconds);
}

// Says hello to a holder and waits for its answer.
PortMeeting greet(std::unique_ptr<link::ShareConnection> connection, bool& answered) {
  PortMeeting meeting;
  answered = false;
  if (!connection->send(encodeMessage(MessageKind::Hello, kHello))) return meeting;
  MessageReader reader(kLargestFromHolder);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWelcomeTimeout);
  std::deque<std::string> stock;
  for (;;) {
    while (std::optional<Message> message = reader.next()) {
      if (message->kind == MessageKind::Full) {
        answered = true;
        return meeting;
      }
      if (message->kind != MessageKind::Welcome && message->kind != MessageKind::Stock) continue;
      std::optional<std::deque<std::string>> held = decodeMoves(message->payload);
      if (held) stock = std::move(*held);
      if (message->kind == MessageKind::Welcome) {
        answered = true;
        meeting.outcome = PortMeeting::Outcome::Joined;
        meeting.connection = std::move(connection);
        meeting.stock = std::move(stock);
        return meeting;
      }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (reader.malformed() || left.count() <= 0) return meeting;
    if (console::waitForAny({connection->readable()}, static_cast<std::uint32_t>(left.count())) !=
        0) {
      return meeting;
    }
    char buffer[256];
    const std::size_t got = connection->receive(buffer, sizeof buffer);
    if (got == 0) return meeting;  // the holder is ending: try again
    reader.feed(buffer, got);
  }
}

}  // namespace

PortMeeting meetPort(console::ChannelTable& table, int channel, const std::string& specText,
                     const std::optional<std::string>& devicePath, link::SerialPlatform& serial,
                     link::SharePlatform& share, Patience patience) {
  const std::string path = portPath(specText, devicePath, serial);
  const std::string name = path.empty() ? std::string() : share.meetingName(path);
  const Clock::time_point start = Clock::now();
  const auto waited = [&] { return Clock::now() - start; };
  const auto open = [&] {
    link::OpenReport report;
    link::openSerial(table, channel, specText, serial, devicePath ? &*devicePath : nullptr,
                     &report);
    return report;
  };
  for (;;) {
    bool taken = false;
    std::unique_ptr<link::MeetingPoint> point;
    if (!name.empty()) point = share.claim(name, taken);
    if (!taken) {
      // First at the meeting point (or there is none to be had): the port is this process's
      // to open.
      const link::OpenReport report = open();
      if (report.result == console::IoResult::Ok) {
        PortMeeting meeting;
        meeting.outcome = PortMeeting::Outcome::Holding;
        meeting.point = std::move(point);
        meeting.name = name;
        return meeting;
      }
      const bool held = report.failure == link::OpenFailure::HeldByKestrelgate ||
                        report.failure == link::OpenFailure::HeldByOther;
      if (!held || waited() >= patience.port) return {};
      pause(20);
      continue;
    }
    link::Meeting met = share.connect(name);
    if (met.foreign) {
      // Another user's name: nothing of theirs to join. The port's lock decides alone.
      if (open().result != console::IoResult::Ok) return {};
      PortMeeting meeting;
      meeting.outcome = PortMeeting::Outcome::Holding;
      return meeting;
    }
    if (met.connection) {
      bool answered = false;
      PortMeeting meeting = greet(std::move(met.connection), answered);
      if (answered) return meeting;
    }
    // Claimed, but not answering: it has just started, or it is just ending.
    if (waited() >= patience.connect) return {};
    pause(10);
  }
}

// ---- the port as the UCI loop sees it ----

SharedPort::SharedPort(Setup setup, PortMeeting meeting)
    : setup_(std::move(setup)), gui_(setup_.output, setup_.console) {
  if (meeting.outcome == PortMeeting::Outcome::Joined) {
    joined_ = std::make_unique<JoinedSide>(std::move(meeting.connection), std::move(meeting.stock),
                                           setup_.output, setup_.console);
  } else {
    hold(std::move(meeting.point), meeting.name);
  }
}

SharedPort::~SharedPort() = default;

void SharedPort::hold(std::unique_ptr<link::MeetingPoint> point, const std::string& name) {
  auto* serial = setup_.channels.findAs<link::SerialChannel>(setup_.channel);
  reader_ = std::make_unique<ChannelReader>(*serial, setup_.output);
  dealer_ = std::make_unique<MoveDealer>(*reader_);
  if (point) {
    holder_ = std::make_unique<PortHolder>(*dealer_, std::move(point), setup_.share, name);
    reader_->onPresence([holder = holder_.get()](bool present) { holder->devicePresent(present); });
    holder_->start();
  }
}

std::optional<MoveReply> SharedPort::nextMove(const Position& position) {
  gui_.answerOn(position);
  for (;;) {
    if (joined_) {
      std::string move;
      switch (joined_->take(move)) {
        case JoinedSide::End::Move:
          return MoveReply{answerFor(printedMove(move), position), ""};
        case JoinedSide::End::GuiGone:
          return std::nullopt;
        case JoinedSide::End::HolderGone:
          if (!takeOver()) return std::nullopt;
          continue;
      }
    }
    std::optional<std::string> move = dealer_->take(gui_);
    if (!move) return std::nullopt;
    return MoveReply{answerFor(printedMove(*move), position), ""};
  }
}

void SharedPort::beforeCommand() {
  if (joined_) joined_->confirmWritten();
}

bool SharedPort::takeOver() {
  std::deque<std::string> stock = joined_->stock();
  std::string partial = joined_->partialLine();
  joined_.reset();
  // The holder lets the port go as it ends; its lock and its meeting point may outlast its
  // connection by a moment.
  constexpr Patience kTakingOver{std::chrono::milliseconds(5000), std::chrono::milliseconds(5000)};
  for (;;) {
    PortMeeting meeting = meetPort(setup_.channels, setup_.channel, setup_.specText,
                                   setup_.devicePath, setup_.serial, setup_.share, kTakingOver);
    if (meeting.outcome == PortMeeting::Outcome::Holding) {
      hold(std::move(meeting.point), meeting.name);
      dealer_->resume(std::move(stock), std::move(partial));
      return true;
    }
    if (meeting.outcome == PortMeeting::Outcome::Joined) {
      joined_ = std::make_unique<JoinedSide>(
          std::move(meeting.connection), std::move(meeting.stock), setup_.output, setup_.console);
      return true;
    }
    // Another program took the port meanwhile: the go waits as for a device that has gone.
    if (console::waitForAny({setup_.console.outputGone()}, 0) == 0) return false;
    if (setup_.console.waitForInputHangUp(kRetryPause)) return false;
  }
}

bool SharedPort::end() {
  if (holder_) return holder_->handOver();
  return true;
}

}  // namespace kestrelgate::uci
