#pragma once

#include <string>
#include <vector>

#include "console/channel_table.h"
#include "console/io_result.h"

namespace kestrelgate::console {

// The command line as the process was started with it: recorded once, never changed.
class ProcessArguments {
 public:
  // Records the argument vector; the texts are copied.
  void recordArguments(int count, const char* const* vector);
  // A new copy of argument n (0 names the program), or the empty text beyond the last one.
  std::string commandArgument(int n) const;

 private:
  std::vector<std::string> arguments_;
};

// Sets up the process state before anything else of the program's own runs: no channel table
// known to the exit handler, and the character-type locale taken from the user's default.
// Counted, so only the first of nested calls does the work.
void initProcessState();

// The matching exit handler: at the last one, closes whatever the table it was given still
// holds open.
void finishProcessState();

// The start sequence: platform preparation, initProcessState, then finishProcessState
// registered as the program's first exit handler.
void startProcess();

// The channel table the exit handler is to close: the one pointer the process keeps.
void closeAtExit(ChannelTable* table);

// Closes every channel in use in ascending order. Always Ok.
IoResult closeAllChannels(ChannelTable& table);

// Ends the process with the given exit status through the runtime's exit handlers.
[[noreturn]] void endProcess(int code);

// The signals that end a process when asked to (on POSIX SIGINT, SIGTERM, SIGHUP and SIGQUIT;
// Windows has none that a program sees this way).

// Catches, once, every ending signal whose action is the default (one the parent set to be
// ignored stays ignored): `putBack` runs, and may only use what is safe in a signal handler,
// then the signal ends the process as it would have without us.
void catchEndingSignals(void (*putBack)());

// While deferred (a process that shares its port has to hand it over first), an ending signal
// is only noted: it ends the wait that lets it through (waitForAny), endingSignal() tells it,
// and the program ends by it itself once it has handed over (endBySignal).
void deferEndingSignals(bool defer);
// The ending signal noted while deferred, or 0.
int endingSignal();
// Ends the process by the signal, as its default action does.
[[noreturn]] void endBySignal(int signal);

// Platform preparation done before anything else, defined by the backend: standard input,
// output and error kept where they belong even when the process was started without them, and
// writes to a reader that has gone failing instead of ending the process. Tools that open the
// port the way the program does call it first too.
void preparePlatformProcess();

}  // namespace kestrelgate::console
