#include "uci/port_role.h"

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

PortRole::PortRole(Setup setup)
    : setup_(std::move(setup)),
      path_(portPath(setup_.specText, setup_.devicePath, setup_.serial)) {}

bool PortRole::guiGone() {
  return console::waitForAny({setup_.console.outputGone()}, 0) == 0 || console::endingSignal() != 0;
}

bool PortRole::start() {
  const Clock::time_point begun = Clock::now();
  const auto waited = [&] { return Clock::now() - begun; };
  // Where the port's own lock decides who holds it, the port is tried first: the process that
  // gets it holds it, and one that finds it held looks for its holder at the meeting point.
  // Elsewhere the meeting point decides first.
  const bool portFirst = setup_.place.portLockDecides();
  for (;; pause()) {
    bool portHeld = false;
    if (portFirst && openPort(nullptr, portHeld)) return true;
    if (portFirst && !portHeld) return false;
    link::Claim claim = link::Claim::NoSharing;
    std::unique_ptr<link::MeetingPoint> point;
    if (!path_.empty()) point = setup_.place.claim(path_, claim);
    if (claim != link::Claim::Held) {
      if (!portFirst && openPort(std::move(point), portHeld)) return true;
      // Nobody at the meeting point of a port that is held: its holder has just opened it and
      // claims the point in a moment, or the holder is no Kestrelgate.
      if (!portHeld || claim == link::Claim::NoSharing || waited() >= kHeldPortPatience) {
        return false;
      }
      continue;
    }
    if (std::unique_ptr<link::Connection> connection = setup_.place.connect(path_)) {
      bool refused = false;
      if (join(std::move(connection), nullptr, refused)) return true;
      if (refused) return false;
    }
    // Claimed, but not answering: it has just started, or it is just ending.
    if (waited() >= std::chrono::milliseconds(link::kMeetingTimeout)) return false;
  }
}

bool PortRole::takeOver() {
  const std::unique_ptr<JoinedClient> old = std::move(joined_);
  Stock stock = std::move(old->stock);
  std::intptr_t port = old->takePort();
  for (;; pause()) {
    link::Claim claim = link::Claim::NoSharing;
    std::unique_ptr<link::MeetingPoint> point;
    if (!path_.empty()) point = setup_.place.claim(path_, claim);
    if (claim != link::Claim::Held) {
      if (adoptPort(std::move(point), stock, port, old->found())) {
        // Only now may the holder that handed the port over leave it as it is.
        old->confirmTakeover();
        break;
      }
    } else if (std::unique_ptr<link::Connection> connection = setup_.place.connect(path_)) {
      // An engine started again claimed the point meanwhile: it holds the game now, and takes
      // the stock before anything it read.
      bool refused = false;
      if (join(std::move(connection), &stock, refused) || refused) break;
    }
    if (guiGone()) break;
  }
  link::closePassedHandle(port);
  return holder_ != nullptr || joined_ != nullptr;
}

bool PortRole::openPort(std::unique_ptr<link::MeetingPoint> point, bool& portHeld) {
  link::OpenReport report;
  link::openSerial(setup_.channels, setup_.channel, setup_.specText, setup_.serial,
                   setup_.devicePath ? &*setup_.devicePath : nullptr, &report);
  if (report.result != console::IoResult::Ok) {
    portHeld = report.failure == link::OpenFailure::Held;
    return false;
  }
  // Without a meeting point yet, it is claimed at the first go or once the GUI pauses.
  const bool claimLater = point == nullptr;
  hold(std::move(point), claimLater);
  return true;
}

void PortRole::hold(std::unique_ptr<link::MeetingPoint> point, bool claimLater) {
  holder_ =
      std::make_unique<PortHolder>(PortHolder::Parts{setup_.channels, setup_.channel, setup_.output,
                                                     setup_.console, setup_.place, path_},
                                   std::move(point), claimLater);
}

bool PortRole::adoptPort(std::unique_ptr<link::MeetingPoint> point, Stock& stock,
                         std::intptr_t& port, const std::string& found) {
  // The port the holder passed on, still open and locked; or, where none could be passed, the
  // device opened again by its name, only if it is the one the holder had.
  std::unique_ptr<link::SerialDevice> device;
  if (port >= 0) device = setup_.serial.adopt(std::exchange(port, -1), found);
  if (link::adoptSerial(setup_.channels, setup_.channel, setup_.specText, setup_.serial, path_,
                        identity_, std::move(device)) != console::IoResult::Ok) {
    return false;
  }
  auto* serial = setup_.channels.findAs<link::SerialChannel>(setup_.channel);
  if (!serial->connected()) serial->reopenNow();
  hold(std::move(point), false);
  holder_->moves().takeIn(std::move(stock));
  return true;
}

bool PortRole::join(std::unique_ptr<link::Connection> connection, const Stock* stock,
                    bool& refused) {
  // What the holder that ended handed to us comes before anything the new one read.
  const std::string hello =
      std::string(kHello) + "\n" + (stock != nullptr ? stockMessages(*stock) : "");
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

std::optional<std::string> PortRole::nextMove(const Position& position) {
  while (joined_) {
    std::string answer;
    switch (joined_->move(position, answer)) {
      case JoinedClient::End::Move:
        return answer;
      case JoinedClient::End::GuiGone:
        return std::nullopt;
      case JoinedClient::End::HolderGone:
        if (!takeOver()) return std::nullopt;
        break;
    }
  }
  return holder_->move(position);
}

bool PortRole::awaitCommand() {
  while (joined_) {
    if (joined_->awaitCommand()) return true;
    if (!takeOver()) return false;
  }
  holder_->awaitCommand();
  return console::endingSignal() == 0;
}

void PortRole::end() {
  if (holder_) holder_->handOver();
}

}  // namespace kestrelgate::uci
