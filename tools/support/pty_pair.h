#pragma once

// A pseudo-terminal pair that stands in for a serial line with a chess computer on it: a
// program opens devicePath() as its port, and we print what the chess computer would send on
// the master side.

#include <csignal>
#include <string>
#include <string_view>

#include "support/fd_io.h"

namespace kestrelgate::support {

class PtyPair {
 public:
  // Makes the pair and opens its terminal side raw; ok() tells whether that worked, error() why
  // not.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The pair exists and has not been unplugged.
  bool ok() const { return master_ >= 0; }
  // What failed while making the pair, e.g. "cannot set up /dev/pts/3: Permission denied".
  const std::string& error() const { return error_; }
  const std::string& devicePath() const { return path_; }
  int masterFd() const { return master_; }

  // We hold a descriptor of the terminal side ourselves, open from the start. While it is open
  // the pty behaves like a port with a device attached: it does not hang up when the reader
  // closes the device, what we print before the reader opens it waits in its input queue, and
  // unreadBytes() can count what nobody has read. We never read from it.
  void closeTerminal();
  // Opens our descriptor again; false, with errno set, when that fails.
  bool openTerminal();

  // Writes the bytes as they stand to the line, waiting for room as long as it takes. A signal
  // does not end the wait unless `stop` is given and set by then. False, with errno set, on
  // failure; EINTR when the stop came first.
  bool print(std::string_view bytes, const volatile std::sig_atomic_t* stop = nullptr);
  // The same, waiting for room only until the deadline; ETIMEDOUT when it passed first.
  bool print(std::string_view bytes, Clock::time_point deadline);
  // Writes what the pty takes now without waiting: the number of bytes written, 0 when it is
  // full, -1 (errno set) on failure.
  long printSome(std::string_view bytes);

  // What the reader of the terminal side has written to the line (what a chess computer would
  // receive), collected until the deadline.
  std::string received(Clock::time_point deadline);

  // Bytes waiting on the terminal side that nobody has read yet; -1 when that cannot be told
  // (the terminal side is not open).
  int unreadBytes() const;
  // The pty moves what print() wrote to the terminal side a little later, so a count taken at
  // once may be short: waits until unreadBytes() equals `count` or the deadline passes, and
  // returns the last count seen.
  int waitForUnreadBytes(int count, Clock::time_point deadline) const;

  // Closes both sides, as pulling the cable of a USB adapter would: a reader's open terminal
  // hangs up, and the device file goes away.
  void unplug();

 private:
  // Writes with a deadline need a non-blocking master, writes without one a blocking master:
  // only a blocking write sleeps through a full queue that nobody reads.
  bool setMasterNonBlocking(bool nonBlocking);

  int master_ = -1;
  int terminal_ = -1;
  bool masterNonBlocking_ = false;
  std::string path_;
  std::string error_;
};

}  // namespace kestrelgate::support
