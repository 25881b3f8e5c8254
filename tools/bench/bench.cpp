// Measures the built kestrelgate the way a GUI and a chess computer meet it: how long a start
// takes to answer "uci", how soon a move line on the serial line comes out as "bestmove", how
// fast other lines are relayed as "info string", whether waiting for the chess computer costs
// any CPU, and how much memory the process holds. Prints one Markdown table.
//
//   kestrelgate_bench [path/to/kestrelgate]
//
// The chess computer is played on a pseudo-terminal. Every wait has a deadline, and every
// engine started here is killed at the latest when its measurement ends, so the benchmark
// cannot hang. The exit status is 1 when something could not be measured; a missed target is
// a result, shown in the table, not a failure.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

// Rounded up, so that a wait shortly before its deadline sleeps instead of spinning at 0 ms.
int pollTimeout(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void pause(std::chrono::nanoseconds d) {
  timespec t{static_cast<time_t>(d.count() / 1000000000),
             static_cast<long>(d.count() % 1000000000)};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    throw MeasureError(std::string("fcntl: ") + std::strerror(errno));
  }
}

// Writes everything to a non-blocking descriptor, waiting for room until the deadline.
void writeAll(int fd, std::string_view bytes, Clock::time_point deadline, const char* what) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      throw MeasureError(std::string("write to ") + what + ": " + std::strerror(errno));
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, pollTimeout(deadline)) == 0 && Clock::now() >= deadline) {
      throw MeasureError(std::string("write to ") + what + " timed out");
    }
  }
}

// The chess computer's end of the serial line. The terminal side stays open and raw here too:
// bytes written before the engine opens the device wait unaltered, and FIONREAD on it tells how
// many the engine has not read yet.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw MeasureError("cannot open a pseudo-terminal");
    }
    const char* name = ptsname(master_);
    if (name == nullptr) throw MeasureError("ptsname failed");
    path_ = name;
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (slave_ < 0 || tcgetattr(slave_, &mode) != 0) throw MeasureError("cannot open " + path_);
    cfmakeraw(&mode);
    if (tcsetattr(slave_, TCSANOW, &mode) != 0) throw MeasureError("cannot make the pty raw");
    setNonBlocking(master_);
  }
  ~Pty() {
    closeFd(slave_);
    closeFd(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }

  void print(std::string_view bytes, Clock::time_point deadline) {
    writeAll(master_, bytes, deadline, "the pty");
  }

  int unread() const {
    int count = -1;
    if (ioctl(slave_, FIONREAD, &count) != 0) throw MeasureError("FIONREAD on the pty failed");
    return count;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// kestrelgate with its standard input and output on pipes, as a GUI starts it.
class Engine {
 public:
  Engine(const std::string& binary, const std::string& port) {
    int toChild[2] = {-1, -1};
    int fromChild[2] = {-1, -1};
    if (pipe2(toChild, O_CLOEXEC) != 0) throw MeasureError("pipe failed");
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
      close(toChild[0]);
      close(toChild[1]);
      throw MeasureError("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>(port.c_str()),
                            nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    if (rc != 0) throw MeasureError("cannot start " + binary + ": " + std::strerror(rc));
    pid_ = pid;
    setNonBlocking(input_);
    setNonBlocking(output_);
  }
  // Not kestrelgate but the least a reader of the line can do, for comparison: a forked copy of
  // this program that reads the terminal one byte per blocking read() as kestrelgate does, and
  // at each LF writes "bestmove\r\n" in one write(). What it takes is the cost of the kernel's
  // pty and pipe and of the scheduler on this machine.
  struct MinimalReader {};
  Engine(MinimalReader, const std::string& port) {
    int fromChild[2] = {-1, -1};
    if (pipe2(fromChild, O_CLOEXEC) != 0) throw MeasureError("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
      const int tty = open(port.c_str(), O_RDWR | O_NOCTTY);
      for (;;) {
        char byte = 0;
        const ssize_t n = tty < 0 ? -1 : read(tty, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(1);
        if (byte == '\n' && write(fromChild[1], "bestmove\r\n", 10) != 10) _exit(1);
      }
    }
    close(fromChild[1]);
    output_ = fromChild[0];
    if (pid < 0) throw MeasureError(std::string("fork failed: ") + std::strerror(errno));
    pid_ = pid;
    setNonBlocking(output_);
  }
  ~Engine() {
    kill();
    closeFd(input_);
    closeFd(output_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  pid_t pid() const { return pid_; }
  int outputFd() const { return output_; }

  void send(std::string_view text, Clock::time_point deadline) {
    writeAll(input_, text, deadline, "the engine");
  }

  // Takes what the pipe holds now; false once the output has ended.
  bool readAvailable() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(output_, buffer, sizeof buffer);
      if (n > 0) {
        text_.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return true;
      throw MeasureError(std::string("read from the engine: ") + std::strerror(errno));
    }
  }

  // Reads until the unread output holds `needle`; returns the unread part up to and including
  // it and marks that read.
  std::string readUntil(std::string_view needle, Clock::time_point deadline) {
    for (;;) {
      const std::size_t at = text_.find(needle, searched_);
      if (at != std::string::npos) {
        const std::size_t end = at + needle.size();
        std::string part = text_.substr(consumed_, end - consumed_);
        consumed_ = searched_ = end;
        return part;
      }
      // Only the tail that could still begin a match is searched again.
      searched_ =
          std::max(consumed_, text_.size() >= needle.size() ? text_.size() - needle.size() + 1
                                                            : std::size_t{0});
      pollfd p{output_, POLLIN, 0};
      const int rc = poll(&p, 1, pollTimeout(deadline));
      if (rc < 0 && errno != EINTR) throw MeasureError("poll on the engine failed");
      if (rc > 0 && !readAvailable()) {
        if (text_.find(needle, searched_) != std::string::npos) continue;
        throw MeasureError("the engine ended its output while we waited for \"" +
                           printable(needle) + "\"; it wrote \"" + printable(unread()) + "\"");
      }
      if (rc == 0 && Clock::now() >= deadline) {
        throw MeasureError("no \"" + printable(needle) + "\" from the engine in time; it wrote \"" +
                           printable(unread()) + "\"");
      }
    }
  }

  std::string unread() const { return text_.substr(consumed_); }
  std::size_t unreadSize() const { return text_.size() - consumed_; }
  void markAllRead() { consumed_ = searched_ = text_.size(); }

  // "quit", then the end of the output, then the exit. Returns the resource use of the reaped
  // process; throws when it has not ended by the deadline (it is killed then).
  rusage quit(Clock::time_point deadline) {
    try {
      send("quit\n", deadline);
    } catch (const MeasureError&) {
      // Already gone: the exit below tells.
    }
    for (;;) {
      pollfd p{output_, POLLIN, 0};
      const int rc = poll(&p, 1, pollTimeout(deadline));
      if (rc > 0 && !readAvailable()) break;
      if (rc == 0 && Clock::now() >= deadline) break;
    }
    for (;;) {
      int status = 0;
      rusage usage{};
      const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
      if (done == pid_) {
        pid_ = -1;
        if (!WIFEXITED(status)) throw MeasureError("the engine ended by a signal at quit");
        return usage;
      }
      if (done < 0 && errno != EINTR) throw MeasureError("waitpid failed");
      if (Clock::now() >= deadline) {
        kill();
        throw MeasureError("the engine did not end after quit");
      }
      pause(std::chrono::microseconds(200));
    }
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  static std::string printable(std::string_view text) {
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

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string text_;
  std::size_t consumed_ = 0;
  std::size_t searched_ = 0;
};

Clock::time_point after(Clock::duration d) {
  return Clock::now() + d;
}

// The nearest-rank percentile of sorted samples.
double percentile(const std::vector<double>& sorted, double p) {
  std::size_t rank =
      static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
  if (rank < 1) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw MeasureError("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// utime + stime of the process, in clock ticks.
long cpuTicks(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold blanks and parentheses; the fields after it are plain.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) throw MeasureError("unexpected /proc/<pid>/stat");
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  if (!fields) throw MeasureError("unexpected /proc/<pid>/stat");
  return utime + stime;
}

// A "name:   value ..." field of /proc/<pid>/<file> as a number.
long procField(pid_t pid, const char* file, std::string_view name) {
  std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/" + file));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
        line[name.size()] == ':') {
      return std::stol(line.substr(name.size() + 1));
    }
  }
  throw MeasureError("no " + std::string(name) + " in /proc/<pid>/" + file);
}

long statusField(pid_t pid, std::string_view name) {
  return procField(pid, "status", name);
}

// Completed read() calls of the process.
long readCalls(pid_t pid) {
  return procField(pid, "io", "syscr");
}

// The scheduler state letter: 'S' while the process sleeps in a system call.
char processState(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) {
    throw MeasureError("unexpected /proc/<pid>/stat");
  }
  return stat[close + 2];
}

// Waits until the engine has completed `reads` read() calls in all, has left nothing unread on
// the pty and sleeps. A write to a pty master reaches the terminal side through a kernel work
// item, so an empty input queue alone could mean the bytes are still on their way.
void waitAsleepAfterReads(pid_t pid, long reads, const Pty& pty, Clock::time_point deadline) {
  while (readCalls(pid) < reads || pty.unread() != 0 || processState(pid) != 'S') {
    if (Clock::now() >= deadline) {
      throw MeasureError("the engine did not read the move line (" +
                         std::to_string(readCalls(pid)) + " of " + std::to_string(reads) +
                         " reads, " + std::to_string(pty.unread()) + " bytes unread)");
    }
    pause(std::chrono::microseconds(20));
  }
}

// The shared objects the process has mapped, by file name.
std::string sharedObjects(pid_t pid) {
  std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/maps"));
  std::string line;
  std::set<std::string> names;
  while (std::getline(lines, line)) {
    const std::size_t slash = line.rfind('/');
    if (slash == std::string::npos) continue;
    const std::string name = line.substr(slash + 1);
    if (name.find(".so") != std::string::npos) names.insert(name);
  }
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
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
    throw MeasureError("no id line before uciok: \"" + Engine::printable(reply) + "\"");
  }
}

std::vector<Row> measureStarts(const std::string& binary, Pty& pty) {
  std::vector<double> samples;
  // One start first that is not counted: it pulls the binary and libraries into the page cache.
  for (int i = 0; i <= kStarts; ++i) {
    const Clock::time_point begin = Clock::now();
    Engine engine(binary, pty.path());
    engine.send("uci\n", begin + std::chrono::seconds(5));
    const std::string reply = engine.readUntil("uciok\r\n", begin + std::chrono::seconds(5));
    const Clock::time_point end = Clock::now();
    if (reply.find("id name ") == std::string::npos) {
      throw MeasureError("no id line before uciok: \"" + Engine::printable(reply) + "\"");
    }
    engine.quit(after(std::chrono::seconds(2)));
    if (i > 0) samples.push_back(micros(end - begin) / 1000.0);
  }
  std::sort(samples.begin(), samples.end());
  const double median = percentile(samples, 50);
  const double worst = samples.back();
  const std::string target = "< " + fixed(kStartTargetMs, 0) + " ms";
  const std::string label = " of " + std::to_string(kStarts) + " starts";
  return {
      {"start to `uciok`, median" + label, fixed(median, 2) + " ms", target,
       verdict(median < kStartTargetMs)},
      {"start to `uciok`, max" + label, fixed(worst, 2) + " ms", target,
       verdict(worst < kStartTargetMs)},
  };
}

// Each "go" waits for a single-move line: the engine has read everything but the final LF and
// sleeps in read() when the LF is written, as it does between the bytes of a real 600 bit/s line.
// Returns the sorted times from writing the LF to reading the whole reply line.
std::vector<double> latencySamples(Engine& engine, Pty& pty, bool minimalReader) {
  std::vector<double> samples;
  for (int i = 0; i < kLatencyWarmUp + kLatencyMoves; ++i) {
    const MoveLine& move = kMoves[static_cast<std::size_t>(i) % std::size(kMoves)];
    const Clock::time_point deadline = after(std::chrono::seconds(5));
    const std::string allButLf = moveNumber(i) + " " + move.printed + "\r";
    // One read() takes the "go" from standard input, then one read() takes each serial byte.
    const long reads =
        readCalls(engine.pid()) + (minimalReader ? 0 : 1) + static_cast<long>(allButLf.size());
    if (!minimalReader) engine.send("go\n", deadline);
    pty.print(allButLf, deadline);
    waitAsleepAfterReads(engine.pid(), reads, pty, deadline);
    pause(milliseconds(1));
    waitAsleepAfterReads(engine.pid(), reads, pty, deadline);
    if (engine.unreadSize() != 0) {
      throw MeasureError("output before the move line ended: \"" +
                         Engine::printable(engine.unread()) + "\"");
    }
    const Clock::time_point lineEnd = Clock::now();
    pty.print("\n", deadline);
    const std::string reply = engine.readUntil("\r\n", deadline);
    const Clock::time_point answered = Clock::now();
    const std::string expected =
        minimalReader ? "bestmove\r\n" : std::string("bestmove ") + move.uci + "\r\n";
    if (reply != expected) {
      throw MeasureError("expected \"" + Engine::printable(expected) + "\", got \"" +
                         Engine::printable(reply) + "\"");
    }
    if (i >= kLatencyWarmUp) samples.push_back(micros(answered - lineEnd));
  }
  std::sort(samples.begin(), samples.end());
  return samples;
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
std::vector<Row> measureRelay(Engine& engine, Pty& pty) {
  std::string serial;
  std::string expected;
  for (int i = 0; i < kRelayLines; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "Info %05d Level 5 Time 0:12:34 Score +25", i);
    serial += line;
    serial += "\r\n";
    expected += std::string("info string ") + line + "\r\n";
  }
  const std::size_t textBytes = serial.size();
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
                   {pty.master(), static_cast<short>(written < serial.size() ? POLLOUT : 0), 0}};
    const int rc = poll(p, 2, pollTimeout(deadline));
    if (rc < 0 && errno != EINTR) throw MeasureError("poll failed");
    if (rc == 0 && Clock::now() >= deadline) {
      throw MeasureError("relay did not finish in 60 s: " + std::to_string(written) + " of " +
                         std::to_string(serial.size()) + " bytes written");
    }
    if ((p[1].revents & POLLOUT) != 0) {
      const ssize_t n = write(pty.master(), serial.data() + written,
                              std::min<std::size_t>(serial.size() - written, 4096));
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) throw MeasureError("write to the pty failed");
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
                       Engine::printable(std::string_view(got).substr(at, 60)) + "\"");
  }
  const double seconds = micros(end - begin) / 1e6;
  const std::string label = "relay, " + std::to_string(kRelayLines) + " lines of " +
                            std::to_string(textBytes / kRelayLines) + " bytes";
  return {
      {label + ", lines/s", fixed(kRelayLines / seconds, 0) + " lines/s", "—", "—"},
      {label + ", bytes/s", fixed(static_cast<double>(textBytes) / seconds / 1e6, 2) + " MB/s", "—",
       "—"},
  };
}

std::vector<Row> measureIdle(Engine& engine, Pty& pty, long& wakeUps) {
  const Clock::time_point deadline = after(std::chrono::seconds(5));
  engine.send("go\n", deadline);
  // An info line back proves the "go" has been taken and the engine waits on the serial line.
  pty.print("Thinking\r\n", deadline);
  const std::string info = engine.readUntil("\r\n", deadline);
  if (info != "info string Thinking\r\n") {
    throw MeasureError("expected info string Thinking, got \"" + Engine::printable(info) + "\"");
  }
  pause(milliseconds(100));
  const long ticksBefore = cpuTicks(engine.pid());
  const long switchesBefore = statusField(engine.pid(), "voluntary_ctxt_switches") +
                              statusField(engine.pid(), "nonvoluntary_ctxt_switches");
  pause(kIdleWait);
  const long ticks = cpuTicks(engine.pid()) - ticksBefore;
  wakeUps = statusField(engine.pid(), "voluntary_ctxt_switches") +
            statusField(engine.pid(), "nonvoluntary_ctxt_switches") - switchesBefore;
  const Clock::time_point end = after(std::chrono::seconds(5));
  pty.print("46 e2-e4\r\n", end);
  const std::string reply = engine.readUntil("\r\n", end);
  if (reply != "bestmove e2e4\r\n") {
    throw MeasureError("expected bestmove e2e4, got \"" + Engine::printable(reply) + "\"");
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kIdleWait).count();
  return {{"CPU during a " + std::to_string(seconds) + " s wait for a move (utime+stime)",
           std::to_string(ticks) + " ticks, " + std::to_string(wakeUps) + " wake-ups", "0 ticks",
           verdict(ticks == 0)}};
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = argc > 1 ? argv[1] : KESTRELGATE_BINARY;
  // An engine that has already ended must make our writes fail, not end the benchmark.
  signal(SIGPIPE, SIG_IGN);

  std::vector<Row> rows;
  std::vector<std::string> notes{"not counted: 1 start before the " + std::to_string(kStarts) +
                                 " timed ones, " + std::to_string(kLatencyWarmUp) +
                                 " moves before the " + std::to_string(kLatencyMoves) +
                                 " timed ones"};
  // Other work on the machine shows in every timing here; the load average says how much there
  // was when the run began.
  std::string load = "unknown";
  try {
    std::istringstream loadavg(readFile("/proc/loadavg"));
    std::string one, five, fifteen;
    if (loadavg >> one >> five >> fifteen) load = one + " " + five + " " + fifteen;
  } catch (const MeasureError&) {
  }
  bool failed = false;
  auto notMeasured = [&](const std::string& measure, const std::string& why) {
    rows.push_back({measure, "not measured: " + why, "", ""});
    std::fprintf(stderr, "kestrelgate_bench: %s: %s\n", measure.c_str(), why.c_str());
    failed = true;
  };

  try {
    Pty pty;
    try {
      const std::vector<Row> starts = measureStarts(binary, pty);
      rows.insert(rows.end(), starts.begin(), starts.end());
    } catch (const std::exception& e) {
      notMeasured("start to `uciok`", e.what());
    }

    // One engine for the rest, so that its peak memory is that after all the work.
    const char* const steps[] = {"start of the engine for the serial measures",
                                 "serial LF to `bestmove`", "relay", "CPU during a wait for a move",
                                 "peak RSS"};
    std::size_t step = 0;
    try {
      Engine engine(binary, pty.path());
      startUp(engine, after(std::chrono::seconds(5)));
      step = 1;
      const std::vector<double> latency = latencySamples(engine, pty, false);
      const std::vector<Row> latencyTable = latencyRows(latency);
      rows.insert(rows.end(), latencyTable.begin(), latencyTable.end());
      notes.push_back("slowest move of the latency run: " + fixed(latency.back(), 1) + " µs");

      step = 2;
      const long relayTicks = cpuTicks(engine.pid());
      const std::vector<Row> relay = measureRelay(engine, pty);
      rows.insert(rows.end(), relay.begin(), relay.end());
      notes.push_back("engine CPU during the relay: " +
                      std::to_string(cpuTicks(engine.pid()) - relayTicks) + " ticks");

      step = 3;
      long wakeUps = 0;
      const std::vector<Row> idle = measureIdle(engine, pty, wakeUps);
      rows.insert(rows.end(), idle.begin(), idle.end());

      step = 4;
      const long hwm = statusField(engine.pid(), "VmHWM");
      const long rss = statusField(engine.pid(), "VmRSS");
      notes.push_back("shared objects mapped: " + sharedObjects(engine.pid()));
      const rusage usage = engine.quit(after(std::chrono::seconds(2)));
      rows.push_back(
          {"peak RSS (VmHWM just before quit)",
           std::to_string(hwm) + " kB (" + fixed(static_cast<double>(hwm) / 1024, 2) + " MiB)",
           "< " + std::to_string(kRssTargetKb / 1024) + " MiB (" + std::to_string(kRssTargetKb) +
               " kB)",
           verdict(hwm < kRssTargetKb)});
      // posix_spawn's child shares our memory until its exec, and the kernel keeps the larger
      // high-water mark across the exec: ru_maxrss is at least our own size, VmHWM the engine's.
      notes.push_back("VmRSS just before quit: " + std::to_string(rss) +
                      " kB; ru_maxrss of the reaped child: " + std::to_string(usage.ru_maxrss) +
                      " kB (includes the spawning process before exec)");
    } catch (const std::exception& e) {
      notMeasured(steps[step], e.what());
      for (++step; step < std::size(steps); ++step) {
        notMeasured(steps[step], "an earlier step failed");
      }
    }

    try {
      Engine reader(Engine::MinimalReader{}, pty.path());
      const std::vector<double> floor = latencySamples(reader, pty, true);
      notes.push_back(
          "the same LF-to-reply path with a minimal reader (a forked copy of the "
          "bench: one read() per byte, one write() at LF): p50 " +
          fixed(percentile(floor, 50), 1) + " µs, p99 " + fixed(percentile(floor, 99), 1) +
          " µs, slowest " + fixed(floor.back(), 1) + " µs");
    } catch (const std::exception& e) {
      notMeasured("LF to reply with a minimal reader", e.what());
    }
  } catch (const std::exception& e) {
    notMeasured("pseudo-terminal", e.what());
  }

  utsname host{};
  uname(&host);
  std::printf(
      "Kestrelgate benchmark: %s on %s %s, %ld CPUs, clock tick %ld Hz, load average at start "
      "%s\n\n",
      binary.c_str(), host.sysname, host.release, sysconf(_SC_NPROCESSORS_ONLN),
      sysconf(_SC_CLK_TCK), load.c_str());
  std::printf("| measure | result | target | met |\n|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s |\n", row.measure.c_str(), row.result.c_str(),
                row.target.c_str(), row.met.c_str());
  }
  std::printf("\n");
  for (const std::string& note : notes) std::printf("- %s\n", note.c_str());
  return failed ? 1 : 0;
}
