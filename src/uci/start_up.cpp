#include "uci/start_up.h"

#include <string>
#include <vector>

#include "console/channel_table.h"
#include "console/console_channel.h"
#include "console/console_output.h"
#include "console/process.h"
#include "console/text.h"
#include "link/port_spec.h"
#include "link/serial_channel.h"
#include "uci/move_reader.h"
#include "uci/uci_loop.h"

namespace kestrelgate::uci {
namespace {

constexpr int kConsoleChannel = 1;
constexpr int kSerialChannel = 2;
// The argument count is an 8-bit number; only the first argument matters anyway.
constexpr int kMostArguments = 255;
// How long each pause after an empty read from the chess computer lasts at the most.
constexpr std::uint32_t kPauseAfterEmptyRead = 10;

void writeUsage(console::LineOutput& output) {
  output.writeLine("");
  output.writeLine("Kestrelgate for Fidelity chess computers");
  output.writeLine("UCI adapter for the serial line, Version 1.1");
  output.writeLine("");
  output.writeLine("Usage: Kestrelgate [/?] Or [/h]");
  output.writeLine("       Kestrelgate [COMx:]");
  output.writeLine("Call without parameters sets COM1:");
  output.writeLine("");
  output.writeLine("e.g.   Kestrelgate             (COM1:)");
  output.writeLine("       Kestrelgate COM2:       (COM2:)");
}

}  // namespace

PortChoice choosePort(const std::string& firstArgument) {
  PortChoice choice;
  std::string portName = "COM1:";
  if (!firstArgument.empty()) portName = console::toUpperText(firstArgument);
  // USB adapters and by-id names are device files, not COM ports: a name given as a path is
  // opened as it stands (by-path names hold colons, and case matters there).
  if (link::acceptsDevicePaths() && !firstArgument.empty() && firstArgument[0] == '/') {
    portName = "COM1:";
    choice.devicePath = firstArgument;
  }
  choice.specText = portName + std::string(link::kPortSettings);
  return choice;
}

void startUp(int argumentCount, const char* const* argumentVector,
             console::ConsolePlatform& consolePlatform, link::SerialPlatform& serialPlatform) {
  console::ProcessArguments arguments;
  arguments.recordArguments(argumentCount, argumentVector);
  console::ConsoleOutput output(consolePlatform);

  // Counting stops at the first missing or empty argument.
  int argCount = 0;
  while (argCount < kMostArguments && !arguments.commandArgument(argCount + 1).empty()) {
    ++argCount;
  }
  std::vector<std::string> argList(argCount > 0 ? static_cast<std::size_t>(argCount) : 2);
  for (int i = 1; i <= argCount; ++i) {
    argList[static_cast<std::size_t>(i - 1)] = arguments.commandArgument(i);
  }
  const std::string& firstArgument = argList[0];
  const std::string upperFirst = console::toUpperText(firstArgument);

  if (upperFirst == "/?" || upperFirst == "/H") {
    writeUsage(output);
    console::endProcess(0);
  }

  const PortChoice port = choosePort(firstArgument);

  console::ChannelTable channels;
  console::closeAtExit(&channels);
  console::openConsole(channels, kConsoleChannel, console::ConsoleMode::Input,
                       consolePlatform.standardInput());

  if (link::openSerial(channels, kSerialChannel, port.specText, serialPlatform,
                       port.devicePath ? &*port.devicePath : nullptr) != console::IoResult::Ok) {
    output.writeLine("Cannot initialise comport");
    console::closeAllChannels(channels);
    console::endProcess(0);
  }

  // Bound once, here: every command line and every serial byte goes straight to its channel.
  auto* commands = channels.findAs<console::ConsoleChannel>(kConsoleChannel);
  auto& serial = *channels.findAs<link::SerialChannel>(kSerialChannel);
  MoveReader reader(
      [&] {
        // The console is set up before the first read from the chess computer, if no write
        // has done it yet.
        output.setUp();
        return serial.readChars(1);
      },
      output,
      [&consolePlatform] {
        // Reads come back empty while the port answers at once or its device has gone; then
        // the GUI closing our input is the only way left to end the wait.
        return !consolePlatform.waitForInputHangUp(kPauseAfterEmptyRead);
      });
  UciLoop loop(
      [commands](std::string& line) {
        if (commands == nullptr || commands->readLine(line) != console::IoResult::Ok) return false;
        return !commands->inputEnded();
      },
      output, [&reader] { return reader.readMove(); });
  loop.runCommandLoop();

  console::closeAllChannels(channels);
  console::endProcess(0);
}

}  // namespace kestrelgate::uci
