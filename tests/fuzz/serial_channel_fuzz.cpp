// The serial channel's open, reads and reopen over the recording fake port, beside a model of
// the channel's rules written out here. The input chooses a port settings text from a small
// table, which device calls fail, the queue sizes and time-outs the driver reports, the modem
// lines, how fast the clock runs (and where it starts, so that it may wrap), then a run of reads,
// each with its own outcome (bytes, nothing, a failed read, a device gone), modem lines and, for
// a channel whose device has gone, the device now under the port's name and the calls that fail
// when it is opened again.
//
// The model predicts the open's result and its exact calls, that a failed open after the device
// was opened closes it once and leaves the slot free, the time-outs and line settings written,
// what every read returns and the calls it makes, and that a device that has gone is let go and
// only the same reopenable device, or whatever a link made again leads to, is opened again, with
// the first open's calls. The first difference aborts with a line starting "model:".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "console/channel_table.h"
#include "fake_serial.h"
#include "link/serial_channel.h"

namespace {

using kestrelgate::console::ChannelTable;
using kestrelgate::console::IoResult;
using kestrelgate::fakes::FakePlatform;
using kestrelgate::link::CommTimeouts;
using kestrelgate::link::DeviceIdentity;
using kestrelgate::link::DtrMode;
using kestrelgate::link::LineSettings;
using kestrelgate::link::ParityKind;
using kestrelgate::link::RtsMode;
using kestrelgate::link::SerialChannel;
using kestrelgate::link::StopBitsKind;

constexpr int kChannel = 2;
constexpr std::uint32_t kCarrier = 0x0080;
constexpr std::uint32_t kDsr = 0x0020;
const std::string kOverridePath = "/dev/serial/by-id/usb-fuzz-if00";

[[noreturn]] void differ(const std::string& what) {
  std::fprintf(stderr, "model: %s\n", what.c_str());
  std::abort();
}

std::string join(const std::vector<std::string>& calls) {
  std::string text;
  for (const std::string& call : calls) text += "[" + call + "] ";
  return text;
}

void expectCalls(const std::vector<std::string>& seen, const std::vector<std::string>& expected,
                 const char* when) {
  if (seen != expected) {
    differ(std::string(when) + ": calls " + join(seen) + "where the model expects " +
           join(expected));
  }
}

// The input, a byte at a time; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t next() { return position_ < size_ ? data_[position_++] : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A settings text and what it asks of the port, written out by hand.
struct Settings {
  const char* text;
  bool opens;                // false: refused before the port is touched
  std::uint32_t pathNumber;  // the number the platform is asked for a device path
  std::uint32_t portNumber;  // the port the channel reports
  std::uint32_t ctsTimeout;
  std::uint32_t dsrTimeout;
  std::uint32_t cdTimeout;
  std::uint32_t txQueue;
  std::uint32_t rxQueue;
  std::uint32_t speed;
  LineSettings line;
};

LineSettings line(std::uint32_t speed, std::uint8_t dataBits, ParityKind parity,
                  StopBitsKind stopBits, bool checkParity, bool binary, bool ctsFlow, bool dsrSense,
                  DtrMode dtr, RtsMode rts) {
  return LineSettings{speed,  dataBits, parity,   stopBits, checkParity,
                      binary, ctsFlow,  dsrSense, dtr,      rts};
}

const Settings kSettings[] = {
    // The program's own text: no waits, time-outs untouched.
    {"COM1:600,N,8,1,CS0,DS0,CD0,BIN", true, 1, 1, 0, 0, 0, 0, 0, 600,
     line(600, 8, ParityKind::None, StopBitsKind::One, false, true, false, false, DtrMode::Off,
          RtsMode::Handshake)},
    // No CS, DS or CD: a 1000 ms interval time-out and a 1000 ms wait for DSR.
    {"COM2:600,N,8,1", true, 2, 2, 1000, 1000, 0, 0, 0, 600,
     line(600, 8, ParityKind::None, StopBitsKind::One, false, true, true, true, DtrMode::Off,
          RtsMode::Handshake)},
    {"COM12:1200,N,8,1,CS250,DS20,RS,DT", true, 12, 12, 250, 20, 0, 0, 0, 1200,
     line(1200, 8, ParityKind::None, StopBitsKind::One, false, true, true, true, DtrMode::On,
          RtsMode::Off)},
    // A name without a number: path 0, port 1. Queue sizes from the text.
    {"COM:300,E,7,2,CS0,DS0,CD15,TB512,RB2048", true, 0, 1, 0, 0, 15, 512, 2048, 300,
     line(300, 7, ParityKind::Even, StopBitsKind::Two, false, true, false, false, DtrMode::Off,
          RtsMode::Handshake)},
    {"SER:9600,PE,8,1.5,CS0,DS10,CD10,LF", true, 1, 1, 0, 10, 10, 0, 0, 9600,
     line(9600, 8, ParityKind::Even, StopBitsKind::OneAndHalf, true, false, false, true,
          DtrMode::Off, RtsMode::Handshake)},
    // 264 data bits reach the port as their low 8 bits.
    {"COM3:600,O,264,1,CS7,DS0,CD0,RB100", true, 3, 3, 7, 0, 0, 0, 100, 600,
     line(600, 8, ParityKind::Odd, StopBitsKind::One, false, true, true, false, DtrMode::Off,
          RtsMode::Handshake)},
    // An interrupt number, and a field the parser rejects: nothing reaches the port.
    {"COM1:600,N,8,1,CS0,DS0,IR5", false, 0, 0, 0, 0, 0, 0, 0, 0, LineSettings{}},
    {"COM1:600,X", false, 0, 0, 0, 0, 0, 0, 0, 0, LineSettings{}},
};
constexpr std::size_t kSettingsCount = sizeof kSettings / sizeof kSettings[0];

// The device calls a fuzzer byte can make fail, one bit each.
const char* const kFailable[] = {"open",        "getProperties", "setupQueues", "getTimeouts",
                                 "setTimeouts", "getState",      "setState",    "raiseDtr"};

std::set<std::string> failingFrom(std::uint8_t mask) {
  std::set<std::string> names;
  for (int bit = 0; bit < 8; ++bit) {
    if ((mask >> bit) & 1) names.insert(kFailable[bit]);
  }
  return names;
}

// Bits 0-1 choose what is under the name, bits 2-3 whether it is reached through a link and
// which one (a link made again is another).
std::optional<DeviceIdentity> identityFrom(std::uint8_t choice) {
  static const char* const kLinks[] = {"", "link made first", "link made again", ""};
  const std::string link = kLinks[(choice >> 2) & 3];
  switch (choice & 3) {
    case 0:
      return std::nullopt;
    case 1:
      return DeviceIdentity{true, "usb 0403:6001 serial A", link};
    case 2:
      return DeviceIdentity{true, "usb 0403:6001 serial B", link};
    default:
      return DeviceIdentity{false, "usb 0403:6001 serial A", link};
  }
}

// What the port answers during one open or read.
struct Conditions {
  std::set<std::string> failing;
  std::uint32_t modemLines = 0;
  std::uint32_t tick = 1;  // ms the clock moves on each reading
};

// The channel's rules, as the model sees them.
class Model {
 public:
  Model(const Settings& settings, const kestrelgate::link::CommProperties& properties,
        const CommTimeouts& portTimeouts, const std::string& path)
      : settings_(settings), properties_(properties), portTimeouts_(portTimeouts), path_(path) {}

  // Waits for carrier, then DSR, each only when its limit is non-zero.
  bool lineWait(std::vector<std::string>& calls, const Conditions& now) const {
    return modemLine(calls, now, kCarrier, settings_.cdTimeout) &&
           modemLine(calls, now, kDsr, settings_.dsrTimeout);
  }

  // Opens the device and configures it. The result the configuration gave, or OpenFailed.
  IoResult openAndConfigure(std::vector<std::string>& calls, const Conditions& now) {
    calls.push_back("open " + path_);
    if (now.failing.count("open") != 0) return IoResult::OpenFailed;
    // Each step, with the result its refusal gives; the first refusal ends the configuration.
    const std::vector<std::pair<std::string, IoResult>> steps = {
        {"getProperties", IoResult::QueryFailed},
        {"setupQueues " +
             std::to_string(
                 queue(settings_.rxQueue, properties_.currentRxQueue, properties_.maxRxQueue)) +
             " " +
             std::to_string(
                 queue(settings_.txQueue, properties_.currentTxQueue, properties_.maxTxQueue)),
         IoResult::IllegalRequest},
        {"getTimeouts", IoResult::QueryFailed},
        {"setTimeouts", IoResult::IllegalRequest},
        {"getState", IoResult::QueryFailed},
        {"setState", IoResult::IllegalRequest},
    };
    for (const auto& [call, refused] : steps) {
      calls.push_back(call);
      if (call == "setTimeouts") timeoutsSet.push_back(timeoutsToSet());
      if (call == "setState") statesSet.push_back(settings_.line);
      if (now.failing.count(call.substr(0, call.find(' '))) != 0) return refused;
    }
    calls.push_back("raiseDtr");  // whatever it gives
    return IoResult::Ok;
  }

  std::vector<CommTimeouts> timeoutsSet;
  std::vector<LineSettings> statesSet;

 private:
  // Polls one modem line. The clock's first reading is the start; while the bit is off, the
  // status is read again on every reading until one shows more than `limit` ms gone.
  static bool modemLine(std::vector<std::string>& calls, const Conditions& now, std::uint32_t bit,
                        std::uint32_t limit) {
    if (limit == 0) return true;
    calls.push_back("modemStatus");
    if (now.failing.count("modemStatus") != 0) return false;
    if ((now.modemLines & bit) != 0) return true;
    for (std::uint32_t reading = 1; reading * now.tick <= limit; ++reading) {
      calls.push_back("modemStatus");
    }
    return false;
  }

  static std::uint32_t queue(std::uint32_t text, std::uint32_t current, std::uint32_t largest) {
    if (text != 0) return text;
    if (current != 0) return current;
    if (largest != 0) return largest;
    return 16384;
  }

  CommTimeouts timeoutsToSet() const {
    CommTimeouts set = portTimeouts_;
    if (settings_.ctsTimeout != 0) {
      set.readIntervalTimeout = settings_.ctsTimeout;
      set.readTotalTimeoutMultiplier = 0;
      set.readTotalTimeoutConstant = 0;
    }
    return set;
  }

  const Settings& settings_;
  kestrelgate::link::CommProperties properties_;
  CommTimeouts portTimeouts_;
  std::string path_;
};

void expectRecords(const FakePlatform& platform, const Model& model, const char* when) {
  if (platform.port.timeoutsSet != model.timeoutsSet) {
    differ(std::string(when) + ": the time-outs written differ");
  }
  if (platform.port.statesSet != model.statesSet) {
    differ(std::string(when) + ": the line settings written differ");
  }
}

std::uint32_t sizeFrom(std::uint8_t choice) {
  const std::uint32_t sizes[] = {0, 1, 300, 70000};
  return sizes[choice & 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  FakePlatform platform;
  ChannelTable table;
  kestrelgate::fakes::FakePort& port = platform.port;

  const std::uint8_t settingsChoice = input.next();
  const Settings& settings = kSettings[settingsChoice % kSettingsCount];
  const bool overridePath = (settingsChoice & 0x80) != 0;
  Conditions first;
  first.failing = failingFrom(input.next());
  const std::uint8_t lines = input.next();
  first.modemLines = ((lines & 1) ? kCarrier : 0) | ((lines & 2) ? kDsr : 0);
  if (lines & 4) first.failing.insert("modemStatus");
  const std::optional<DeviceIdentity> firstIdentity = identityFrom(lines >> 3);
  const std::uint8_t sizes = input.next();
  port.properties = {sizeFrom(sizes), sizeFrom(sizes >> 2), sizeFrom(sizes >> 4),
                     sizeFrom(sizes >> 6)};
  port.timeouts = {input.next(), input.next(), input.next(), input.next(), input.next()};
  const std::uint8_t tick = input.next();
  first.tick = tick == 0 ? 1 : tick;
  port.tick = first.tick;
  // Close below the top of the clock's range, so that a wait may run across its wrap.
  port.now = 0u - static_cast<std::uint32_t>(input.next()) * 16u;

  const std::string path =
      overridePath ? kOverridePath : "/fake/port" + std::to_string(settings.pathNumber);
  Model model(settings, port.properties, port.timeouts, path);

  // The first open.
  port.identity = firstIdentity;
  port.failing = first.failing;
  port.modemLines = first.modemLines;
  const IoResult opened = kestrelgate::link::openSerial(table, kChannel, settings.text, platform,
                                                        overridePath ? &kOverridePath : nullptr);
  std::vector<std::string> expected;
  IoResult result = IoResult::IllegalRequest;
  if (settings.opens) {
    if (!overridePath) expected.push_back("devicePath " + std::to_string(settings.pathNumber));
    result = model.openAndConfigure(expected, first);
    if (result != IoResult::OpenFailed) {
      // The line wait runs whatever the configuration gave, and its failure outranks it.
      if (!model.lineWait(expected, first)) result = IoResult::IllegalRequest;
      if (result != IoResult::Ok) expected.push_back("close");
    }
  }
  if (opened != result) {
    differ("open of " + std::string(settings.text) + " gave " +
           std::to_string(static_cast<int>(opened)) + ", the model " +
           std::to_string(static_cast<int>(result)));
  }
  expectCalls(port.calls, expected, "open");
  expectRecords(platform, model, "open");
  SerialChannel* channel = table.findAs<SerialChannel>(kChannel);
  if (result != IoResult::Ok) {
    if (channel != nullptr || table.checkFree(kChannel) != IoResult::Ok) {
      differ("a failed open left its slot taken");
    }
    return 0;
  }
  if (channel == nullptr) differ("an open that gave Ok left no channel in its slot");
  if (channel->portNumber() != settings.portNumber || channel->spec().speed != settings.speed) {
    differ("the open channel reports another port or speed");
  }
  // A name that told nothing at the first open describes no device that could come back.
  const DeviceIdentity original = firstIdentity.value_or(DeviceIdentity{});

  // The reads.
  bool connected = true;
  for (int step = 0; step < 64 && !input.empty(); ++step) {
    const std::uint8_t how = input.next();
    const std::uint8_t reopenFailing = input.next();
    const std::uint8_t what = input.next();
    enum Outcome { kBytes, kNothing, kFailed, kGone };
    const Outcome outcome = static_cast<Outcome>(how & 3);
    const std::uint32_t count = (how >> 2) & 3;
    const bool direct = (how & 0x80) != 0;  // readBytes itself, or readChars on the table
    Conditions now;
    now.failing = failingFrom(reopenFailing);
    now.modemLines = ((how & 0x10) ? kCarrier : 0) | ((how & 0x20) ? kDsr : 0);
    if (how & 0x40) now.failing.insert("modemStatus");
    now.tick = first.tick;
    const std::optional<DeviceIdentity> identityNow =
        identityFrom((what & 3) | ((what >> 2) & 0x0C));
    std::string arriving;
    for (int n = ((what >> 2) & 3) + 1; n > 0; --n) {
      arriving.push_back(static_cast<char>(input.next()));
    }

    port.calls.clear();
    port.failing = now.failing;
    port.modemLines = now.modemLines;
    port.identity = identityNow;
    port.incoming.clear();
    port.readShowsGone = outcome == kGone;
    if (outcome == kBytes) port.incoming.push_back(arriving);
    if (outcome == kFailed) port.failing.insert("read");

    // The model's read.
    expected.clear();
    bool ok = true;  // the request's result is Ok
    std::string bytes;
    bool reopened = false;
    if (!connected) {
      // A try at the device the channel was first opened on, and only that one; the wait
      // before it paces the tries.
      if (identityNow) {
        const bool sameHardware = original.reopenable && identityNow->reopenable &&
                                  identityNow->description == original.description;
        const bool linkMadeAgain = original.link.size() > 0 && identityNow->link.size() > 0 &&
                                   identityNow->link != original.link;
        ok = sameHardware || linkMadeAgain;
      } else {
        ok = false;
      }
      if (ok) {
        const IoResult configured = model.openAndConfigure(expected, now);
        ok = configured == IoResult::Ok && model.lineWait(expected, now);
        // A refused step ends the reopen at once: with no result code to give, there is
        // nothing a line wait could change.
        if (configured != IoResult::OpenFailed && !ok) expected.push_back("close");
        reopened = ok;
      }
      connected = ok;
    }
    if (ok) ok = model.lineWait(expected, now);
    if (ok) {
      expected.push_back("read " + std::to_string(count));
      switch (outcome) {
        case kBytes:
          bytes = arriving.substr(0, count);
          break;
        case kNothing:
          break;
        case kFailed:
          ok = false;
          break;
        case kGone:
          // A handle whose device has gone is let go at once.
          expected.push_back("close");
          ok = false;
          connected = false;
          break;
      }
    }

    // The channel's read.
    std::string got;
    if (direct) {
      char buffer[4] = {'?', '?', '?', '?'};
      std::uint32_t gotCount = 99;
      const IoResult read = channel->readBytes(buffer, count, gotCount);
      if ((read == IoResult::Ok) != ok || (!ok && read != IoResult::IoFailed)) {
        differ("read " + std::to_string(step) + " gave result " +
               std::to_string(static_cast<int>(read)) + ", the model " + (ok ? "Ok" : "IoFailed"));
      }
      if (gotCount > count) differ("a read reports more bytes than asked");
      got.assign(buffer, gotCount);
    } else {
      got = kestrelgate::link::readChars(table, kChannel, count);
    }
    if (got != bytes) {
      differ("read " + std::to_string(step) + " returned \"" + got + "\", the model \"" + bytes +
             "\"");
    }
    expectCalls(port.calls, expected, reopened ? "read after a reopen" : "read");
    expectRecords(platform, model, "read");
    if (channel->connected() != connected) {
      differ(std::string("after read ") + std::to_string(step) + " the channel is " +
             (channel->connected() ? "" : "not ") + "connected");
    }
    if (table.findAs<SerialChannel>(kChannel) != channel) differ("a read emptied the slot");
  }

  // Quit: the handle, if one is held, is let go once, and the slot is free again.
  port.calls.clear();
  if (table.closeChannel(kChannel) != IoResult::Ok) differ("closing the channel failed");
  expectCalls(port.calls,
              connected ? std::vector<std::string>{"close"} : std::vector<std::string>{}, "close");
  if (table.checkFree(kChannel) != IoResult::Ok) differ("the closed channel's slot is not free");
  return 0;
}
