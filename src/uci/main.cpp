#include "console/console_platform.h"
#include "console/process.h"
#include "link/meeting_point.h"
#include "link/serial_device.h"
#include "uci/start_up.h"

int main(int argc, char** argv) {
  using namespace kestrelgate;
  console::startProcess();
  uci::startUp(argc, argv, console::systemConsolePlatform(), link::systemSerialPlatform(),
               link::systemMeetingPlace());
}
