#pragma once

#include <signal.h>

namespace kestrelgate::console {

// The signal mask waitForAny waits with: the process's own, with the ending signals let through.
// Taken once: the program changes its mask only by deferring those signals.
const sigset_t& maskDuringWaits();

}  // namespace kestrelgate::console
