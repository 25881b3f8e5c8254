#include "uci/start_up.h"

#include <string>
#include <vector>

#include "console/channel_table.h"
#include "console/console_channel.h"
#include "console/console_output.h"
#include "console/process.h"
#include "console/text.h"
#include "link/port_choice.h"
#include "link/port_spec.h"
#include "link/serial_channel.h"
#include "uci/move_reader.h"
#include "uci/shared_port.h"
#include "uci/uci_loop.h"

namespace kestrelgate::uci {
namespace {

constexpr int kConsoleChannel = 1;
constexpr int kSerialChannel = 2;
// The argument count is an 8-bit number; only the first argument matters anyway.
constexpr int kMostArguments = 255;
// At start: a Kestrelgate that has just claimed the port's meeting point answers within a
// moment; a port held by another program is refused at once.
constexpr Patience kStarting{std::chrono::milliseconds(2000), std::chrono::milliseconds(0)};

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

void startUp(int argumentCount, const char* const* argumentVector,
             console::ConsolePlatform& consolePlatform, link::SerialPlatform& serialPlatform,
             link::SharePlatform& sharePlatform) {
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

  const link::PortChoice port = link::choosePort(firstArgument);

  console::ChannelTable channels;
  console::closeAtExit(&channels);
  console::openConsole(channels, kConsoleChannel, console::ConsoleMode::Input,
                       consolePlatform.standardInput());

  // The port is opened here, or, when another Kestrelgate on the same device holds it (a GUI
  // starts one engine process per side), that one is joined.
  PortMeeting meeting = meetPort(channels, kSerialChannel, port.specText, port.devicePath,
                                 serialPlatform, sharePlatform, kStarting);
  if (meeting.outcome == PortMeeting::Outcome::Refused) {
    output.writeLine("Cannot initialise comport");
    console::closeAllChannels(channels);
    console::endProcess(0);
  }

  // Bound once, here: every command line goes straight to its channel, every move comes from
  // the shared port.
  auto* commands = channels.findAs<console::ConsoleChannel>(kConsoleChannel);
  SharedPort shared({channels, kSerialChannel, port.specText, port.devicePath, output,
                     consolePlatform, serialPlatform, sharePlatform},
                    std::move(meeting));
  UciLoop loop(
      [commands, &shared](std::string& line) {
        shared.beforeCommand();
        if (commands == nullptr || commands->readLine(line) != console::IoResult::Ok) return false;
        return !commands->inputEnded();
      },
      output, [&shared](const Position& position) { return shared.nextMove(position); });
  loop.runCommandLoop();

  if (!shared.end()) {
    // A read of the port is still under way on another thread: the port goes with the process.
    console::closeAtExit(nullptr);
    console::endProcess(0);
  }
  console::closeAllChannels(channels);
  console::endProcess(0);
}

}  // namespace kestrelgate::uci
