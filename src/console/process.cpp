#include "console/process.h"

#include <clocale>
#include <cstdlib>

namespace kestrelgate::console {
namespace {

int startCount = 0;
ChannelTable* tableAtExit = nullptr;

void finishAtExit() {
  finishProcessState();
}

}  // namespace

void ProcessArguments::recordArguments(int count, const char* const* vector) {
  arguments_.clear();
  for (int i = 0; i < count && vector != nullptr; ++i) {
    arguments_.emplace_back(vector[i] != nullptr ? vector[i] : "");
  }
}

std::string ProcessArguments::commandArgument(int n) const {
  if (n < 0 || static_cast<std::size_t>(n) >= arguments_.size()) return std::string();
  return arguments_[static_cast<std::size_t>(n)];
}

void initProcessState() {
  if (startCount++ != 0) return;
  tableAtExit = nullptr;
  // Upper- and lower-casing follow the user's code page; numbers keep the full stop.
  std::setlocale(LC_CTYPE, "");
}

void finishProcessState() {
  if (startCount == 0 || --startCount != 0) return;
  if (tableAtExit != nullptr) closeAllChannels(*tableAtExit);
}

void startProcess() {
  preparePlatformProcess();
  initProcessState();
  std::atexit(finishAtExit);
}

void closeAtExit(ChannelTable* table) {
  tableAtExit = table;
}

IoResult closeAllChannels(ChannelTable& table) {
  return table.closeAll();
}

void endProcess(int code) {
  std::exit(code);
}

}  // namespace kestrelgate::console
