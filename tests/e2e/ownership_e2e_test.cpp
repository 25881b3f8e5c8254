// The program touches nothing that is not its own: not the chess computer's line when it was
// started without standard descriptors, not another program's terminal that a stale link leads
// to, and not the port after a signal has ended it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The engine started with some of its standard descriptors closed, as `kestrelgate PORT >&-`,
// and nowhere to meet another Kestrelgate: the port is then the first thing it opens.
std::vector<std::string> withClosed(const std::string& closing,
                                    const std::vector<std::string>& command) {
  std::vector<std::string> wrapped{"env", "XDG_RUNTIME_DIR=/proc", "sh", "-c",
                                   "exec \"$0\" \"$@\" " + closing};
  wrapped.insert(wrapped.end(), command.begin(), command.end());
  return wrapped;
}

TEST(E2eOwnership, AClosedStandardDescriptorNeverBecomesThePort) {
  if (underWine()) GTEST_SKIP() << "Windows hands out no handle in the place of a missing one";
  struct Case {
    const char* what;
    const char* closing;
    int leftOnTheLine;  // with its input gone, no go comes: the line is not read at all
  };
  const Case cases[] = {{"standard output closed", "1>&-", 0},
                        {"standard input closed", "0>&-", 30},
                        {"all three closed", "0>&- 1>&- 2>&-", 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeChessComputer chessComputer;
    if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
    // What the chess computer printed before: read as commands, it would be answered.
    chessComputer.print("uci\r\nisready\r\n");
    Child engine(withClosed(c.closing, engineCommand({chessComputer.devicePath()})));
    ASSERT_TRUE(engine.running());
    // With its output gone the engine talks to nobody, as when a GUI has gone; with its input
    // gone it ends at once. Either way the chess computer's line hears nothing.
    engine.sendLine("uci");
    engine.sendLine("isready");
    chessComputer.print("12 e2-e4 e7-e5\r\n");
    engine.sendLine("go");
    engine.closeInput();
    EXPECT_EQ(engine.waitExit(), 0);
    EXPECT_EQ(engine.output(), "");
    EXPECT_EQ(chessComputer.received(300ms), "");
    // Nor was it read as our input.
    EXPECT_EQ(chessComputer.unreadBytes(), c.leftOnTheLine);
  }
}

// The kernel hands a closed pseudo-terminal's number to the next program that asks for one. A
// port named by that number must not be taken for the chess computer coming back: its bytes
// would be someone's keystrokes answering the waiting go. Nor may a link that the user (or a
// simulator that died) left in place lead there. A link made again is the user saying where the
// chess computer now is.
TEST(E2eOwnership, APtyNumberHandedOnIsNotOpenedAgainNorThroughALinkLeftInPlace) {
  if (underWine()) GTEST_SKIP() << "wine's ReadFile never reports a hung-up terminal";
  for (const bool throughLink : {false, true}) {
    SCOPED_TRACE(throughLink ? "through a link left in place" : "named directly");
    auto chessComputer = std::make_unique<FakeChessComputer>();
    if (!chessComputer->ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
    const std::string path = chessComputer->devicePath();
    const std::filesystem::path link =
        std::filesystem::temp_directory_path() / ("kestrelgate-left-" + std::to_string(getpid()));
    std::filesystem::remove(link);
    if (throughLink) std::filesystem::create_symlink(path, link);
    Child engine(engineCommand({throughLink ? link.string() : path}));
    engine.sendLine("uci");
    ASSERT_TRUE(engine.readUntil("uciok\r\n"));
    engine.sendLine("go");

    chessComputer->unplug();  // a link stays
    // The engine lets the hung-up terminal go; only then is the number free again.
    ASSERT_TRUE(waitUntilLetGo(engine, path, kReplyTimeout)) << "the engine kept the hung-up pty";
    std::unique_ptr<FakeChessComputer> stranger = ptyWithNumberOf(path, 10s);
    if (!stranger) GTEST_SKIP() << "the kernel did not hand " << path << " out again";
    ASSERT_TRUE(setToNineSixHundred(path));
    const std::optional<TerminalState> before = terminalState(path);
    ASSERT_TRUE(before);
    stranger->print("12 e2-e4 e7-e5\r\n");  // keystrokes that look like a move line

    // Four tries at reopening go by: nothing is opened, said, changed or spent.
    const long ticksBefore = engine.cpuTicks();
    EXPECT_EQ(engine.readFor(2000ms), "");
    const long ticksAfter = engine.cpuTicks();
    EXPECT_TRUE(waitUntilLetGo(engine, path, 0ms));
    EXPECT_EQ(stranger->waitForUnreadBytes(16), 16);
    EXPECT_EQ(terminalState(path), before);
    if (ticksBefore >= 0 && ticksAfter >= 0) {
      EXPECT_LE(ticksAfter - ticksBefore, sysconf(_SC_CLK_TCK) * 2 * 5 / 100) << "ticks in 2 s";
    }
    if (throughLink) {
      // The link made again, as udev makes a by-id link on a replug: that is the device now.
      std::filesystem::remove(link);
      std::filesystem::create_symlink(path, link);
      EXPECT_EQ(engine.readUntil("\r\n"), "bestmove e2e4\r\n");
      std::filesystem::remove(link);
    }
    engine.closeInput();
    EXPECT_EQ(engine.waitExit(3000ms), 0);
  }
}

// Ended by a signal (a GUI that kills its engine, Ctrl+C on the monitor), the program still
// takes the exclusive mark off the terminal and puts back its settings: the mark would
// otherwise keep every other user out for as long as anyone holds the terminal open.
TEST(E2eOwnership, ACaughtSignalLeavesThePortFreeAndAsItWasFound) {
  if (underWine()) GTEST_SKIP() << "Windows releases a COM port with its process";
  if (geteuid() != 0) GTEST_SKIP() << "only root can try the port as another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  struct Case {
    const char* program;
    int signal;
  };
  for (const Case& c : {Case{KESTRELGATE_BINARY, SIGTERM}, Case{KESTRELGATE_BINARY, SIGINT},
                        Case{MONITOR_BINARY, SIGTERM}, Case{MONITOR_BINARY, SIGINT}}) {
    SCOPED_TRACE(std::string(c.program) + " ended by " + strsignal(c.signal));
    FakeChessComputer chessComputer;
    if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
    const std::string& path = chessComputer.devicePath();
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_TRUE(setToNineSixHundred(path));
    const std::optional<TerminalState> found = terminalState(path);
    ASSERT_TRUE(found);

    Child holder({c.program, path});
    if (c.program == std::string(KESTRELGATE_BINARY)) {
      holder.sendLine("uci");
      ASSERT_TRUE(holder.readUntil("uciok\r\n"));
    } else {
      ASSERT_TRUE(holder.readUntil("Ctrl+C ends."));
    }
    EXPECT_EQ(terminalState(path)->exclusive, 1);
    ASSERT_EQ(kill(holder.pid(), c.signal), 0);
    EXPECT_EQ(holder.waitExit(), -1);  // ended by the signal, as without a handler
    EXPECT_EQ(terminalState(path), found);

    // Another user opens the port at once; at its quit the port is put back again.
    Child user({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                KESTRELGATE_BINARY, path});
    user.sendLine("uci");
    EXPECT_TRUE(user.readUntil("uciok\r\n")) << user.unread();
    user.sendLine("quit");
    EXPECT_EQ(user.waitExit(), 0);
    EXPECT_EQ(terminalState(path), found);
  }
}

TEST(E2eOwnership, TheSimulatorTakesItsLinkAwayOnEverySignalItCanCatch) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal));
    const std::filesystem::path link = std::filesystem::temp_directory_path() /
                                       ("kestrelgate-sim-link-" + std::to_string(getpid()));
    Child simulator(simulatorCommand({"--fast", "--link", link.string(), "--linger", "-1",
                                      transcriptPath("scholars-mate.txt")}));
    ASSERT_TRUE(simulator.readUntil("done\n"));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    ASSERT_EQ(kill(simulator.pid(), signal), 0);
    EXPECT_EQ(simulator.waitExit(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
  }
}

}  // namespace
}  // namespace e2e
