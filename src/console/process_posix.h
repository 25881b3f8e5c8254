#pragma once

#include <signal.h>

namespace kestrelgate::console {

// Takes the ending signals out of `mask`: waitForAny waits with them let through.
void letEndingSignalsThrough(sigset_t& mask);

}  // namespace kestrelgate::console
