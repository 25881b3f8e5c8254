// kestrelgate-monitor: shows what a chess computer sends on a serial port, and what kestrelgate
// would make of it, while the collector sets the machine up.
//
//   kestrelgate-monitor PORT [--quiet SECONDS]
//
// The port is named and opened exactly as kestrelgate opens it (the same settings text, the
// same link layer), and nothing is ever written to it. Each line that arrives is shown with
// the time and the verdict kestrelgate would give it: a move line with its moves, a line passed
// on to the GUI as "info string", a line dropped. Notes point at what usually means a wrong
// set-up: bytes with bit 7 set, bytes that look like a wrong speed, nothing at all for a while.
// When the port cannot be opened, it says why. It runs until Ctrl+C.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "console/channel_table.h"
#include "console/console_output.h"
#include "console/io_result.h"
#include "console/process.h"
#include "link/move_line.h"
#include "link/port_choice.h"
#include "link/port_spec.h"
#include "link/serial_channel.h"
#include "link/serial_device.h"
#include "monitor/port_diagnosis.h"

namespace kestrelgate::monitor {
namespace {

using Clock = std::chrono::steady_clock;

// Lines from the reading thread and notes from the watch on a quiet line share the output.
std::mutex printing;

void say(const std::string& text) {
  const std::lock_guard<std::mutex> lock(printing);
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The local time of day as HH:MM:SS.mmm.
std::string timeOfDay() {
  const auto now = std::chrono::system_clock::now();
  const std::tm local = localTime(std::chrono::system_clock::to_time_t(now));
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03lld", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<long long>(millis));
  return text;
}

// A line as it would be printed: control bytes as \xHH, so a stray CR or NUL shows.
std::string shown(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string verdictOf(const std::string& line) {
  const link::LineVerdict verdict = link::judgeLine(line);
  const auto pieceOf = [](const link::PrintedMove& printed) {
    return printed.piece == 0 ? std::string() : std::string(1, printed.piece) + " ";
  };
  switch (verdict.kind) {
    case link::LineKind::Move:
      if (verdict.first.piece != 0) {
        // Which reading holds depends on the GUI's board, which only kestrelgate has.
        return "move line: bestmove " + verdict.first.move + " promoting to " +
               pieceOf(verdict.first) + "where the GUI's board has a pawn there, then " +
               verdict.afterPiece.move + " (else " + verdict.first.move + ", then " +
               verdict.second.move + ")";
      }
      return "move line: bestmove " + verdict.first.move +
             (verdict.second.move.empty() ? ", no second move" : ", then " + verdict.second.move);
    case link::LineKind::ShortMove:
      return "move line without a move of 3 characters: passed over";
    case link::LineKind::Relayed:
      return "relayed: info string " + shown(line);
    case link::LineKind::Dropped:
      break;
  }
  return "dropped: shorter than 2 characters";
}

// What the bytes of the line being read look like.
struct LineBytes {
  int count = 0;
  int bit7 = 0;     // bytes with bit 7 set
  int strange = 0;  // bytes that are no text even with bit 7 cleared
  bool speedNoted = false;
};

// After this many bytes without a line end, mostly not text, the speed is probably wrong.
constexpr int kRunWithoutLineEnd = 80;

class Monitor {
 public:
  Monitor(link::SerialChannel& serial, std::chrono::seconds quietLimit)
      : serial_(serial), quietLimit_(quietLimit) {}

  // Reads and shows lines until the process is ended.
  [[noreturn]] void run() {
    std::thread([this] { watchForQuiet(); }).detach();
    link::LineAssembler lines;
    for (;;) {
      const std::string got = nextByte();
      if (got.empty()) {
        // An empty read: the device has gone, and the channel waits for it to come back.
        if (!serial_.connected() && !goneNoted_) {
          goneNoted_ = true;
          say(timeOfDay() +
              "  note: the device has gone (unplugged?); waiting for the same device"
              " to come back");
        }
        // Each read while it is away is one try at opening it again: paced.
        std::this_thread::sleep_for(std::chrono::milliseconds(link::kReopenInterval));
        continue;
      }
      if (!lines.take(got[0])) continue;
      const std::string line = lines.takeLine();
      std::string text = timeOfDay() + "  \"" + shown(line) + "\"  " + verdictOf(line);
      if (bytes_.bit7 > 0) {
        text += "  [bit 7 set on " + std::to_string(bytes_.bit7) + " of " +
                std::to_string(bytes_.count) + " bytes]";
        if (!bit7Explained_) {
          bit7Explained_ = true;
          text +=
              "\n              note: bit 7 is harmless: kestrelgate clears it (such machines send"
              " mark parity, or 7 data bits with an 8th bit set)";
        }
      }
      say(text);
      bytes_ = LineBytes{};
    }
  }

 private:
  std::string nextByte() {
    std::string got = serial_.readChars(1);
    if (got.empty()) return got;
    if (goneNoted_) {
      goneNoted_ = false;
      say(timeOfDay() + "  note: the device is back");
    }
    lastByte_ = Clock::now().time_since_epoch().count();
    anyByte_ = true;
    const auto byte = static_cast<unsigned char>(got[0]);
    const auto text = static_cast<unsigned char>(byte & 0x7F);
    ++bytes_.count;
    if (byte & 0x80) ++bytes_.bit7;
    if ((text < 32 && text != '\r' && text != '\n' && text != '\t') || text == 127) {
      ++bytes_.strange;
    }
    if (!bytes_.speedNoted && bytes_.count >= kRunWithoutLineEnd &&
        bytes_.strange * 4 >= bytes_.count) {
      bytes_.speedNoted = true;
      say(timeOfDay() + "  note: " + std::to_string(bytes_.count) + " bytes and no line end, " +
          std::to_string(bytes_.strange) +
          " of them no text: does the chess computer send at 600 bit/s, 8 data bits, no parity,"
          " 1 stop bit? A wrong speed looks like this.");
    }
    return got;
  }

  // Runs beside the reading: says so when nothing has come for a while.
  void watchForQuiet() {
    const auto start = Clock::now().time_since_epoch().count();
    long long notedAt = -1;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const long long last = anyByte_ ? lastByte_.load() : start;
      const auto quiet = Clock::now() - Clock::time_point(Clock::duration(last));
      if (quiet < quietLimit_ || notedAt == last) continue;
      notedAt = last;
      const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(quiet).count();
      if (!anyByte_) {
        say(timeOfDay() + "  note: nothing has arrived in " + std::to_string(seconds) +
            " s. Check the cable, that the chess computer is on, and that its printer output is"
            " switched on (some machines print only after a key or a setting).");
      } else {
        say(timeOfDay() + "  note: quiet for " + std::to_string(seconds) +
            " s (normal while the chess computer thinks)");
      }
    }
  }

  link::SerialChannel& serial_;
  std::chrono::seconds quietLimit_;
  LineBytes bytes_;
  bool bit7Explained_ = false;
  bool goneNoted_ = false;
  std::atomic<long long> lastByte_{0};
  std::atomic<bool> anyByte_{false};
};

void usage() {
  std::fputs(
      "usage: kestrelgate-monitor PORT [--quiet SECONDS]\n"
      "  Shows what the chess computer sends on PORT and what kestrelgate would do with each\n"
      "  line. PORT as for kestrelgate: /dev/ttyUSB0, /dev/serial/by-id/..., COM3:.\n"
      "  --quiet SECONDS  say so when nothing has come for this long (default 10)\n",
      stderr);
}

}  // namespace
}  // namespace kestrelgate::monitor

int main(int argc, char** argv) {
  using namespace kestrelgate;
  console::preparePlatformProcess();
  std::string port;
  long quietSeconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--quiet" && i + 1 < argc) {
      quietSeconds = std::strtol(argv[++i], nullptr, 10);
    } else if (port.empty() && argument != "--help" && argument != "-h") {
      port = argument;
    } else {
      monitor::usage();
      return 2;
    }
  }
  if (port.empty() || quietSeconds <= 0) {
    monitor::usage();
    return 2;
  }

  const link::PortChoice choice = link::choosePort(port);
  link::SerialPlatform& platform = link::systemSerialPlatform();
  console::ChannelTable channels;
  link::OpenReport report;
  if (link::openSerial(channels, 2, choice.specText, platform,
                       choice.devicePath ? &*choice.devicePath : nullptr,
                       &report) != console::IoResult::Ok) {
    link::PortSpec spec;
    std::string path = choice.devicePath.value_or("");
    if (path.empty() && link::parsePortSpec(choice.specText, spec) == console::IoResult::Ok) {
      path = platform.devicePath(spec.portNumber);
    }
    if (path.empty()) {
      std::printf(
          "kestrelgate-monitor: %s is not a port name kestrelgate takes: a device file,"
          " or COM1: to COM255: (with the colon)\n",
          port.c_str());
      return 1;
    }
    std::printf("kestrelgate-monitor: cannot open %s as kestrelgate would.\n", path.c_str());
    if (report.result != console::IoResult::OpenFailed) {
      // It opened, but would not take the line settings.
      std::printf(report.result == console::IoResult::QueryFailed
                      ? "  %s is no serial port: it has no line settings to read.\n"
                      : "  %s refused the settings (600 bit/s, 8 data bits, no parity, 1 stop"
                        " bit).\n",
                  path.c_str());
      return 1;
    }
    for (const std::string& line : monitor::explainOpenFailure(path, report)) {
      std::printf("  %s\n", line.c_str());
    }
    return 1;
  }
  std::printf(
      "kestrelgate-monitor: reading %s at 600 bit/s, 8 data bits, no parity, 1 stop bit, as "
      "kestrelgate does; nothing is sent to it. Ctrl+C ends.\n",
      choice.devicePath.value_or(port).c_str());
  std::fflush(stdout);
  monitor::Monitor(*channels.findAs<link::SerialChannel>(2), std::chrono::seconds(quietSeconds))
      .run();
}
