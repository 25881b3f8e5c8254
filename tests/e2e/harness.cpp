#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/proc_stats.h"

namespace e2e {

using kestrelgate::support::Clock;

Millis replyAllowance(Millis timeout) {
  // Every wine process start loads a whole Windows user space first.
  return underWine() ? timeout * 4 : timeout;
}

Millis startAllowance() {
  const char* configured = std::getenv("KESTRELGATE_START_MS");
  return Millis{configured != nullptr ? std::atol(configured) : 0};
}

std::vector<std::string> engineCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> command;
  const char* override = std::getenv("KESTRELGATE_ENGINE");
  if (override != nullptr && *override != '\0') {
    std::istringstream words(override);
    std::string word;
    while (words >> word) command.push_back(word);
  } else {
    command.push_back(KESTRELGATE_BINARY);
  }
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

bool underWine() {
  const char* prefix = std::getenv("WINEPREFIX");
  return prefix != nullptr && *prefix != '\0';
}

std::string wineDevicePath(std::string_view dosName) {
  const char* prefix = std::getenv("WINEPREFIX");
  return std::string(prefix != nullptr ? prefix : "") + "/dosdevices/" + std::string(dosName);
}

namespace {

std::string wineComNumber() {
  const char* number = std::getenv("KESTRELGATE_WINE_COM");
  return number != nullptr && *number != '\0' ? number : "1";
}

}  // namespace

std::string winePort() {
  return "COM" + wineComNumber();
}

std::string winePortLink() {
  const char* prefix = std::getenv("WINEPREFIX");
  return std::string(prefix != nullptr ? prefix : "") + "/kestrelgate-com" + wineComNumber();
}

std::string enginePortArgument(const std::string& devicePath) {
  if (!underWine()) return devicePath;
  // Wine opens COMn through dosdevices/comn, which leads to our link: repointing the link is
  // what plugging the chess computer into another port would be.
  const std::string link = winePortLink();
  unlink(link.c_str());
  if (symlink(devicePath.c_str(), link.c_str()) != 0) return devicePath;
  const std::string dosName = "com" + wineComNumber();
  std::error_code error;
  const std::filesystem::path port = std::filesystem::read_symlink(wineDevicePath(dosName), error);
  if (error || port != link) {
    ADD_FAILURE() << "the wine prefix's " << dosName << " leads to "
                  << (error ? "nothing" : port.string()) << ", not to " << link
                  << "; the engine is not started on it";
    return "NOPORT";  // no colon: the engine refuses it without opening anything
  }
  return winePort() + ":";
}

std::string shellWords(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += '\'';
    for (const char c : word) {
      if (c == '\'') {
        line += "'\\''";
      } else {
        line += c;
      }
    }
    line += '\'';
  }
  return line;
}

std::vector<std::string> simulatorCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{CHESSSIM_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

std::string transcriptPath(std::string_view name) {
  return std::string(TRANSCRIPT_DIR) + "/" + std::string(name);
}

long Child::cpuTicks() const {
  return kestrelgate::support::cpuTicks(pid()).value_or(-1);
}

long Child::peakRssKiB() const {
  return kestrelgate::support::statusField(pid(), "VmHWM").value_or(-1);
}

std::vector<std::string> Child::openFiles() const {
  return kestrelgate::support::openFiles(pid());
}

Clock::time_point Child::deadline(Millis timeout) const {
  return Clock::now() + replyAllowance(timeout) + (output().empty() ? startAllowance() : Millis{0});
}

std::optional<std::string> Child::readUntil(std::string_view needle, Millis timeout) {
  return ChildProcess::readUntil(needle, deadline(timeout));
}

std::string Child::readFor(Millis duration) {
  return ChildProcess::readFor(Clock::now() + duration);
}

std::optional<int> Child::waitExit(Millis timeout) {
  return ChildProcess::waitExit(deadline(timeout));
}

std::optional<int> Child::terminate(Millis timeout) {
  return ChildProcess::terminate(Clock::now() + replyAllowance(timeout));
}

int FakeChessComputer::waitForUnreadBytes(int count, Millis timeout) const {
  return PtyPair::waitForUnreadBytes(count, Clock::now() + timeout);
}

SimulatedMachine startSimulator(const std::vector<std::string>& arguments) {
  SimulatedMachine machine{std::make_unique<Child>(simulatorCommand(arguments)), ""};
  if (!machine.process->running()) return machine;
  const std::optional<std::string> announced = machine.process->readUntil("\n");
  const std::string prefix = "device: ";
  if (announced && announced->starts_with(prefix)) {
    machine.device = announced->substr(prefix.size(), announced->size() - prefix.size() - 1);
  }
  return machine;
}

const std::vector<std::string> kOperaGameMoves = {
    "e2e4", "e7e5", "g1f3", "d7d6", "d2d4", "c8g4", "d4e5", "g4f3", "d1f3", "d6e5", "f1c4",
    "g8f6", "f3b3", "d8e7", "b1c3", "c7c6", "c1g5", "b7b5", "c3b5", "c6b5", "c4b5", "b8d7",
    "e1c1", "a8d8", "d1d7", "d8d7", "h1d1", "e7e6", "b5d7", "f6d7", "b3b8", "d7b8", "d1d8"};

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

Game gameOf(const std::string& transcript) {
  Game game{transcript, {}, {}, {}};
  std::ifstream in(transcriptPath(transcript));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# uci: ", 0) == 0) game.uci = words(line.substr(7));
    if (line.rfind("# san: ", 0) == 0) game.san = words(line.substr(7));
    if (line.rfind("# result: ", 0) == 0) game.result = line.substr(10);
  }
  return game;
}

std::unique_ptr<FakeChessComputer> ptyWithNumberOf(const std::string& devicePath, Millis timeout) {
  const auto number = [](const std::string& pts) {
    return std::stoi(pts.substr(pts.rfind('/') + 1));
  };
  std::vector<std::unique_ptr<FakeChessComputer>> lower;
  const auto giveUp = Clock::now() + timeout;
  while (Clock::now() < giveUp) {
    auto next = std::make_unique<FakeChessComputer>();
    if (!next->ok()) break;
    if (next->devicePath() == devicePath) return next;
    if (number(next->devicePath()) < number(devicePath)) {
      lower.push_back(std::move(next));
    } else {
      kestrelgate::support::pauseFor(std::chrono::milliseconds(10));
    }
  }
  return nullptr;
}

std::optional<TerminalState> terminalState(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  TerminalState state;
  termios mode{};
  const bool ok = tcgetattr(fd, &mode) == 0 && ioctl(fd, TIOCGEXCL, &state.exclusive) == 0;
  state.speed = cfgetospeed(&mode);
  state.lockable = flock(fd, LOCK_EX | LOCK_NB) == 0;  // ours until the close just below
  close(fd);
  if (!ok) return std::nullopt;
  return state;
}

bool setToNineSixHundred(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios mode{};
  const bool ok = tcgetattr(fd, &mode) == 0 && cfsetispeed(&mode, B9600) == 0 &&
                  cfsetospeed(&mode, B9600) == 0 && tcsetattr(fd, TCSANOW, &mode) == 0;
  close(fd);
  return ok;
}

bool waitUntilLetGo(const Child& process, const std::string& path, Millis timeout) {
  const auto holds = [&] {
    const std::vector<std::string> files = process.openFiles();
    return std::find(files.begin(), files.end(), path) != files.end();
  };
  const auto deadline = Clock::now() + replyAllowance(timeout);
  while (holds()) {
    if (Clock::now() >= deadline) return false;
    kestrelgate::support::pauseFor(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace e2e
