#include "console/process.h"

// The mingw runtime splits the command line itself and expands `*` and `?` in the arguments
// only when the program asks for it with this variable; a pattern that matches nothing is
// passed as typed. It lives here because this file is always linked into the program.
extern "C" {
int _dowildcard = -1;
}

namespace kestrelgate::console {

void preparePlatformProcess() {
  // Nothing to prepare: standard input stays in the runtime's default text mode, and a write
  // to a pipe whose reader has gone fails with an error code instead of ending the process.
}

// Ctrl+C and closing the window take the platform's default action: nothing to catch.
void catchEndingSignals(void (*)()) {}
void deferEndingSignals(bool) {}
int endingSignal() {
  return 0;
}
void endBySignal(int) {
  endProcess(0);
}

}  // namespace kestrelgate::console
