// Measures the built kestrelgate the way a GUI and a chess computer meet it: how long a start
// takes to answer "uci", how soon a move line on the serial line comes out as "bestmove", how
// fast other lines are relayed as "info string", whether waiting for the chess computer costs
// any CPU, and how much memory the process holds. Prints one Markdown table.
//
//   kestrelgate_bench [path/to/kestrelgate [path/to/an/earlier/kestrelgate]]
//
// With an earlier build, its start, latency and relay are measured beside this one's in the
// same run, the runs of the two interleaved, so that both meet the same load on the machine.
//
// The chess computer is played on a pseudo-terminal. Every wait has a deadline, and every
// engine started here is killed at the latest when its measurement ends, so the benchmark
// cannot hang. The exit status is 1 when something could not be measured; a missed target is
// a result, shown in the table, not a failure.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/proc_stats.h"
#include "support/pty_pair.h"
#include "uci/position.h"

namespace {

namespace support = kestrelgate::support;
using std::chrono::milliseconds;
using support::Clock;

constexpr int kStarts = 50;
constexpr int kLatencyWarmUp = 20;
constexpr int kLatencyMoves = 500;
constexpr int kRelayLines = 20000;
constexpr auto kIdleWait = std::chrono::seconds(3);

constexpr double kStartTargetMs = 5.0;
constexpr double kLatencyTargetUs = 100.0;
constexpr long kRssTargetKb = 4096;

// What went wrong while measuring; the measure's row says so and the exit status becomes 1.
struct MeasureError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

Clock::time_point after(Clock::duration d) {
  return Clock::now() + d;
}

std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += '?';
    } else {
      out += c;
    }
  }
  if (text.size() > 200) out += "...";
  return out;
}

// A write that failed, with errno telling why.
MeasureError writeFailure(const std::string& to) {
  if (errno == ETIMEDOUT) return MeasureError("write to " + to + " timed out");
  return MeasureError("write to " + to + ": " + std::strerror(errno));
}

// What /proc tells about the engine; a reading that cannot be had ends the measure.
template <typename T>
T reading(const std::optional<T>& value, const char* what) {
  if (!value) throw MeasureError(std::string("cannot read the engine's ") + what + " in /proc");
  return *value;
}

long contextSwitches(pid_t pid) {
  return reading(support::statusField(pid, "voluntary_ctxt_switches"), "context switches") +
         reading(support::statusField(pid, "nonvoluntary_ctxt_switches"), "context switches");
}

// The chess computer's end of the serial line, with failures as exceptions.
void print(support::PtyPair& pty, std::string_view bytes, Clock::time_point deadline) {
  if (!pty.print(bytes, deadline)) throw writeFailure("the pty");
}

// The engine on pipes, as a GUI starts it, with failures as exceptions.
class Engine : private support::ChildProcess {
 public:
  // kestrelgate itself.
  Engine(const std::string& binary, const std::string& port)
      : ChildProcess(std::vector<std::string>{binary, port}) {
    if (!running()) throw MeasureError("cannot start " + binary + ": " + std::strerror(errno));
  }
  // A forked copy of the bench that runs `body` instead.
  explicit Engine(const std::function<int()>& body) : ChildProcess(body) {
    if (!running()) throw MeasureError(std::string("fork failed: ") + std::strerror(errno));
  }

  using ChildProcess::markAllRead;
  using ChildProcess::outputFd;
  using ChildProcess::pid;
  using ChildProcess::readAvailable;
  using ChildProcess::unread;
  using ChildProcess::unreadSize;

  void send(std::string_view text, Clock::time_point deadline) {
    if (!ChildProcess::send(text, deadline)) throw writeFailure("the engine");
  }

  // Reads until the unread output holds `needle`; returns the unread part up to and including
  // it and marks that read.
  std::string readUntil(std::string_view needle, Clock::time_point deadline) {
    if (std::optional<std::string> part = ChildProcess::readUntil(needle, deadline)) return *part;
    const std::string wrote = "; it wrote \"" + printable(unread()) + "\"";
    if (outputEnded()) {
      throw MeasureError("the engine ended its output while we waited for \"" + printable(needle) +
                         "\"" + wrote);
    }
    throw MeasureError("no \"" + printable(needle) + "\" from the engine in time" + wrote);
  }

  // "quit", then the end of the output, then the exit. Returns the resource use of the reaped
  // process; throws when it has not ended by the deadline (it is killed then).
  rusage quit(Clock::time_point deadline) {
    ChildProcess::send("quit\n", deadline);  // when already gone, the exit below tells
    const std::optional<int> status = waitExit(deadline);
    if (!status) {
      kill();
      throw MeasureError("the engine did not end after quit");
    }
    if (*status < 0) throw MeasureError("the engine ended by a signal at quit");
    return usage();
  }
};

// Not kestrelgate but the least a reader of the line can do, for comparison: run in a forked
// copy of this program, it reads the terminal one byte per blocking read() as kestrelgate does,
// and at each LF writes "bestmove\r\n" in one write(). What it takes is the cost of the
// kernel's pty and pipe and of the scheduler on this machine.
int minimalReader(const std::string& port) {
  const int tty = open(port.c_str(), O_RDWR | O_NOCTTY);
  for (;;) {
    char byte = 0;
    const ssize_t n = tty < 0 ? -1 : read(tty, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    if (byte == '\n' && write(STDOUT_FILENO, "bestmove\r\n", 10) != 10) return 1;
  }
}

// The nearest-rank percentile of sorted samples.
double percentile(const std::vector<double>& sorted, double p) {
  std::size_t rank =
      static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
  if (rank < 1) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

// Waits until the engine has completed `reads` read() calls in all, has left nothing unread on
// the pty and sleeps. A write to a pty master reaches the terminal side through a kernel work
// item, so an empty input queue alone could mean the bytes are still on their way.
void waitAsleepAfterReads(pid_t pid, long reads, const support::PtyPair& pty,
                          Clock::time_point deadline) {
  while (reading(support::readCalls(pid), "read calls") < reads || pty.unreadBytes() != 0 ||
         !reading(support::allThreadsAsleep(pid), "thread states")) {
    if (Clock::now() >= deadline) {
      throw MeasureError("the engine did not read the move line (" +
                         std::to_string(reading(support::readCalls(pid), "read calls")) + " of " +
                         std::to_string(reads) + " reads, " + std::to_string(pty.unreadBytes()) +
                         " bytes unread)");
    }
    support::pauseFor(std::chrono::microseconds(20));
  }
}

// Waits until every thread of the process sleeps.
void waitAllAsleep(pid_t pid, Clock::time_point deadline) {
  while (!reading(support::allThreadsAsleep(pid), "thread states")) {
    if (Clock::now() >= deadline) throw MeasureError("the engine did not go to sleep");
    support::pauseFor(std::chrono::microseconds(20));
  }
}

// The shared objects the engine has mapped, by file name.
std::string sharedObjects(pid_t pid) {
  std::string list;
  for (const std::string& name : reading(support::sharedObjects(pid), "memory map")) {
    list += (list.empty() ? "" : ", ") + name;
  }
  return list.empty() ? "none (statically linked)" : list;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

struct Row {
  std::string measure;
  std::string result;
  std::string target;
  std::string met;
};

std::string verdict(bool met) {
  return met ? "yes" : "**no**";
}

// A move line as the chess computer prints it, and the move a GUI gets for it.
struct MoveLine {
  const char* printed;
  const char* uci;
};
constexpr MoveLine kMoves[] = {
    {"e2-e4", "e2e4"}, {"g8-f6", "g8f6"}, {"d4xe5", "d4e5"}, {"b1-c3", "b1c3"}};

// Two digits, as every move number on the line has at least two.
std::string moveNumber(int i) {
  return std::to_string(10 + i % 90);
}

void startUp(Engine& engine, Clock::time_point deadline) {
  engine.send("uci\n", deadline);
  const std::string reply = engine.readUntil("uciok\r\n", deadline);
  if (reply.find("id name ") == std::string::npos) {
    throw MeasureError("no id line before uciok: \"" + printable(reply) + "\"");
  }
}

// A figure of this build beside the same figure of the earlier one, taken in the same run: met
// when this one is no worse than the earlier one by more than the run-to-run noise (10 %).
Row besideEarlier(const std::string& measure, double ours, double earlier, int decimals,
                  const std::string& unit, bool higherIsBetter) {
  const double ratio = earlier > 0 ? ours / earlier : 0;
  const bool met = higherIsBetter ? ratio >= 0.9 : ratio <= 1.1;
  return {measure + ", this build / the earlier one",
          fixed(ours, decimals) + " / " + fixed(earlier, decimals) + " " + unit + " (" +
              fixed(ratio, 2) + "×)",
          higherIsBetter ? "≥ 0.9×" : "≤ 1.1×", verdict(met)};
}

double timedStart(const std::string& binary, support::PtyPair& pty) {
  const Clock::time_point begin = Clock::now();
  Engine engine(binary, pty.devicePath());
  startUp(engine, begin + std::chrono::seconds(5));
  const Clock::time_point end = Clock::now();
  engine.quit(after(std::chrono::seconds(2)));
  return micros(end - begin) / 1000.0;
}

// One round of a measure taken side by side: this build's part, then the other's, or the other
// way round in odd rounds, so that neither build is always the one measured on a machine the
// other has just warmed. Without an other build, only this one's part.
void inTurn(int round, bool both, const std::function<void()>& ours,
            const std::function<void()>& other) {
  if (both && round % 2 == 1) other();
  ours();
  if (both && round % 2 == 0) other();
}

std::vector<Row> measureStarts(const std::string& binary, const std::string& earlier,
                               support::PtyPair& pty) {
  std::vector<double> samples;
  std::vector<double> earlierSamples;
  // One start of each first that is not counted: it pulls the binary and libraries into the
  // page cache. The two builds start in turn, each first in every other round: whichever goes
  // second finds the caches and the scheduler warmed by the first.
  for (int i = 0; i <= kStarts; ++i) {
    inTurn(
        i, !earlier.empty(),
        [&] {
          const double ours = timedStart(binary, pty);
          if (i > 0) samples.push_back(ours);
        },
        [&] {
          const double theirs = timedStart(earlier, pty);
          if (i > 0) earlierSamples.push_back(theirs);
        });
  }
  std::sort(samples.begin(), samples.end());
  const double median = percentile(samples, 50);
  const double worst = samples.back();
  const std::string target = "< " + fixed(kStartTargetMs, 0) + " ms";
  const std::string label = " of " + std::to_string(kStarts) + " starts";
  std::vector<Row> rows{
      {"start to `uciok`, median" + label, fixed(median, 2) + " ms", target,
       verdict(median < kStartTargetMs)},
      {"start to `uciok`, max" + label, fixed(worst, 2) + " ms", target,
       verdict(worst < kStartTargetMs)},
  };
  if (!earlier.empty()) {
    std::sort(earlierSamples.begin(), earlierSamples.end());
    rows.push_back(besideEarlier("start to `uciok`, median" + label, median,
                                 percentile(earlierSamples, 50), 2, "ms", false));
  }
  return rows;
}

// Each "go" waits for a single-move line: the engine has read everything but the final LF and
// sleeps in read() when the LF is written, as it does between the bytes of a real 600 bit/s line.
// Returns the sorted times from writing the LF to reading the whole reply line. With a `holder`,
// the engine asked has joined it, and the holder reads the line for it.
std::vector<double> latencySamples(Engine& engine, support::PtyPair& pty, bool minimalReader,
                                   Engine* holder = nullptr, int moves = kLatencyMoves,
                                   int warmUp = kLatencyWarmUp) {
  std::vector<double> samples;
  Engine& reader = holder != nullptr ? *holder : engine;
  for (int i = 0; i < warmUp + moves; ++i) {
    const MoveLine& move = kMoves[static_cast<std::size_t>(i) % std::size(kMoves)];
    const Clock::time_point deadline = after(std::chrono::seconds(5));
    const std::string allButLf = moveNumber(i) + " " + move.printed + "\r";
    // One read() takes the "go" from standard input, then one read() takes each serial byte.
    const long reads = reading(support::readCalls(reader.pid()), "read calls") +
                       (minimalReader || holder != nullptr ? 0 : 1) +
                       static_cast<long>(allButLf.size());
    if (!minimalReader) engine.send("go\n", deadline);
    print(pty, allButLf, deadline);
    waitAsleepAfterReads(reader.pid(), reads, pty, deadline);
    support::pauseFor(milliseconds(1));
    waitAsleepAfterReads(reader.pid(), reads, pty, deadline);
    if (holder != nullptr) waitAllAsleep(engine.pid(), deadline);
    if (engine.unreadSize() != 0) {
      throw MeasureError("output before the move line ended: \"" + printable(engine.unread()) +
                         "\"");
    }
    const Clock::time_point lineEnd = Clock::now();
    print(pty, "\n", deadline);
    const std::string reply = engine.readUntil("\r\n", deadline);
    const Clock::time_point answered = Clock::now();
    const std::string expected =
        minimalReader ? "bestmove\r\n" : std::string("bestmove ") + move.uci + "\r\n";
    if (reply != expected) {
      throw MeasureError("expected \"" + printable(expected) + "\", got \"" + printable(reply) +
                         "\"");
    }
    if (i >= warmUp) samples.push_back(micros(answered - lineEnd));
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

// Latency of two engines (each on a pty of its own, or one's go passed through the other),
// measured in blocks taken in turn, so that both meet the same load on the machine.
constexpr int kLatencyBlock = 25;
void interleavedLatency(const std::function<std::vector<double>(int moves, int warmUp)>& first,
                        const std::function<std::vector<double>(int moves, int warmUp)>& second,
                        std::vector<double>& a, std::vector<double>& b) {
  for (int block = 0; block * kLatencyBlock < kLatencyMoves; ++block) {
    const int warmUp = block == 0 ? kLatencyWarmUp : 0;
    inTurn(
        block, true,
        [&] {
          for (const double x : first(kLatencyBlock, warmUp)) a.push_back(x);
        },
        [&] {
          for (const double x : second(kLatencyBlock, warmUp)) b.push_back(x);
        });
  }
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
}

std::vector<Row> latencyRows(const std::vector<double>& samples) {
  const double p99 = percentile(samples, 99);
  const std::string label = " of " + std::to_string(kLatencyMoves) + " moves";
  return {
      {"serial LF to `bestmove`, p50" + label, fixed(percentile(samples, 50), 1) + " µs", "—", "—"},
      {"serial LF to `bestmove`, p99" + label, fixed(p99, 1) + " µs",
       "< " + fixed(kLatencyTargetUs, 0) + " µs", verdict(p99 < kLatencyTargetUs)},
  };
}

// Non-move lines written as fast as the pty takes them, then a move line to end the "go". The
// output pipe is drained while writing: an engine blocked on a full pipe stops reading the pty.
double relayLinesPerSecond(Engine& engine, support::PtyPair& pty, std::size_t& textBytes) {
  std::string serial;
  std::string expected;
  for (int i = 0; i < kRelayLines; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "Info %05d Level 5 Time 0:12:34 Score +25", i);
    serial += line;
    serial += "\r\n";
    expected += std::string("info string ") + line + "\r\n";
  }
  textBytes = serial.size();
  serial += "45 e2-e4\r\n";
  expected += "bestmove e2e4\r\n";

  const Clock::time_point deadline = after(std::chrono::seconds(60));
  engine.send("go\n", deadline);
  const std::size_t start = engine.unreadSize();
  std::size_t written = 0;
  const Clock::time_point begin = Clock::now();
  for (;;) {
    if (engine.unreadSize() - start >= expected.size()) break;
    pollfd p[2] = {{engine.outputFd(), POLLIN, 0},
                   {pty.masterFd(), static_cast<short>(written < serial.size() ? POLLOUT : 0), 0}};
    const int rc = poll(p, 2, support::pollTimeout(deadline));
    if (rc < 0 && errno != EINTR) throw MeasureError("poll failed");
    if (rc == 0 && Clock::now() >= deadline) {
      throw MeasureError("relay did not finish in 60 s: " + std::to_string(written) + " of " +
                         std::to_string(serial.size()) + " bytes written");
    }
    if ((p[1].revents & POLLOUT) != 0) {
      const long n = pty.printSome(std::string_view(serial).substr(written, 4096));
      if (n < 0) throw writeFailure("the pty");
      written += static_cast<std::size_t>(n);
    }
    if ((p[0].revents & (POLLIN | POLLHUP)) != 0 && !engine.readAvailable()) {
      throw MeasureError("the engine ended its output during the relay");
    }
  }
  const Clock::time_point end = Clock::now();
  const std::string got = engine.unread().substr(start);
  engine.markAllRead();
  if (got != expected) {
    const auto mismatch = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    const std::size_t at = static_cast<std::size_t>(mismatch.first - got.begin());
    throw MeasureError("relayed text differs at byte " + std::to_string(at) + ": \"" +
                       printable(std::string_view(got).substr(at, 60)) + "\"");
  }
  return kRelayLines / (micros(end - begin) / 1e6);
}

// The relay four times, taken in turn with the earlier build's where there is one; the
// medians.
constexpr int kRelayRuns = 4;
std::vector<Row> measureRelay(Engine& engine, support::PtyPair& pty, Engine* earlier,
                              support::PtyPair* earlierPty) {
  std::vector<double> ours;
  std::vector<double> theirs;
  std::size_t textBytes = 0;
  for (int run = 0; run < kRelayRuns; ++run) {
    inTurn(
        run, earlier != nullptr,
        [&] { ours.push_back(relayLinesPerSecond(engine, pty, textBytes)); },
        [&] { theirs.push_back(relayLinesPerSecond(*earlier, *earlierPty, textBytes)); });
  }
  std::sort(ours.begin(), ours.end());
  const double lines = percentile(ours, 50);
  const std::string label = "relay, " + std::to_string(kRelayLines) + " lines of " +
                            std::to_string(textBytes / kRelayLines) + " bytes, median of " +
                            std::to_string(kRelayRuns);
  std::vector<Row> rows{
      {label + ", lines/s", fixed(lines, 0) + " lines/s", "—", "—"},
      {label + ", bytes/s",
       fixed(lines * static_cast<double>(textBytes / kRelayLines) / 1e6, 2) + " MB/s", "—", "—"},
  };
  if (earlier != nullptr) {
    std::sort(theirs.begin(), theirs.end());
    rows.push_back(besideEarlier(label, lines, percentile(theirs, 50), 0, "lines/s", true));
  }
  return rows;
}

std::vector<Row> measureIdle(Engine& engine, support::PtyPair& pty, long& wakeUps) {
  const Clock::time_point deadline = after(std::chrono::seconds(5));
  engine.send("go\n", deadline);
  // An info line back proves the "go" has been taken and the engine waits on the serial line.
  print(pty, "Thinking\r\n", deadline);
  const std::string info = engine.readUntil("\r\n", deadline);
  if (info != "info string Thinking\r\n") {
    throw MeasureError("expected info string Thinking, got \"" + printable(info) + "\"");
  }
  support::pauseFor(milliseconds(100));
  const long ticksBefore = reading(support::cpuTicks(engine.pid()), "CPU time");
  const long switchesBefore = contextSwitches(engine.pid());
  support::pauseFor(kIdleWait);
  const long ticks = reading(support::cpuTicks(engine.pid()), "CPU time") - ticksBefore;
  wakeUps = contextSwitches(engine.pid()) - switchesBefore;
  const Clock::time_point end = after(std::chrono::seconds(5));
  print(pty, "46 e2-e4\r\n", end);
  const std::string reply = engine.readUntil("\r\n", end);
  if (reply != "bestmove e2e4\r\n") {
    throw MeasureError("expected bestmove e2e4, got \"" + printable(reply) + "\"");
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kIdleWait).count();
  return {{"CPU during a " + std::to_string(seconds) + " s wait for a move (utime+stime)",
           std::to_string(ticks) + " ticks, " + std::to_string(wakeUps) + " wake-ups", "0 ticks",
           verdict(ticks == 0)}};
}

// The table's rows and the notes below it; a measure that failed makes the exit status 1.
struct Report {
  std::vector<Row> rows;
  std::vector<std::string> notes;
  bool failed = false;

  void add(const std::vector<Row>& more) { rows.insert(rows.end(), more.begin(), more.end()); }
  void notMeasured(const std::string& measure, const std::string& why) {
    rows.push_back({measure, "not measured: " + why, "", ""});
    std::fprintf(stderr, "kestrelgate_bench: %s: %s\n", measure.c_str(), why.c_str());
    failed = true;
  }
};

void reportStarts(const std::string& binary, const std::string& earlier, support::PtyPair& pty,
                  Report& report) {
  try {
    report.add(measureStarts(binary, earlier, pty));
  } catch (const std::exception& e) {
    report.notMeasured("start to `uciok`", e.what());
  }
}

// One engine for the serial measures, so that its peak memory is that after all the work. A
// step that fails leaves the later ones unmeasured.
void reportSerialMeasures(const std::string& binary, const std::string& earlier,
                          support::PtyPair& pty, Report& report) {
  const char* const steps[] = {"start of the engine for the serial measures",
                               "serial LF to `bestmove`", "relay", "CPU during a wait for a move",
                               "peak RSS"};
  std::size_t step = 0;
  try {
    Engine engine(binary, pty.devicePath());
    startUp(engine, after(std::chrono::seconds(5)));
    // The earlier build on a pty of its own, measured in turn with this one.
    std::unique_ptr<support::PtyPair> earlierPty;
    std::unique_ptr<Engine> earlierEngine;
    if (!earlier.empty()) {
      earlierPty = std::make_unique<support::PtyPair>();
      if (!earlierPty->ok()) throw MeasureError("no pseudo-terminal for the earlier build");
      earlierEngine = std::make_unique<Engine>(earlier, earlierPty->devicePath());
      startUp(*earlierEngine, after(std::chrono::seconds(5)));
    }
    report.rows.push_back(
        {"threads of a Kestrelgate that nobody has joined",
         std::to_string(reading(support::statusField(engine.pid(), "Threads"), "threads")), "1",
         verdict(reading(support::statusField(engine.pid(), "Threads"), "threads") == 1)});
    step = 1;
    std::vector<double> latency;
    std::vector<double> earlierLatency;
    if (earlierEngine) {
      interleavedLatency(
          [&](int moves, int warmUp) {
            return latencySamples(engine, pty, false, nullptr, moves, warmUp);
          },
          [&](int moves, int warmUp) {
            return latencySamples(*earlierEngine, *earlierPty, false, nullptr, moves, warmUp);
          },
          latency, earlierLatency);
    } else {
      latency = latencySamples(engine, pty, false);
    }
    report.add(latencyRows(latency));
    if (earlierEngine) {
      report.rows.push_back(besideEarlier("serial LF to `bestmove`, p50", percentile(latency, 50),
                                          percentile(earlierLatency, 50), 1, "µs", false));
      report.rows.push_back(besideEarlier("serial LF to `bestmove`, p99", percentile(latency, 99),
                                          percentile(earlierLatency, 99), 1, "µs", false));
    }
    report.notes.push_back("slowest move of the latency run: " + fixed(latency.back(), 1) + " µs");

    step = 2;
    const long relayTicks = reading(support::cpuTicks(engine.pid()), "CPU time");
    report.add(measureRelay(engine, pty, earlierEngine.get(), earlierPty.get()));
    report.notes.push_back(
        "engine CPU during the relay: " +
        std::to_string(reading(support::cpuTicks(engine.pid()), "CPU time") - relayTicks) +
        " ticks");

    step = 3;
    long wakeUps = 0;
    report.add(measureIdle(engine, pty, wakeUps));

    step = 4;
    const long hwm = reading(support::statusField(engine.pid(), "VmHWM"), "VmHWM");
    const long rss = reading(support::statusField(engine.pid(), "VmRSS"), "VmRSS");
    report.notes.push_back("shared objects mapped: " + sharedObjects(engine.pid()));
    const rusage usage = engine.quit(after(std::chrono::seconds(2)));
    report.rows.push_back(
        {"peak RSS (VmHWM just before quit)",
         std::to_string(hwm) + " kB (" + fixed(static_cast<double>(hwm) / 1024, 2) + " MiB)",
         "< " + std::to_string(kRssTargetKb / 1024) + " MiB (" + std::to_string(kRssTargetKb) +
             " kB)",
         verdict(hwm < kRssTargetKb)});
    // posix_spawn's child shares our memory until its exec, and the kernel keeps the larger
    // high-water mark across the exec: ru_maxrss is at least our own size, VmHWM the engine's.
    report.notes.push_back(
        "VmRSS just before quit: " + std::to_string(rss) + " kB; ru_maxrss of the reaped child: " +
        std::to_string(usage.ru_maxrss) + " kB (includes the spawning process before exec)");
  } catch (const std::exception& e) {
    report.notMeasured(steps[step], e.what());
    for (++step; step < std::size(steps); ++step) {
      report.notMeasured(steps[step], "an earlier step failed");
    }
  }
}

// Two engines on the port, as a GUI playing engine against engine starts them: the first holds
// the port, the second joins it. A move for the joined one goes one step further: read by the
// holder, passed to the joined process, written by it.
void reportPair(const std::string& binary, support::PtyPair& pty, Report& report) {
  const char* const steps[] = {"start of a pair", "holder's serial LF to `bestmove` in a pair",
                               "joined engine's serial LF to `bestmove`",
                               "CPU of a pair during a wait", "peak RSS of a pair"};
  std::size_t step = 0;
  try {
    Engine holder(binary, pty.devicePath());
    startUp(holder, after(std::chrono::seconds(5)));
    Engine joined(binary, pty.devicePath());
    startUp(joined, after(std::chrono::seconds(5)));
    step = 1;
    // The holder's own go and the joined engine's, in turn.
    std::vector<double> own;
    std::vector<double> passed;
    interleavedLatency(
        [&](int moves, int warmUp) {
          return latencySamples(holder, pty, false, nullptr, moves, warmUp);
        },
        [&](int moves, int warmUp) {
          return latencySamples(joined, pty, false, &holder, moves, warmUp);
        },
        own, passed);
    step = 2;
    const double addedMs = (percentile(passed, 50) - percentile(own, 50)) / 1000.0;
    const std::string label = " of " + std::to_string(kLatencyMoves) + " moves";
    report.add({
        {"pair: holder's serial LF to `bestmove`, p50 / p99" + label,
         fixed(percentile(own, 50), 1) + " / " + fixed(percentile(own, 99), 1) + " µs", "—", "—"},
        {"pair: joined engine's serial LF to `bestmove`, p50 / p99" + label,
         fixed(percentile(passed, 50), 1) + " / " + fixed(percentile(passed, 99), 1) + " µs", "—",
         "—"},
        {"pair: what the joined engine's path adds, p50 of runs taken in turn",
         fixed(addedMs, 3) + " ms", "< 1 ms", verdict(addedMs < 1.0)},
    });

    step = 3;
    // The joined engine's go waits: the holder reads the port for it.
    const Clock::time_point deadline = after(std::chrono::seconds(5));
    joined.send("go\n", deadline);
    print(pty, "Thinking\r\n", deadline);
    if (joined.readUntil("\r\n", deadline) != "info string Thinking\r\n") {
      throw MeasureError("the joined engine did not pass the status line on");
    }
    support::pauseFor(milliseconds(100));
    const long before = reading(support::cpuTicks(holder.pid()), "CPU time") +
                        reading(support::cpuTicks(joined.pid()), "CPU time");
    support::pauseFor(kIdleWait);
    const long ticks = reading(support::cpuTicks(holder.pid()), "CPU time") +
                       reading(support::cpuTicks(joined.pid()), "CPU time") - before;
    const Clock::time_point end = after(std::chrono::seconds(5));
    print(pty, "47 e2-e4\r\n", end);
    if (joined.readUntil("\r\n", end) != "bestmove e2e4\r\n") {
      throw MeasureError("the joined engine's waiting go was not answered");
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kIdleWait).count();
    report.rows.push_back({"pair: CPU of both during a " + std::to_string(seconds) +
                               " s wait for the joined engine's move",
                           std::to_string(ticks) + " ticks", "0 ticks", verdict(ticks == 0)});

    step = 4;
    const long holderHwm = reading(support::statusField(holder.pid(), "VmHWM"), "VmHWM");
    const long joinedHwm = reading(support::statusField(joined.pid(), "VmHWM"), "VmHWM");
    joined.quit(after(std::chrono::seconds(2)));
    holder.quit(after(std::chrono::seconds(2)));
    report.rows.push_back({"pair: peak RSS, holder / joined",
                           std::to_string(holderHwm) + " kB / " + std::to_string(joinedHwm) + " kB",
                           "< " + std::to_string(kRssTargetKb / 1024) + " MiB each",
                           verdict(holderHwm < kRssTargetKb && joinedHwm < kRssTargetKb)});
  } catch (const std::exception& e) {
    report.notMeasured(steps[step], e.what());
    for (++step; step < std::size(steps); ++step) {
      report.notMeasured(steps[step], "an earlier step failed");
    }
  }
}

// What following the GUI's board costs: a "position" command with 300 moves (a knight's dance,
// so that every move can be followed to the end), read as the command loop reads it.
void reportPosition(Report& report) {
  std::string command = "position startpos moves";
  const char* const dance[] = {"g1f3", "g8f6", "f3g1", "f6g8"};
  for (int i = 0; i < 300; ++i) command += std::string(" ") + dance[i % 4];
  std::vector<double> samples;
  for (int i = 0; i < 2000; ++i) {
    kestrelgate::uci::Position position;
    const Clock::time_point begin = Clock::now();
    position.follow(command);
    samples.push_back(micros(Clock::now() - begin));
    if (!position.known()) {
      report.notMeasured("a position with 300 moves", "the position could not be followed");
      return;
    }
  }
  std::sort(samples.begin(), samples.end());
  const double p50 = percentile(samples, 50);
  report.rows.push_back({"`position startpos moves` with 300 moves, p50 / p99 of 2000",
                         fixed(p50, 1) + " / " + fixed(percentile(samples, 99), 1) + " µs",
                         "< 50 µs", verdict(p50 < 50)});
}

void reportMinimalReader(support::PtyPair& pty, Report& report) {
  try {
    Engine reader([&pty] { return minimalReader(pty.devicePath()); });
    const std::vector<double> floor = latencySamples(reader, pty, true);
    report.notes.push_back(
        "the same LF-to-reply path with a minimal reader (a forked copy of the "
        "bench: one read() per byte, one write() at LF): p50 " +
        fixed(percentile(floor, 50), 1) + " µs, p99 " + fixed(percentile(floor, 99), 1) +
        " µs, slowest " + fixed(floor.back(), 1) + " µs");
  } catch (const std::exception& e) {
    report.notMeasured("LF to reply with a minimal reader", e.what());
  }
}

void printReport(const std::string& binary, const std::string& earlier, const std::string& load,
                 const Report& report) {
  utsname host{};
  uname(&host);
  std::printf(
      "Kestrelgate benchmark: %s on %s %s, %ld CPUs, clock tick %ld Hz, load average at start "
      "%s\n",
      binary.c_str(), host.sysname, host.release, sysconf(_SC_NPROCESSORS_ONLN),
      sysconf(_SC_CLK_TCK), load.c_str());
  std::printf("%s\n\n", earlier.empty()
                            ? "No earlier build given: nothing is measured beside another."
                            : ("The earlier build measured beside it: " + earlier).c_str());
  std::printf("| measure | result | target | met |\n|---|---|---|---|\n");
  for (const Row& row : report.rows) {
    std::printf("| %s | %s | %s | %s |\n", row.measure.c_str(), row.result.c_str(),
                row.target.c_str(), row.met.c_str());
  }
  std::printf("\n");
  for (const std::string& note : report.notes) std::printf("- %s\n", note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string binary = argc > 1 ? argv[1] : KESTRELGATE_BINARY;
  const std::string earlier = argc > 2 ? argv[2] : "";
  Report report;
  report.notes.push_back("not counted: 1 start before the " + std::to_string(kStarts) +
                         " timed ones, " + std::to_string(kLatencyWarmUp) + " moves before the " +
                         std::to_string(kLatencyMoves) + " timed ones");
  // Other work on the machine shows in every timing here; the load average says how much there
  // was when the run began.
  const std::string load = support::loadAverage().value_or("unknown");

  support::PtyPair pty;
  if (pty.ok()) {
    reportStarts(binary, earlier, pty, report);
    reportSerialMeasures(binary, earlier, pty, report);
    reportPosition(report);
    reportPair(binary, pty, report);
    reportMinimalReader(pty, report);
  } else {
    report.notMeasured("pseudo-terminal", pty.error());
  }
  printReport(binary, earlier, load, report);
  return report.failed ? 1 : 0;
}
