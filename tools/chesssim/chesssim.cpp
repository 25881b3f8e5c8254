// kestrelgate-sim: a stand-in for a Fidelity chess computer on a serial line.
//
// It creates a pseudo-terminal pair, tells where the terminal side is, and prints a transcript
// on it the way the chess computer prints its game: one line at a time, each ended with CR LF,
// at the pace of a 600 bit/s line unless told to go flat out. Kestrelgate (or anything else
// that opens a serial device) reads the terminal side as if a real port were there.
//
//   kestrelgate-sim [options] TRANSCRIPT
//
//   --fast          no pacing: write every line as fast as the pty takes it
//   --baud N        pace for N bit/s instead of 600 (10 bits a byte: start, 8 data, stop)
//   --bit7          set bit 7 on every byte sent, as a line with mark parity bits would look
//   --step          wait for Enter on standard input before each line
//   --wait-open     print nothing until some other process has opened the terminal side
//   --link PATH     make PATH a symbolic link to the terminal side (removed again at exit,
//                   and on SIGTERM, SIGINT, SIGHUP or SIGQUIT)
//   --linger SECS   after the last line, keep the pty open for SECS seconds (default 0;
//                   -1 means until one of those signals)
//
// Standard output gets one line "device: /dev/pts/N" as soon as the pty exists, then
// "done" after the last line has been written; diagnostics go to standard error.
//
// Transcript format: each line of the file is one line the chess computer prints; CR LF is
// appended. Lines beginning with '#' are comments and are not sent. Escapes: \xHH (any byte,
// NUL included), \t, \r, \n, \\, and \c at the very end of a line to send it without CR LF.
//
// Exit status: 0 when the transcript was written (or a signal ended the run), 1 on a usage
// or file error, 2 when the pty cannot be made.

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/pty_pair.h"

namespace {

namespace support = kestrelgate::support;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
  stopRequested = 1;
}

struct Options {
  std::string transcript;
  std::string linkPath;
  bool fast = false;
  bool bit7 = false;
  bool step = false;
  bool waitOpen = false;
  long baud = 600;
  long lingerSeconds = 0;
};

void printUsage() {
  std::cerr << "usage: kestrelgate-sim [--fast] [--baud N] [--bit7] [--step] [--wait-open]\n"
               "                       [--link PATH] [--linger SECS] TRANSCRIPT\n";
}

std::optional<long> parseNumber(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return std::nullopt;
  return value;
}

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto needValue = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--bit7") {
      options.bit7 = true;
    } else if (arg == "--step") {
      options.step = true;
    } else if (arg == "--wait-open") {
      options.waitOpen = true;
    } else if (arg == "--link") {
      const char* value = needValue();
      if (value == nullptr) return std::nullopt;
      options.linkPath = value;
    } else if (arg == "--baud" || arg == "--linger") {
      const char* value = needValue();
      const std::optional<long> number = value ? parseNumber(value) : std::nullopt;
      if (!number) return std::nullopt;
      if (arg == "--baud") {
        if (*number <= 0) return std::nullopt;
        options.baud = *number;
      } else {
        options.lingerSeconds = *number;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return std::nullopt;
    } else if (options.transcript.empty()) {
      options.transcript = arg;
    } else {
      return std::nullopt;
    }
  }
  if (options.transcript.empty()) return std::nullopt;
  return options;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One transcript line as the bytes to send, line end included unless it ends in \c.
std::string decodeLine(const std::string& line) {
  std::string bytes;
  bool lineEnd = true;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c != '\\' || i + 1 >= line.size()) {
      bytes += c;
      continue;
    }
    const char e = line[++i];
    if (e == 'x' && i + 2 < line.size() && hexValue(line[i + 1]) >= 0 &&
        hexValue(line[i + 2]) >= 0) {
      bytes += static_cast<char>(hexValue(line[i + 1]) * 16 + hexValue(line[i + 2]));
      i += 2;
    } else if (e == 't') {
      bytes += '\t';
    } else if (e == 'r') {
      bytes += '\r';
    } else if (e == 'n') {
      bytes += '\n';
    } else if (e == 'c' && i + 1 == line.size()) {
      lineEnd = false;
    } else {
      bytes += e;  // "\\" and any unknown escape: the character itself
    }
  }
  if (lineEnd) bytes += "\r\n";
  return bytes;
}

std::optional<std::vector<std::string>> loadTranscript(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // transcripts edited on Windows
    if (!line.empty() && line[0] == '#') continue;
    lines.push_back(decodeLine(line));
  }
  return lines;
}

// Sleeps until the absolute monotonic time; false when a stop signal came first.
bool sleepUntil(const timespec& when) {
  while (!stopRequested) {
    const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
    if (rc == 0) return true;
    if (rc != EINTR) return false;
  }
  return false;
}

void addNanoseconds(timespec& t, long long ns) {
  const long long total = static_cast<long long>(t.tv_nsec) + ns;
  t.tv_sec += static_cast<time_t>(total / 1000000000LL);
  t.tv_nsec = static_cast<long>(total % 1000000000LL);
}

// Writes all bytes; a write blocks while the pty is full (the reader is not reading), which is
// what a real line does too: the chess computer simply waits. False on error or stop signal.
bool send(support::PtyPair& pty, std::string_view bytes) {
  if (pty.print(bytes, &stopRequested)) return true;
  if (errno != EINTR) std::cerr << "kestrelgate-sim: write: " << std::strerror(errno) << "\n";
  return false;
}

// While no process holds the terminal side open (after it has been open once), a Linux pty
// master reports POLLHUP, and keeps reporting it until one opens it; poll() then returns at
// once, so the wait looks twenty times a second rather than spinning.
bool waitForReader(int master) {
  while (!stopRequested) {
    pollfd p{master, 0, 0};
    const int rc = poll(&p, 1, 0);
    if (rc < 0 && errno != EINTR) return false;
    if (rc == 0) return true;  // no hang-up reported: the terminal side is open
    timespec pause{0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

bool waitForEnter() {
  std::cerr << "kestrelgate-sim: press Enter for the next line\n";
  char c = 0;
  while (!stopRequested) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 0) return true;  // no more input: stop stepping, just go on
    if (n < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    if (c == '\n') return true;
  }
  return false;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write or sleep must end on the signal
  // Every end that can be caught stops the run in order, so the --link goes with us: a link
  // left behind would lead to whatever pseudo-terminal gets this one's number next.
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// --link: a symbolic link to the terminal side for as long as we run.
class DeviceLink {
 public:
  DeviceLink(const std::string& path, const std::string& device) : path_(path) {
    if (path_.empty()) return;
    unlink(path_.c_str());
    if (symlink(device.c_str(), path_.c_str()) != 0) {
      std::cerr << "kestrelgate-sim: cannot link " << path_ << ": " << std::strerror(errno) << "\n";
      path_.clear();
    }
  }
  ~DeviceLink() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

 private:
  std::string path_;
};

// --wait-open, after the pty's own terminal descriptor has been closed: waits for the reader,
// then holds the terminal side open again. A reader that marks the terminal exclusive (as
// kestrelgate does) keeps us from opening it again unless we are root; its own open then keeps
// the pty from hanging up.
bool awaitReader(support::PtyPair& pty) {
  return waitForReader(pty.masterFd()) && (pty.openTerminal() || errno == EBUSY);
}

// The bytes of one line at the line's rate; `next` is when the next byte is due.
bool sendPaced(support::PtyPair& pty, std::string_view bytes, long long nsPerByte, timespec& next) {
  for (const char& byte : bytes) {
    if (!send(pty, std::string_view(&byte, 1))) return false;
    addNanoseconds(next, nsPerByte);
    // A write that blocked (full queue) may have put us behind; never try to catch up in
    // a burst, the line cannot go faster than its rate.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) {
      next = now;
    }
    if (!sleepUntil(next)) return false;
  }
  return true;
}

// Prints the transcript line by line; false on a write error or a stop signal.
bool play(const std::vector<std::string>& lines, const Options& options, support::PtyPair& pty) {
  const long long nsPerByte = 10LL * 1000000000LL / options.baud;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (std::string bytes : lines) {
    if (options.step && !waitForEnter()) break;  // a stop signal, which the caller sees
    if (options.bit7) {
      for (char& b : bytes) b = static_cast<char>(static_cast<unsigned char>(b) | 0x80u);
    }
    if (options.fast) {
      if (!send(pty, bytes)) return false;
      continue;
    }
    if (options.step) clock_gettime(CLOCK_MONOTONIC, &next);
    if (!sendPaced(pty, bytes, nsPerByte, next)) return false;
  }
  return true;
}

// After the last line: keeps the pty for `seconds`, or until a stop signal when negative.
void linger(long seconds) {
  if (seconds < 0) {
    while (!stopRequested) {
      timespec second{1, 0};
      nanosleep(&second, nullptr);
    }
  } else if (seconds > 0) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += seconds;
    sleepUntil(until);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    printUsage();
    return 1;
  }
  const std::optional<std::vector<std::string>> lines = loadTranscript(options->transcript);
  if (!lines) {
    std::cerr << "kestrelgate-sim: cannot read " << options->transcript << "\n";
    return 1;
  }
  installStopHandlers();

  // The pair holds the terminal side open, raw, for the whole run, so the pty behaves like a
  // port with a device attached: it does not hang up when the reader closes it, and what we
  // print waits in its input queue until someone reads it.
  support::PtyPair pty;
  if (!pty.ok()) {
    std::cerr << "kestrelgate-sim: " << pty.error() << "\n";
    return 2;
  }
  if (options->waitOpen) {
    // A master reports the hang-up only once its terminal side has been opened and closed
    // again; a fresh one looks connected. So we close ours now, and the hang-up report lasts
    // until the reader opens the device (the raw mode stays with the pty).
    pty.closeTerminal();
  }
  const DeviceLink link(options->linkPath, pty.devicePath());
  std::cout << "device: " << pty.devicePath() << std::endl;

  const bool ok = (!options->waitOpen || awaitReader(pty)) && play(*lines, *options, pty);
  if (stopRequested) return 0;
  if (!ok) return 1;
  std::cout << "done" << std::endl;
  linger(options->lingerSeconds);
  return 0;
}
