// chesssim: a stand-in for a Fidelity chess computer on a serial line.
//
// It creates a pseudo-terminal pair, tells where the terminal side is, and prints a transcript
// on it the way the chess computer prints its game: one line at a time, each ended with CR LF,
// at the pace of a 600 bit/s line unless told to go flat out. Kestrelgate (or anything else
// that opens a serial device) reads the terminal side as if a real port were there.
//
//   chesssim [options] TRANSCRIPT
//
//   --fast          no pacing: write every line as fast as the pty takes it
//   --baud N        pace for N bit/s instead of 600 (10 bits a byte: start, 8 data, stop)
//   --bit7          set bit 7 on every byte sent, as a line with mark parity bits would look
//   --step          wait for Enter on standard input before each line
//   --wait-open     print nothing until some other process has opened the terminal side
//   --link PATH     make PATH a symbolic link to the terminal side (removed again at exit)
//   --linger SECS   after the last line, keep the pty open for SECS seconds (default 0;
//                   -1 means until SIGTERM or SIGINT)
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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

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
  std::cerr << "usage: chesssim [--fast] [--baud N] [--bit7] [--step] [--wait-open]\n"
               "                [--link PATH] [--linger SECS] TRANSCRIPT\n";
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

// Raw 8-bit on the terminal side. The line discipline processes bytes as they arrive from the
// master, not when they are read, so anything queued while the terminal side is still in its
// default cooked mode would already have been altered (CR turned into LF, echoed back to us,
// held for a canonical line): the mode has to be raw before the first byte is written.
bool makeRaw(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return false;
  cfmakeraw(&mode);
  mode.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&mode, B600);
  cfsetospeed(&mode, B600);
  return tcsetattr(fd, TCSANOW, &mode) == 0;
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
bool writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    if (stopRequested) return false;
    const ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::cerr << "chesssim: write: " << std::strerror(errno) << "\n";
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
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
  std::cerr << "chesssim: press Enter for the next line\n";
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

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> parsed = parseOptions(argc, argv);
  if (!parsed) {
    printUsage();
    return 1;
  }
  const Options& options = *parsed;
  const std::optional<std::vector<std::string>> lines = loadTranscript(options.transcript);
  if (!lines) {
    std::cerr << "chesssim: cannot read " << options.transcript << "\n";
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked write or sleep must end on the signal
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::cerr << "chesssim: cannot create a pseudo-terminal: " << std::strerror(errno) << "\n";
    return 2;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  const char* slaveName = ptsname(master);
  if (slaveName == nullptr) {
    std::cerr << "chesssim: ptsname failed\n";
    return 2;
  }
  const std::string devicePath = slaveName;

  // We hold the terminal side open ourselves for the whole run. Without it, the pty would hang
  // up whenever the reader closes it, and bytes written before the reader opens it would have
  // no terminal to queue in. With it, the pty behaves like a port with a device attached:
  // what we print waits in its input queue until someone reads it. We never read from it.
  // (With --wait-open it is opened again only once the reader has come.)
  int slave = -1;
  auto openSlave = [&]() {
    slave = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return slave >= 0;
  };
  // Raw mode first, through a descriptor of the terminal side of our own.
  if (!openSlave() || !makeRaw(slave)) {
    std::cerr << "chesssim: cannot set up " << devicePath << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  if (options.waitOpen) {
    // A master reports the hang-up only once its terminal side has been opened and closed
    // again; a fresh one looks connected. So we close ours now, and the hang-up report lasts
    // until the reader opens the device (the mode set above stays with the pty).
    close(slave);
    slave = -1;
  }

  bool linked = false;
  if (!options.linkPath.empty()) {
    unlink(options.linkPath.c_str());
    if (symlink(devicePath.c_str(), options.linkPath.c_str()) != 0) {
      std::cerr << "chesssim: cannot link " << options.linkPath << ": " << std::strerror(errno)
                << "\n";
    } else {
      linked = true;
    }
  }

  std::cout << "device: " << devicePath << std::endl;

  int status = 0;
  bool ok = true;
  if (options.waitOpen) {
    // A reader that marks the terminal exclusive (as kestrelgate does) keeps us from opening
    // it again unless we are root; its own open then keeps the pty from hanging up.
    ok = waitForReader(master) && (openSlave() || errno == EBUSY);
  }

  const long long nsPerByte = 10LL * 1000000000LL / options.baud;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (std::size_t i = 0; ok && i < lines->size(); ++i) {
    if (options.step && !waitForEnter()) break;
    std::string bytes = (*lines)[i];
    if (options.bit7) {
      for (char& b : bytes) b = static_cast<char>(static_cast<unsigned char>(b) | 0x80u);
    }
    if (options.fast) {
      ok = writeAll(master, bytes.data(), bytes.size());
      continue;
    }
    if (options.step) clock_gettime(CLOCK_MONOTONIC, &next);
    for (std::size_t k = 0; ok && k < bytes.size(); ++k) {
      ok = writeAll(master, &bytes[k], 1);
      addNanoseconds(next, nsPerByte);
      // A write that blocked (full queue) may have put us behind; never try to catch up in
      // a burst, the line cannot go faster than its rate.
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec > next.tv_nsec)) {
        next = now;
      }
      ok = ok && sleepUntil(next);
    }
  }
  if (ok && !stopRequested) {
    std::cout << "done" << std::endl;
    if (options.lingerSeconds < 0) {
      while (!stopRequested) {
        timespec second{1, 0};
        nanosleep(&second, nullptr);
      }
    } else if (options.lingerSeconds > 0) {
      timespec until{};
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_sec += options.lingerSeconds;
      sleepUntil(until);
    }
  } else if (!ok && !stopRequested) {
    status = 1;
  }

  if (linked) unlink(options.linkPath.c_str());
  if (slave >= 0) close(slave);
  close(master);
  return status;
}
