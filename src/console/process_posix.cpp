#include <csignal>

#include "console/process.h"

namespace kestrelgate::console {

void preparePlatformProcess() {
  // A GUI that closes its end of our output must not kill us with SIGPIPE: the write then
  // fails with EPIPE, which the console output drops silently, and we carry on.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kestrelgate::console
