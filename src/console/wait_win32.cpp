// Waiting on Win32: events and process handles are wait objects, and one
// WaitForMultipleObjects waits for all of them. What cannot be waited on (a pipe's or a COM
// port's synchronous read) is read on a thread of its own whose end is an event.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "console/wait.h"

namespace kestrelgate::console {

std::size_t waitForAny(const std::vector<Waitable>& waitables, std::uint32_t milliseconds) {
  std::vector<HANDLE> objects;
  std::vector<std::size_t> indexOf;
  std::size_t always = kTimedOut;
  for (std::size_t i = 0; i < waitables.size(); ++i) {
    const Waitable& w = waitables[i];
    if (w.kind == Waitable::Kind::Always && always == kTimedOut) always = i;
    if (w.kind == Waitable::Kind::Object && objects.size() < MAXIMUM_WAIT_OBJECTS) {
      objects.push_back(reinterpret_cast<HANDLE>(w.handle));
      indexOf.push_back(i);
    }
  }
  DWORD timeout = milliseconds == kNoTimeout ? INFINITE : milliseconds;
  if (always != kTimedOut) timeout = 0;
  if (objects.empty()) {
    if (always != kTimedOut) return always;
    Sleep(timeout);
    return kTimedOut;
  }
  const DWORD result =
      WaitForMultipleObjects(static_cast<DWORD>(objects.size()), objects.data(), FALSE, timeout);
  if (result < WAIT_OBJECT_0 + objects.size()) {
    const std::size_t ready = indexOf[result - WAIT_OBJECT_0];
    return always != kTimedOut && always < ready ? always : ready;
  }
  if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + objects.size()) {
    return indexOf[result - WAIT_ABANDONED_0];
  }
  return always;
}

}  // namespace kestrelgate::console
