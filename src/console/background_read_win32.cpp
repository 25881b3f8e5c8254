#include "console/background_read_win32.h"

#include <utility>

namespace kestrelgate::console {

BackgroundRead::BackgroundRead()
    : go_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

BackgroundRead::~BackgroundRead() {
  // The thread sleeps on go_ for good: its events stay.
  if (thread_ != nullptr) CloseHandle(thread_);
}

void BackgroundRead::release(BackgroundRead* read) {
  if (read != nullptr && !read->started_) delete read;
}

DWORD WINAPI BackgroundRead::run(LPVOID self) {
  auto& me = *static_cast<BackgroundRead*>(self);
  for (;;) {
    WaitForSingleObject(me.go_, INFINITE);
    me.read_();
    SetEvent(me.done_);
  }
}

void BackgroundRead::start(std::function<void()> read) {
  if (started_) return;
  if (thread_ == nullptr) thread_ = CreateThread(nullptr, 0, &run, this, 0, nullptr);
  read_ = std::move(read);
  ResetEvent(done_);
  started_ = true;
  SetEvent(go_);
}

void BackgroundRead::collect() {
  if (!started_) return;
  WaitForSingleObject(done_, INFINITE);
  started_ = false;
}

void BackgroundRead::cancel() {
  if (!started_) return;
  CancelSynchronousIo(thread_);
  if (WaitForSingleObject(done_, 200) == WAIT_OBJECT_0) started_ = false;
}

}  // namespace kestrelgate::console
