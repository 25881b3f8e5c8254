#include "uci/start_up.h"

#include <string>
#include <vector>

#include "console/console_channel.h"
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

}  // namespace

void writeUsage() {
  console::writeLine("");
  console::writeLine("Kestrelgate for Fidelity chess computers");
  console::writeLine("UCI adapter for the serial line, Version 1.1");
  console::writeLine("");
  console::writeLine("Usage: Kestrelgate [/?] Or [/h]");
  console::writeLine("       Kestrelgate [COMx:]");
  console::writeLine("Call without parameters sets COM1:");
  console::writeLine("");
  console::writeLine("e.g.   Kestrelgate             (COM1:)");
  console::writeLine("       Kestrelgate COM2:       (COM2:)");
}

void startUp(int argumentCount, const char* const* argumentVector) {
  console::recordArguments(argumentCount, argumentVector);

  // Counting stops at the first missing or empty argument.
  int argCount = 0;
  while (argCount < kMostArguments && !console::commandArgument(argCount + 1).empty()) {
    ++argCount;
  }
  std::vector<std::string> argList(argCount > 0 ? static_cast<std::size_t>(argCount) : 2);
  for (int i = 1; i <= argCount; ++i) {
    argList[static_cast<std::size_t>(i - 1)] = console::commandArgument(i);
  }
  const std::string& firstArgument = argList[0];
  const std::string upperFirst = console::toUpperText(firstArgument);

  if (upperFirst == "/?" || upperFirst == "/H") {
    writeUsage();
    console::endProcess(0);
  }

  std::string portName = "COM1:";
  if (argCount > 0) portName = upperFirst;
  // USB adapters and by-id names are device files, not COM ports: a name given as a path is
  // opened as it stands (by-path names hold colons, and case matters there).
  const bool namesDeviceFile = link::acceptsDevicePaths() && !firstArgument.empty() &&
                               firstArgument[0] == '/';
  if (namesDeviceFile) portName = "COM1:";

  console::openConsole(kConsoleChannel, console::ConsoleMode::Input);

  const std::string specText = portName + std::string(link::kPortSettings);
  const link::IoResult opened =
      link::openSerial(kSerialChannel, specText, link::systemSerialPlatform(),
                       namesDeviceFile ? &firstArgument : nullptr);
  if (opened != link::IoResult::Ok) {
    console::writeLine("Cannot initialise comport");
    console::closeAllChannels();
    console::endProcess(0);
  }

  MoveReader reader([] { return link::readChars(kSerialChannel, 1); }, console::standardOutput(),
                    pauseAfterEmptyRead);
  UciLoop loop(
      [](std::string& line) {
        console::readLine(kConsoleChannel, line);
        return !console::inputEnded(kConsoleChannel);
      },
      console::standardOutput(), [&reader] { return reader.readMove(); });
  loop.runCommandLoop();

  console::closeAllChannels();
  console::endProcess(0);
}

}  // namespace kestrelgate::uci
