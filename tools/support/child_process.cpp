#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace kestrelgate::support {
namespace {

// Writes to a child that has ended fail with EPIPE instead of ending us.
void ignoreBrokenPipes() {
  signal(SIGPIPE, SIG_IGN);
}

// The child's input and output pipes; false, with errno set, when they cannot be made.
bool openPipes(int toChild[2], int fromChild[2]) {
  if (pipe2(toChild, O_CLOEXEC) != 0) return false;
  if (pipe2(fromChild, O_CLOEXEC) == 0) return true;
  const int error = errno;
  closeFd(toChild[0]);
  closeFd(toChild[1]);
  errno = error;
  return false;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, bool quietErrors) {
  ignoreBrokenPipes();
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if (command.empty()) {
    errno = EINVAL;
    return;
  }
  if (!openPipes(toChild, fromChild)) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  if (quietErrors) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // The child starts as a GUI starts its engine: no signal blocked and none ignored, whatever
  // this process has blocked or ignored meanwhile (we ignore SIGPIPE; a sanitizer's runtime may
  // block signals around the spawn).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  adopt(rc == 0 ? pid : -1, toChild, fromChild);
  if (rc != 0) errno = rc;
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  ignoreBrokenPipes();
  int toChild[2] = {-1, -1};
  int fromChild[2] = {-1, -1};
  if (!openPipes(toChild, fromChild)) return;
  const pid_t pid = fork();
  if (pid == 0) {
    // Nothing here execs, so close-on-exec closes nothing: our ends go by hand, or the child
    // would hold its own pipes open.
    close(toChild[1]);
    close(fromChild[0]);
    if (dup2(toChild[0], STDIN_FILENO) < 0 || dup2(fromChild[1], STDOUT_FILENO) < 0) _exit(127);
    _exit(body());
  }
  const int error = errno;
  adopt(pid, toChild, fromChild);
  if (pid < 0) errno = error;
}

ChildProcess::~ChildProcess() {
  kill();
  closeFd(inputFd_);
  closeFd(outputFd_);
}

void ChildProcess::adopt(pid_t pid, int toChild[2], int fromChild[2]) {
  closeFd(toChild[0]);
  closeFd(fromChild[1]);
  if (pid <= 0) {
    closeFd(toChild[1]);
    closeFd(fromChild[0]);
    return;
  }
  pid_ = pid;
  inputFd_ = toChild[1];
  outputFd_ = fromChild[0];
  // Our ends only: every wait on them is a poll() with a deadline.
  setNonBlocking(inputFd_, true);
  setNonBlocking(outputFd_, true);
}

bool ChildProcess::send(std::string_view text, Clock::time_point deadline) {
  if (inputFd_ < 0) {
    errno = EBADF;
    return false;
  }
  return writeAll(inputFd_, text, deadline);
}

void ChildProcess::closeInput() {
  closeFd(inputFd_);
}

void ChildProcess::closeOutput() {
  closeFd(outputFd_);
  outputEnded_ = true;
}

bool ChildProcess::readAvailable() {
  if (outputEnded_) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(outputFd_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    // The end of the output, or an output that can no longer be read.
    outputEnded_ = true;
    return false;
  }
}

bool ChildProcess::readSome(Clock::time_point deadline) {
  if (outputEnded_) return false;
  pollfd p{outputFd_, POLLIN, 0};
  const int rc = poll(&p, 1, pollTimeout(deadline));
  if (rc > 0) return readAvailable();
  if (rc < 0 && errno != EINTR) return false;
  return Clock::now() < deadline;
}

std::optional<std::string> ChildProcess::readUntil(std::string_view needle,
                                                   Clock::time_point deadline) {
  std::size_t searched = consumed_;
  // The last read may bring the needle together with the end of the output: one more search
  // after it.
  for (bool more = true;; more = readSome(deadline)) {
    const std::size_t at = output_.find(needle, searched);
    if (at != std::string::npos) {
      const std::size_t end = at + needle.size();
      std::string part = output_.substr(consumed_, end - consumed_);
      consumed_ = end;
      return part;
    }
    if (!more) return std::nullopt;
    // Only the tail that could still begin a match is searched again.
    if (output_.size() >= needle.size()) {
      searched = std::max(searched, output_.size() - needle.size() + 1);
    }
  }
}

std::string ChildProcess::readFor(Clock::time_point deadline) {
  while (readSome(deadline)) {
  }
  std::string part = output_.substr(consumed_);
  consumed_ = output_.size();
  return part;
}

std::optional<int> ChildProcess::waitExit(Clock::time_point deadline) {
  if (exitStatus_) return exitStatus_;
  if (pid_ <= 0) return std::nullopt;
  while (readSome(deadline)) {
  }
  // Once the output has ended the exit follows at once, so short naps between checks cost
  // nothing; they grow for a child that has closed its output but goes on running.
  auto nap = std::chrono::microseconds(200);
  for (;;) {
    int status = 0;
    const pid_t done = wait4(pid_, &status, WNOHANG, &usage_);
    if (done == pid_) {
      pid_ = -1;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exitStatus_;
    }
    if ((done < 0 && errno != EINTR) || Clock::now() >= deadline) return std::nullopt;
    pauseFor(nap);
    nap = std::min(nap * 2, std::chrono::microseconds(5000));
  }
}

void ChildProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::optional<int> ChildProcess::terminate(Clock::time_point deadline) {
  if (pid_ <= 0) return exitStatus_;
  ::kill(pid_, SIGTERM);
  const std::optional<int> status = waitExit(deadline);
  if (!status) kill();
  return status;
}

}  // namespace kestrelgate::support
