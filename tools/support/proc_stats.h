#pragma once

// What /proc tells about a running process, and about the machine, for measuring a program
// from outside. Each answer is nullopt (or empty) when it cannot be read, e.g. once the
// process has been reaped.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelgate::support {

// The process's user plus system time so far, in clock ticks.
std::optional<long> cpuTicks(pid_t pid);

// The scheduler's state letter: 'S' while the process sleeps in a system call, 'R' while it
// runs or waits for a CPU.
std::optional<char> schedulerState(pid_t pid);

// Whether every thread of the process sleeps in a system call: false while one runs, nullopt
// when it cannot be told.
std::optional<bool> allThreadsAsleep(pid_t pid);

// A numeric "Name:  value" field of /proc/PID/status, e.g. "VmHWM" (the peak resident set in
// KiB) or "voluntary_ctxt_switches".
std::optional<long> statusField(pid_t pid, std::string_view name);

// The read() calls the process has completed.
std::optional<long> readCalls(pid_t pid);

// What the process's open descriptors lead to, e.g. "/dev/pts/3".
std::vector<std::string> openFiles(pid_t pid);

// The file names of the shared objects the process has mapped, sorted, each once.
std::optional<std::vector<std::string>> sharedObjects(pid_t pid);

// The machine's load averages over 1, 5 and 15 minutes, e.g. "0.52 0.61 0.70".
std::optional<std::string> loadAverage();

}  // namespace kestrelgate::support
