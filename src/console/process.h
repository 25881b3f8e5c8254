#pragma once

#include <string>

#include "console/io_result.h"

namespace kestrelgate::console {

// Sets up the process state before anything else of the program's own runs: no channel open,
// console not set up, no arguments recorded, and the character-type locale taken from the
// user's default. Counted, so only the first of nested calls does the work.
void initProcessState();

// The matching exit handler: at the last one, closes whatever is still open.
void finishProcessState();

// The start sequence: platform preparation, initProcessState, then finishProcessState
// registered as the program's first exit handler.
void startProcess();

// Records the argument vector as the process was started with it. The texts are copied.
void recordArguments(int count, const char* const* vector);

// A new copy of argument n (0 names the program), or the empty text beyond the last one.
std::string commandArgument(int n);

// Closes every channel in use in ascending order. Always Ok.
IoResult closeAllChannels();

// Ends the process with the given exit status through the runtime's exit handlers.
[[noreturn]] void endProcess(int code);

// Platform preparation done before the process state is set up; defined by the backend.
void preparePlatformProcess();

}  // namespace kestrelgate::console
