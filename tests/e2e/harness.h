#pragma once

// A small harness for running the built programs as a GUI would: a child process with its
// standard input and output on pipes, reads that always have a deadline, and a pseudo-terminal
// that a test can play the chess computer on. Both come from the tools' support library; what
// the tests add is the engine's command line, its port under wine, and the time it is allowed.

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/pty_pair.h"

namespace e2e {

using Millis = std::chrono::milliseconds;

inline constexpr Millis kReplyTimeout{5000};

// The command line that starts the engine with `arguments`: the built kestrelgate, or the
// command in KESTRELGATE_ENGINE (split at blanks) when that is set, e.g. "wine Kestrelgate.exe".
std::vector<std::string> engineCommand(const std::vector<std::string>& arguments);

// Whether the engine runs under wine: WINEPREFIX is set for the tests, and the engine command
// (KESTRELGATE_ENGINE) is the Windows build.
bool underWine();

// Why a test of two programs on one port is skipped under wine.
inline constexpr const char* kWineSharesComPorts =
    "wine lets two programs open one COM port; Windows itself gives it to one";

// Why a test of a GUI that goes away is skipped under wine.
inline constexpr const char* kWineOutputGone =
    "wine gives the engine our pipe as a Unix pipe, whose reader going away no Windows call shows";

// How long to wait for something the engine should answer within `timeout` natively.
Millis replyAllowance(Millis timeout);

// What a start may cost before a process first writes, on top of replyAllowance: the figure in
// KESTRELGATE_START_MS, which the test run sets from a start it measured (32-bit wine under
// qemu-user loads its Windows user space for about a minute), else nothing.
Millis startAllowance();

// Under wine: the prefix's dosdevices entry for a DOS device name such as "com7", the link
// through which wine opens that port.
std::string wineDevicePath(std::string_view dosName);

// Under wine: the COM port the tests play the chess computer on, COM1 unless
// KESTRELGATE_WINE_COM names another number (runs side by side in one prefix each take one), and
// the link that the prefix's port leads to. The test run registers that link as the port in the
// prefix (HKLM\Software\Wine\Ports), so wine's mount manager, which rebuilds the COM links
// whenever a session starts, links the port to it instead of to the machine's real serial port
// of that number; the tests only ever repoint this link.
std::string winePort();
std::string winePortLink();

// The first argument that makes the engine open `devicePath`: natively the path itself; under
// wine winePortLink() is pointed at the device and the argument is winePort() with its colon.
// Under wine it fails the test, and gives a name no port has, when the prefix's port does not
// lead through that link: the engine would open whatever real port it names.
std::string enginePortArgument(const std::string& devicePath);

// The words as one command line for a program that splits it as a shell would (PolyGlot's
// wordexp(3)): a build folder with a blank in its path still names one file.
std::string shellWords(const std::vector<std::string>& words);

// The built simulated chess computer with `arguments`.
std::vector<std::string> simulatorCommand(const std::vector<std::string>& arguments);

// A transcript shipped with the simulator.
std::string transcriptPath(std::string_view name);

// A child process on pipes whose waits take the time a test allows, stretched under wine.
class Child : private kestrelgate::support::ChildProcess {
 public:
  // Starts the command; running() is false when it could not be started. Its standard error
  // is ours unless `quietErrors` sends it to /dev/null.
  explicit Child(const std::vector<std::string>& command, bool quietErrors = false)
      : ChildProcess(command, quietErrors) {}

  using ChildProcess::pid;
  using ChildProcess::running;
  // Writes the text as it stands to the child's standard input.
  bool send(std::string_view text) { return ChildProcess::send(text); }
  // Writes the text and a line feed.
  bool sendLine(std::string_view line) { return send(std::string(line) + "\n"); }
  // Closes the child's standard input: the end of its input.
  using ChildProcess::closeInput;
  // Closes our reading end of the child's output, as a GUI that stops listening would; its
  // writes fail from then on.
  using ChildProcess::closeOutput;

  // The child's user and system time so far in clock ticks, or -1 when it cannot be read.
  long cpuTicks() const;
  // The child's peak resident set in KiB, or -1 when it cannot be read.
  long peakRssKiB() const;
  // What the child's open descriptors lead to (/proc/PID/fd), e.g. "/dev/pts/3".
  std::vector<std::string> openFiles() const;

  // Reads until the unread output contains `needle` or the deadline passes (later by the
  // startAllowance() while the child has written nothing yet). On success returns the unread
  // output up to and including the needle and marks it read; otherwise nullopt, and everything
  // is left unread.
  std::optional<std::string> readUntil(std::string_view needle, Millis timeout = kReplyTimeout);
  // Collects output for the given time (or until the output ends) and returns everything unread,
  // marking it read. For checking that nothing (more) is written.
  std::string readFor(Millis duration);

  // Reads the rest of the output until it ends, then waits for the child to exit (its deadline
  // as readUntil's). Returns its exit status, -1 when a signal ended it, or nullopt when the
  // deadline passed first.
  std::optional<int> waitExit(Millis timeout = kReplyTimeout);
  // Output read by readUntil/readFor/waitExit that is not yet marked read.
  using ChildProcess::unread;
  // All output so far.
  using ChildProcess::output;

  // Ends the child at once (SIGKILL) if it is still running, and reaps it.
  using ChildProcess::kill;
  // Sends SIGTERM and waits for the exit; kill() when that does not happen in time. Returns the
  // exit status as waitExit does.
  std::optional<int> terminate(Millis timeout = Millis{2000});

 private:
  kestrelgate::support::Clock::time_point deadline(Millis timeout) const;
};

// A pseudo-terminal pair on which a test plays the chess computer: the engine opens
// devicePath(), the test writes to the master side. The terminal side is kept open and raw
// here too, so bytes written before the engine opens it wait in the pty unaltered.
class FakeChessComputer : private kestrelgate::support::PtyPair {
 public:
  // The device file the engine opens.
  using PtyPair::devicePath;
  // False when the pty could not be made, and once it is unplugged.
  using PtyPair::ok;
  // Writes the bytes as they stand to the serial line.
  bool print(std::string_view bytes) { return PtyPair::print(bytes); }
  // Bytes waiting on the terminal side that nobody has read yet.
  using PtyPair::unreadBytes;
  // The pty moves what print() wrote to the terminal side a little later, so a count taken at
  // once may be short: waits until unreadBytes() equals `count` or the deadline passes, and
  // returns the last count seen.
  int waitForUnreadBytes(int count, Millis timeout = kReplyTimeout) const;
  // Closes both sides, as pulling the cable of a USB adapter would: the engine's open
  // terminal hangs up, and the device file goes away.
  using PtyPair::unplug;
  // What the engine wrote to the line in the given time: nothing, ever, from a good one.
  std::string received(Millis duration) {
    return PtyPair::received(kestrelgate::support::Clock::now() + duration);
  }
};

// The simulated chess computer, running, and the pty it offers (empty when it offers none).
struct SimulatedMachine {
  std::unique_ptr<Child> process;
  std::string device;
};
SimulatedMachine startSimulator(const std::vector<std::string>& arguments);

// The moves of the Opera game of tools/transcripts/opera-game.txt, as a GUI gets them.
extern const std::vector<std::string> kOperaGameMoves;

// What a transcript says its game is, in the lines at its end: the moves as a GUI gets them
// ("# uci:") and in SAN ("# san:"), and the result ("# result:").
struct Game {
  std::string transcript;
  std::vector<std::string> uci;
  std::vector<std::string> san;
  std::string result;
};
Game gameOf(const std::string& transcript);
// The words of a text, split at blanks.
std::vector<std::string> words(const std::string& text);

// Another program's pseudo-terminal under the number of `devicePath`, once its pty has closed:
// the kernel hands out the lowest free number, so lower ones are held until it comes, and a
// higher one (the number is someone else's for a moment, as other tests make ptys too) is
// given back and the next try comes a little later. nullptr when the number did not come.
std::unique_ptr<FakeChessComputer> ptyWithNumberOf(const std::string& devicePath, Millis timeout);

// A terminal as a program that opens it next finds it, through a descriptor of our own: its
// line speed, the exclusive mark, and whether its lock can be had.
struct TerminalState {
  unsigned speed = 0;
  int exclusive = -1;
  bool lockable = false;

  friend bool operator==(const TerminalState&, const TerminalState&) = default;
  friend void PrintTo(const TerminalState& state, std::ostream* out) {
    *out << "speed code " << state.speed << ", exclusive " << state.exclusive
         << (state.lockable ? ", lockable" : ", locked");
  }
};
std::optional<TerminalState> terminalState(const std::string& path);

// Sets the terminal to 9600 bit/s, a speed the program never asks for, so that a change it left
// behind shows.
bool setToNineSixHundred(const std::string& path);

// Waits until the process no longer holds `path` open; false when it still does at the
// deadline.
bool waitUntilLetGo(const Child& process, const std::string& path, Millis timeout);

}  // namespace e2e
