#pragma once

// A child process with its standard input and output on pipes, as a chess GUI starts an
// engine. Every wait on it ends at a deadline (kNoDeadline for none). Starting one ignores
// SIGPIPE in this process: a child that has already ended (an engine whose port cannot be
// opened, one gone after "quit") must make our writes fail, not end us.

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/fd_io.h"

namespace kestrelgate::support {

class ChildProcess {
 public:
  // Starts the command, looked up on PATH when its first word has no slash. running() is false
  // when it could not be started, with errno saying why. Its standard error is ours unless
  // `quietErrors` sends it to /dev/null.
  explicit ChildProcess(const std::vector<std::string>& command, bool quietErrors = false);
  // A forked copy of this program that runs `body` and exits with what it returns.
  explicit ChildProcess(const std::function<int()>& body);
  // Kills the child if it is still running.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Our reading end of the child's output, for waiting on it alongside other descriptors.
  int outputFd() const { return outputFd_; }

  // Writes the text as it stands to the child's standard input, waiting for room until the
  // deadline. False, with errno set, on failure (EPIPE once the child has closed its input).
  bool send(std::string_view text, Clock::time_point deadline = kNoDeadline);
  // Closes the child's standard input: the end of its input.
  void closeInput();
  // Closes our reading end of the child's output, as a reader that stops listening would; its
  // writes fail from then on.
  void closeOutput();

  // Takes what the output holds now without waiting; false once the output has ended.
  bool readAvailable();
  // Reads until the unread output contains `needle` or the deadline passes. On success returns
  // the unread output up to and including the needle and marks it read; otherwise nullopt, and
  // everything is left unread (outputEnded() tells whether the output ended first).
  std::optional<std::string> readUntil(std::string_view needle, Clock::time_point deadline);
  // Collects output until the deadline (or until the output ends) and returns everything
  // unread, marking it read.
  std::string readFor(Clock::time_point deadline);
  bool outputEnded() const { return outputEnded_; }

  // Output read so far that is not yet marked read.
  std::string unread() const { return output_.substr(consumed_); }
  std::size_t unreadSize() const { return output_.size() - consumed_; }
  void markAllRead() { consumed_ = output_.size(); }
  // All output so far.
  const std::string& output() const { return output_; }

  // Reads the rest of the output until it ends, then waits for the child to exit. Returns its
  // exit status, -1 when a signal ended it, or nullopt when the deadline passed first.
  std::optional<int> waitExit(Clock::time_point deadline);
  // The resource use of the child that waitExit() saw exit (ru_maxrss, times).
  const rusage& usage() const { return usage_; }
  // Ends the child at once (SIGKILL) if it is still running, and reaps it.
  void kill();
  // Sends SIGTERM and waits for the exit; kill() when that does not happen by the deadline.
  // Returns the exit status as waitExit() does.
  std::optional<int> terminate(Clock::time_point deadline);

 private:
  // Keeps our ends of the pipes once the child runs as `pid`, and closes its ends.
  void adopt(pid_t pid, int toChild[2], int fromChild[2]);
  // One wait for output and what it brings; false once the output has ended or the deadline
  // has passed.
  bool readSome(Clock::time_point deadline);

  pid_t pid_ = -1;
  int inputFd_ = -1;
  int outputFd_ = -1;
  bool outputEnded_ = false;
  std::string output_;
  std::size_t consumed_ = 0;
  std::optional<int> exitStatus_;
  rusage usage_{};
};

}  // namespace kestrelgate::support
