#include "uci/meeting.h"

#include <chrono>
#include <utility>

#include "console/process.h"
#include "link/port_spec.h"
#include "link/serial_channel.h"

namespace kestrelgate::uci {

using Clock = std::chrono::steady_clock;

namespace {

// A port held although nobody holds its meeting point: a Kestrelgate that has just taken it
// over, and is about to claim the point. Any other holder is refused once this has passed.
constexpr auto kHeldPortPatience = std::chrono::milliseconds(500);
// Between tries at the meeting point while it changes hands.
constexpr std::uint32_t kRetryPause = 20;

// The device the port settings text (or the device path) names, as the serial channel opens it.
std::string portPath(const std::string& specText, const std::optional<std::string>& devicePath,
                     link::SerialPlatform& serial) {
  if (devicePath) return *devicePath;
  link::PortSpec spec;
  if (link::parsePortSpec(specText, spec) != console::IoResult::Ok || spec.irq != 0) return {};
  return serial.devicePath(spec.portNumber);
}

void pause() {
  console::waitForAny({}, kRetryPause);
}

}  // namespace

PortMeeting::PortMeeting(Setup setup)
    : setup_(std::move(setup)),
      path_(portPath(setup_.specText, setup_.devicePath, setup_.serial)) {}

PortMeeting::~PortMeeting() = default;

bool PortMeeting::guiGone() {
  return console::waitForAny({setup_.console.outputGone()}, 0) == 0 || console::endingSignal() != 0;
}

bool PortMeeting::start() {
  return come(nullptr);
}

bool PortMeeting::come(Handover* handover) {
  const Clock::time_point start = Clock::now();
  const auto waited = [&] { return Clock::now() - start; };
  // Where the port's own lock decides who holds it, the port is tried first at start: the
  // process that gets it holds it, and one that finds it held looks for its holder at the
  // meeting point. Elsewhere the meeting point decides first.
  const bool portFirst = handover == nullptr && setup_.place.portLockDecides();
  for (;; pause()) {
    bool portHeld = false;
    if (portFirst && hold(nullptr, nullptr, portHeld)) return true;
    if (portFirst && !portHeld) return false;
    link::Claim claim = link::Claim::NoSharing;
    std::unique_ptr<link::MeetingPoint> point;
    if (!path_.empty()) point = setup_.place.claim(path_, claim);
    if (claim != link::Claim::Held) {
      if (!portFirst && hold(std::move(point), handover, portHeld)) return true;
      if (handover != nullptr && guiGone()) return false;
      // Nobody at the meeting point of a port that is held: its holder has just opened it and
      // claims the point in a moment, or the holder is no Kestrelgate.
      if (handover == nullptr &&
          (!portHeld || claim == link::Claim::NoSharing || waited() >= kHeldPortPatience)) {
        return false;
      }
      continue;
    }
    if (std::unique_ptr<link::Connection> connection = setup_.place.connect(path_)) {
      bool refused = false;
      if (join(std::move(connection), handover, refused)) return true;
      if (refused) return false;
    }
    // Claimed, but not answering: it has just started, or it is just ending.
    if (handover == nullptr && waited() >= std::chrono::milliseconds(link::kMeetingTimeout)) {
      return false;
    }
    if (handover != nullptr && guiGone()) return false;
  }
}

bool PortMeeting::hold(std::unique_ptr<link::MeetingPoint> point, Handover* handover,
                       bool& portHeld) {
  if (handover == nullptr) {
    link::OpenReport report;
    link::openSerial(setup_.channels, setup_.channel, setup_.specText, setup_.serial,
                     setup_.devicePath ? &*setup_.devicePath : nullptr, &report);
    if (report.result != console::IoResult::Ok) {
      portHeld = report.failure == link::OpenFailure::Held;
      return false;
    }
  } else {
    // The port the holder passed on, still open and locked; or, where none could be passed, the
    // device opened again by its name, only if it is the one the holder had.
    std::unique_ptr<link::SerialDevice> device;
    if (handover->port >= 0) {
      device = setup_.serial.adopt(std::exchange(handover->port, -1), handover->found);
    }
    if (link::adoptSerial(setup_.channels, setup_.channel, setup_.specText, setup_.serial, path_,
                          identity_, std::move(device)) != console::IoResult::Ok) {
      return false;
    }
    auto* serial = setup_.channels.findAs<link::SerialChannel>(setup_.channel);
    if (!serial->connected()) serial->reopenNow();
  }
  const bool claimLater = handover == nullptr && point == nullptr;
  holder_ =
      std::make_unique<PortHolder>(PortHolder::Parts{setup_.channels, setup_.channel, setup_.output,
                                                     setup_.console, setup_.place, path_},
                                   std::move(point), claimLater);
  if (handover != nullptr) {
    for (std::size_t i = 0; i < handover->held.size(); ++i) {
      holder_->moves().keepBefore(i, handover->held[i]);
    }
    holder_->moves().partialBefore(handover->partial);
  }
  return true;
}

bool PortMeeting::join(std::unique_ptr<link::Connection> connection, const Handover* handover,
                       bool& refused) {
  std::string hello = std::string(kHello) + "\n";
  if (handover != nullptr) {
    // What the holder that ended handed to us comes before anything the new one read.
    for (const link::PrintedMove& move : handover->held) hello += moveMessage("held", move);
    if (!handover->partial.empty()) hello += "partial " + handover->partial + "\n";
  }
  if (!connection->send(hello)) return false;
  auto joined =
      std::make_unique<JoinedClient>(std::move(connection), setup_.output, setup_.console);
  const MessageKind answer = joined->welcome();
  refused = answer == MessageKind::Full;
  if (answer != MessageKind::Welcome) return false;
  // Which device this is, for opening it again should it ever have to be.
  if (const std::optional<link::DeviceIdentity> now = setup_.serial.identify(path_)) {
    identity_ = *now;
  }
  joined_ = std::move(joined);
  return true;
}

bool PortMeeting::takeOver() {
  Handover handover;
  handover.held = std::move(joined_->held);
  handover.partial = std::move(joined_->partial);
  handover.port = joined_->takePort();
  handover.found = joined_->found();
  joined_.reset();
  const bool came = come(&handover);
  link::closePassedHandle(handover.port);
  return came;
}

std::optional<MoveReply> PortMeeting::nextMove(const Position& position) {
  for (;;) {
    if (joined_) {
      std::string answer;
      switch (joined_->move(position, answer)) {
        case JoinedClient::End::Move:
          return MoveReply{std::move(answer), ""};
        case JoinedClient::End::GuiGone:
          return std::nullopt;
        case JoinedClient::End::HolderGone:
          if (!takeOver()) return std::nullopt;
          continue;
      }
    }
    std::optional<std::string> move = holder_->move(position);
    if (!move) return std::nullopt;
    return MoveReply{std::move(*move), ""};
  }
}

bool PortMeeting::awaitCommand() {
  while (joined_) {
    if (joined_->awaitCommand()) return true;
    if (!takeOver()) return false;
  }
  holder_->awaitCommand();
  return console::endingSignal() == 0;
}

void PortMeeting::end() {
  if (holder_) holder_->handOver();
}

}  // namespace kestrelgate::uci
