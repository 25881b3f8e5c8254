#pragma once

#include <string>

#include "console/channel_table.h"
#include "console/console_platform.h"
#include "console/io_result.h"

namespace kestrelgate::console {

enum class ConsoleMode { Input, Output, Append };

// The input side of the console, one slot of the channel table: UCI command lines from
// standard input.
class ConsoleChannel final : public Channel {
 public:
  ConsoleChannel(ConsoleMode mode, InputStream& stream) : mode_(mode), stream_(&stream) {}

  IoResult close() override;
  // One line of standard input into `text`, without its line end; empty at the end of input.
  IoResult readLine(std::string& text) override;

  ConsoleMode mode() const { return mode_; }
  // True once a read found the input at its end with nothing to deliver.
  bool inputEnded() const { return inputEnded_; }

 private:
  ConsoleMode mode_;
  InputStream* stream_;
  bool inputEnded_ = false;
};

// Binds a slot of the table to standard input. IllegalRequest for a bad number or a slot in
// use. Output and append modes name standard output, but a read from them reads standard
// input all the same; the program itself only ever opens the console for input.
IoResult openConsole(ChannelTable& table, int channel, ConsoleMode mode, InputStream& input);

// One line of standard input into `text`; IllegalRequest (text unchanged) for a slot that
// holds no console channel.
IoResult readLine(ChannelTable& table, int channel, std::string& text);

}  // namespace kestrelgate::console
