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
#include "uci/port_role.h"
#include "uci/uci_loop.h"

namespace kestrelgate::uci {
namespace {

constexpr int kConsoleChannel = 1;
constexpr int kSerialChannel = 2;
// The argument count is an 8-bit number; only the first argument matters anyway.
constexpr int kMostArguments = 255;

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
             link::MeetingPlace& meetingPlace) {
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

  const link::PortChoice choice = link::choosePort(firstArgument);

  console::ChannelTable channels;
  console::closeAtExit(&channels);
  console::openConsole(channels, kConsoleChannel, console::ConsoleMode::Input,
                       consolePlatform.standardInput());

  // The port is opened here, or, when another Kestrelgate on the same device holds it (a GUI
  // starts one engine process per side), that one is joined.
  PortRole port({channels, kSerialChannel, choice.specText, choice.devicePath, output,
                 consolePlatform, serialPlatform, meetingPlace});
  if (!port.start()) {
    output.writeLine("Cannot initialise comport");
    console::closeAllChannels(channels);
    console::endProcess(0);
  }

  // Bound once, here: every command line comes from the console channel, every move from the
  // port; each wait for either serves the other Kestrelgate on the port too.
  auto* commands = channels.findAs<console::ConsoleChannel>(kConsoleChannel);
  UciLoop loop(
      [commands, &port](std::string& line) {
        if (!port.awaitCommand()) return false;
        if (commands == nullptr || commands->readLine(line) != console::IoResult::Ok) return false;
        return !commands->inputEnded();
      },
      output, [&port](const Position& position) { return port.nextMove(position); });
  loop.runCommandLoop();

  port.end();
  console::closeAllChannels(channels);
  // A signal that came while the port was being handed over ends us as it would have at once.
  if (const int signal = console::endingSignal()) console::endBySignal(signal);
  console::endProcess(0);
}

}  // namespace kestrelgate::uci
