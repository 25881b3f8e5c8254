#include "console/process.h"

#include <clocale>
#include <cstdlib>
#include <vector>

#include "console/channel_table.h"
#include "console/console_channel.h"

namespace kestrelgate::console {
namespace {

int startCount = 0;

std::vector<std::string>& recordedArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

void finishAtExit() { finishProcessState(); }

}  // namespace

void initProcessState() {
  if (startCount++ != 0) return;
  recordedArguments().clear();
  channelTable().clear();
  standardOutput().reset();
  // Upper- and lower-casing follow the user's code page; numbers keep the full stop.
  std::setlocale(LC_CTYPE, "");
}

void finishProcessState() {
  if (startCount == 0 || --startCount != 0) return;
  closeAllChannels();
}

void startProcess() {
  preparePlatformProcess();
  initProcessState();
  std::atexit(finishAtExit);
}

void recordArguments(int count, const char* const* vector) {
  std::vector<std::string>& arguments = recordedArguments();
  arguments.clear();
  for (int i = 0; i < count && vector != nullptr; ++i) {
    arguments.emplace_back(vector[i] != nullptr ? vector[i] : "");
  }
}

std::string commandArgument(int n) {
  const std::vector<std::string>& arguments = recordedArguments();
  if (n < 0 || static_cast<std::size_t>(n) >= arguments.size()) return std::string();
  return arguments[static_cast<std::size_t>(n)];
}

IoResult closeAllChannels() { return channelTable().closeAll(); }

void endProcess(int code) { std::exit(code); }

}  // namespace kestrelgate::console
