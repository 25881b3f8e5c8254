#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "console/process.h"

namespace kestrelgate::console {

void preparePlatformProcess() {
  // A process started with standard input, output or error closed (a launcher that closes
  // them, `kestrelgate PORT >&-`) would hand that number to the next file it opens: the serial
  // port would become our standard output, and the UCI conversation would go to the chess
  // computer, or its printout be read as commands. Each closed one is opened on the null device
  // first, before anything else is opened, so no port can take its number.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  // A GUI that closes its end of our output must not kill us with SIGPIPE: the write then
  // fails with EPIPE, which the console output drops silently, and we carry on.
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace kestrelgate::console
