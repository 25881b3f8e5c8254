#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Millis replyAllowance(Millis timeout) {
  // Every wine process start loads a whole Windows user space first.
  return underWine() ? timeout * 4 : timeout;
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

std::string winePortLink() {
  const char* prefix = std::getenv("WINEPREFIX");
  return std::string(prefix != nullptr ? prefix : "") + "/kestrelgate-com1";
}

std::string enginePortArgument(const std::string& devicePath) {
  if (!underWine()) return devicePath;
  // Wine opens COM1 through dosdevices/com1, which leads to our link: repointing the link is
  // what plugging the chess computer into another port would be.
  const std::string link = winePortLink();
  unlink(link.c_str());
  if (symlink(devicePath.c_str(), link.c_str()) != 0) return devicePath;
  std::error_code error;
  const std::filesystem::path com1 = std::filesystem::read_symlink(wineDevicePath("com1"), error);
  if (error || com1 != link) {
    ADD_FAILURE() << "the wine prefix's com1 leads to " << (error ? "nothing" : com1.string())
                  << ", not to " << link << "; the engine is not started on it";
    return "NOPORT";  // no colon: the engine refuses it without opening anything
  }
  return "COM1:";
}

std::vector<std::string> simulatorCommand(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{CHESSSIM_BINARY};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

std::string transcriptPath(std::string_view name) {
  return std::string(TRANSCRIPT_DIR) + "/" + std::string(name);
}

Child::Child(const std::vector<std::string>& command, bool quietErrors) {
  // A child that has already ended (a port that cannot be opened) must make our writes fail,
  // not kill the test run.
  signal(SIGPIPE, SIG_IGN);
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if (command.empty() || pipe2(toChild, O_CLOEXEC) != 0) return;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  if (quietErrors) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }

  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (rc != 0) {
    close(toChild[1]);
    close(fromChild[0]);
    return;
  }
  pid_ = pid;
  input_ = toChild[1];
  outputFd_ = fromChild[0];
}

Child::~Child() {
  kill();
  closeFd(input_);
  closeFd(outputFd_);
}

bool Child::send(std::string_view text) {
  if (input_ < 0) return false;
  while (!text.empty()) {
    const ssize_t n = write(input_, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Child::closeInput() {
  closeFd(input_);
}

void Child::closeOutput() {
  closeFd(outputFd_);
  outputEnded_ = true;
}

long Child::cpuTicks() const {
  if (pid_ <= 0) return -1;
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return -1;
  // The command name in parentheses may hold blanks: count the fields after its end.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  long utime = -1;
  long stime = -1;
  // After the name: state is field 3, utime field 14, stime field 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stol(field);
    if (index == 15) stime = std::stol(field);
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long Child::peakRssKiB() const {
  if (pid_ <= 0) return -1;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::vector<std::string> Child::openFiles() const {
  std::vector<std::string> files;
  if (pid_ <= 0) return files;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error)) {
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
    if (!error) files.push_back(target.string());
  }
  return files;
}

bool Child::readSome(Clock::time_point deadline) {
  if (outputEnded_ || outputFd_ < 0) return false;
  pollfd p{outputFd_, POLLIN, 0};
  const int rc = poll(&p, 1, millisLeft(deadline));
  if (rc < 0) return errno == EINTR && Clock::now() < deadline;
  if (rc == 0) return false;
  char buffer[4096];
  const ssize_t n = read(outputFd_, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR;
  if (n == 0) {
    outputEnded_ = true;
    return false;
  }
  output_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> Child::readUntil(std::string_view needle, Millis timeout) {
  const Clock::time_point deadline = Clock::now() + replyAllowance(timeout);
  for (;;) {
    const std::size_t at = output_.find(needle, consumed_);
    if (at != std::string::npos) {
      const std::size_t end = at + needle.size();
      std::string part = output_.substr(consumed_, end - consumed_);
      consumed_ = end;
      return part;
    }
    if (!readSome(deadline)) return std::nullopt;
  }
}

std::string Child::readFor(Millis duration) {
  const Clock::time_point deadline = Clock::now() + duration;
  while (readSome(deadline)) {
  }
  std::string part = output_.substr(consumed_);
  consumed_ = output_.size();
  return part;
}

std::optional<int> Child::waitExit(Millis timeout) {
  timeout = replyAllowance(timeout);
  if (exitStatus_) return exitStatus_;
  if (pid_ <= 0) return std::nullopt;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (readSome(deadline)) {
  }
  // The output has ended (or the deadline passed); the exit follows at once in the first case,
  // so a short sleep between checks costs nothing.
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exitStatus_;
    }
    if (done < 0 || Clock::now() >= deadline) return std::nullopt;
    timespec pause{0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

void Child::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::optional<int> Child::terminate(Millis timeout) {
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, SIGTERM);
  const std::optional<int> status = waitExit(timeout);
  if (!status) kill();
  return status;
}

FakeChessComputer::FakeChessComputer() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    closeFd(master_);
    return;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    closeFd(master_);
    return;
  }
  path_ = name;
  slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (slave_ < 0 || tcgetattr(slave_, &mode) != 0) {
    closeFd(slave_);
    closeFd(master_);
    return;
  }
  // Raw before the first byte: the line discipline works on bytes as they arrive.
  cfmakeraw(&mode);
  if (tcsetattr(slave_, TCSANOW, &mode) != 0) {
    closeFd(slave_);
    closeFd(master_);
  }
}

FakeChessComputer::~FakeChessComputer() {
  closeFd(slave_);
  closeFd(master_);
}

bool FakeChessComputer::print(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void FakeChessComputer::unplug() {
  closeFd(slave_);
  closeFd(master_);
}

int FakeChessComputer::unreadBytes() const {
  int count = -1;
  if (ioctl(slave_, FIONREAD, &count) != 0) return -1;
  return count;
}

int FakeChessComputer::waitForUnreadBytes(int count, Millis timeout) const {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const int unread = unreadBytes();
    if (unread == count || Clock::now() >= deadline) return unread;
    std::this_thread::sleep_for(Millis{10});
  }
}

}  // namespace e2e
