#pragma once

#include <windows.h>

#include <functional>

namespace kestrelgate::console {

// A blocking read made on a thread of its own, so that its end is an event the program can
// wait on beside others: Windows cannot wait on a pipe's or a COM port's synchronous read. The
// thread is made at the first read that has to be waited on that way, and sleeps between reads.
// A read reads into the object's own buffer, so the object is let go only once no read is under
// way (release); one that cannot be stopped is left to the end of the process.
class BackgroundRead {
 public:
  BackgroundRead();
  ~BackgroundRead();
  BackgroundRead(const BackgroundRead&) = delete;
  BackgroundRead& operator=(const BackgroundRead&) = delete;

  // Starts `read` unless one has been started and not collected yet.
  void start(std::function<void()> read);
  bool started() const { return started_; }
  // Signalled once the read has ended.
  HANDLE done() const { return done_; }
  // Waits for the read to end; then the next can be started.
  void collect();
  // Asks a read still under way to give up, and waits for it a moment: the handle it reads is
  // about to be closed.
  void cancel();
  // Deletes the object, unless a read is still under way in it.
  static void release(BackgroundRead* read);

  // Where a read puts what it got.
  char buffer[512] = {};
  bool ok = false;
  DWORD count = 0;
  DWORD error = 0;

 private:
  static DWORD WINAPI run(LPVOID self);

  HANDLE thread_ = nullptr;
  HANDLE go_;
  HANDLE done_;
  std::function<void()> read_;
  bool started_ = false;
};

}  // namespace kestrelgate::console
