#pragma once

#include <termios.h>

#include <string>

namespace kestrelgate::link {

// The terminals this process holds as ports, kept where a signal handler can reach them. A port
// is more than its descriptor: its lock, the exclusive mark on the terminal and the terminal's
// settings all outlive a process that ends without putting them back, the mark and the
// settings for as long as anyone else (a simulator, a getty) keeps the terminal open. So every
// end that can be caught (SIGINT, SIGTERM, SIGHUP, SIGQUIT) puts each held terminal back as it
// was found before the signal's own action ends the process; only SIGKILL leaves them.

// Records the port open on `fd`, with the settings the terminal had before anything changed
// them (nullptr when it has none to read), and makes sure the catchable ends release it.
// Returns a handle for releasePort.
int holdPort(int fd, const termios* found);

// Puts the terminal back as it was found (its settings, then the exclusive mark off, then no
// lock) and closes the descriptor; with `back` false only closes it. Once per
// handle; safe against a signal arriving meanwhile.
void releasePort(int handle, bool back = true);

// The settings the terminal had when first held, as text another process can read back
// (foundFromText): what it needs to put the port back when it takes it over.
std::string foundAsText(int handle);
bool foundFromText(const std::string& text, termios& found);

}  // namespace kestrelgate::link
