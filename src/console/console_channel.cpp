#include "console/console_channel.h"

#include <memory>

#include "console/line_reader.h"

namespace kestrelgate::console {

IoResult ConsoleChannel::close() {
  // Standard input belongs to the process: the channel only lets go of it.
  stream_ = nullptr;
  return IoResult::Ok;
}

IoResult ConsoleChannel::readLine(std::string& text) {
  if (stream_ == nullptr) return IoResult::IllegalRequest;
  if (!readLineFrom(*stream_, text)) inputEnded_ = true;
  return IoResult::Ok;
}

IoResult openConsole(ChannelTable& table, int channel, ConsoleMode mode, InputStream& input) {
  if (table.checkFree(channel) != IoResult::Ok) return IoResult::IllegalRequest;
  return table.install(channel, std::make_unique<ConsoleChannel>(mode, input));
}

IoResult readLine(ChannelTable& table, int channel, std::string& text) {
  auto* console = table.findAs<ConsoleChannel>(channel);
  if (console == nullptr) return IoResult::IllegalRequest;
  return console->readLine(text);
}

}  // namespace kestrelgate::console
