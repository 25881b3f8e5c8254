// The line monitor as a collector setting up a chess computer uses it: what it says of the
// lines that arrive, and why a port will not open.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The built monitor, or under wine the Windows one that KESTRELGATE_MONITOR names (split at
// blanks, e.g. "wine64 Kestrelgate-monitor.exe").
std::vector<std::string> monitorCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> command;
  const char* windows = std::getenv("KESTRELGATE_MONITOR");
  if (underWine() && windows != nullptr) {
    std::istringstream words(windows);
    for (std::string word; words >> word;) command.push_back(word);
  } else {
    command.push_back(MONITOR_BINARY);
  }
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

bool haveMonitor() {
  return !underWine() || std::getenv("KESTRELGATE_MONITOR") != nullptr;
}

TEST(E2eMonitor, EachLineIsShownWithWhatKestrelgateWouldDoWithIt) {
  if (!haveMonitor()) GTEST_SKIP() << "KESTRELGATE_MONITOR names no Windows monitor";
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
  Child monitor(monitorCommand({enginePortArgument(chessComputer.devicePath()), "--quiet", "1"}));
  // The Windows build writes its lines in text mode, CR LF; only the texts are compared.
  ASSERT_TRUE(monitor.readUntil("Ctrl+C ends."));

  std::string withBit7 = "Level 3";
  for (char& c : withBit7) c = static_cast<char>(static_cast<unsigned char>(c) | 0x80u);
  chessComputer.print("12 e2-e4 e7-e5\r\nDraw - repetition\r\n?\r\n" + withBit7 + "\r\n");
  std::optional<std::string> shown = monitor.readUntil("bytes]");
  ASSERT_TRUE(shown) << monitor.unread();
  std::erase(*shown, '\r');
  EXPECT_NE(shown->find("\"12 e2e4 e7e5\"  move line: bestmove e2e4, then e7e5\n"),
            std::string::npos)
      << *shown;
  EXPECT_NE(shown->find("\"Draw  repetition\"  relayed: info string Draw  repetition\n"),
            std::string::npos)
      << *shown;
  EXPECT_NE(shown->find("\"?\"  dropped: shorter than 2 characters\n"), std::string::npos)
      << *shown;
  EXPECT_NE(shown->find("\"Level 3\"  relayed: info string Level 3  [bit 7 set on 7 of 9 bytes]"),
            std::string::npos)
      << *shown;
  // Bit 7 was on the text bytes, not on the CR LF that ended the line.
  EXPECT_TRUE(monitor.readUntil("bit 7 is harmless"));

  // Then the line goes quiet, and the monitor says so instead of looking stuck.
  EXPECT_TRUE(monitor.readUntil("quiet for 1 s", 5000ms)) << monitor.unread();
  monitor.kill();
}

TEST(E2eMonitor, AMissingDeviceIsNamedWithItsReason) {
  if (!haveMonitor()) GTEST_SKIP() << "KESTRELGATE_MONITOR names no Windows monitor";
  if (underWine()) {
    std::filesystem::remove(wineDevicePath("com7"));
    Child monitor(monitorCommand({"COM7:"}));
    ASSERT_EQ(monitor.waitExit(), 1);
    EXPECT_NE(monitor.output().find("No such port: COM7 ("), std::string::npos) << monitor.output();
    return;
  }
  Child monitor(monitorCommand({"/dev/kestrelgate-no-such-port"}));
  ASSERT_EQ(monitor.waitExit(), 1);
  EXPECT_NE(monitor.output().find("No such device: /dev/kestrelgate-no-such-port (No such file or"
                                  " directory)"),
            std::string::npos)
      << monitor.output();
}

TEST(E2eMonitor, APortWithoutPermissionNamesItsGroup) {
  if (underWine()) GTEST_SKIP() << "permissions of device files are a POSIX matter";
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
  const group* dialout = getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "this system has no dialout group";
  // As a serial port is: the dialout group may read and write it, others may not.
  const std::string& path = chessComputer.devicePath();
  std::vector<std::string> command = monitorCommand({path});
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    // Root opens anything: the monitor runs as a user outside the group.
    command.insert(command.begin(),
                   {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  } else {
    // Our own pty: with no permission bits even its owner may not open it.
    ASSERT_EQ(chmod(path.c_str(), 0000), 0);
  }
  Child monitor(command);
  ASSERT_TRUE(monitor.running());
  ASSERT_EQ(monitor.waitExit(), 1) << monitor.output();
  EXPECT_NE(monitor.output().find("No permission to open " + path + " (Permission denied)."),
            std::string::npos)
      << monitor.output();
  if (geteuid() == 0) {
    EXPECT_NE(monitor.output().find("sudo usermod -aG dialout $USER"), std::string::npos)
        << monitor.output();
  }
}

TEST(E2eMonitor, APortHeldByARunningKestrelgateNamesIt) {
  if (underWine()) GTEST_SKIP() << kWineSharesComPorts;
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
  Child engine(engineCommand({chessComputer.devicePath()}));
  engine.sendLine("uci");
  ASSERT_TRUE(engine.readUntil("uciok\r\n"));
  Child monitor(monitorCommand({chessComputer.devicePath()}));
  ASSERT_EQ(monitor.waitExit(), 1);
  EXPECT_NE(monitor.output().find("Another program holds " + chessComputer.devicePath()),
            std::string::npos)
      << monitor.output();
  EXPECT_NE(
      monitor.output().find("held by kestrelgate (process " + std::to_string(engine.pid()) + ")"),
      std::string::npos)
      << monitor.output();
  EXPECT_NE(monitor.output().find("fuser -v " + chessComputer.devicePath()), std::string::npos);
  // The engine's port is as it was: it still answers.
  chessComputer.print("12 e2-e4\r\n");
  engine.sendLine("go");
  EXPECT_EQ(engine.readUntil("\r\n"), "bestmove e2e4\r\n");
}

}  // namespace
}  // namespace e2e
