#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/channel_table.h"
#include "console/console_output.h"
#include "console/console_platform.h"
#include "link/meeting_point.h"
#include "link/serial_device.h"
#include "uci/joined_client.h"
#include "uci/move_reader.h"
#include "uci/port_holder.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// Which part this process plays on the port. The first Kestrelgate on a device to claim its
// meeting point opens the port and holds it; the next one joins it. When the holder ends, the
// one that joined takes the port over at once, with the holder's stock, so that an engine its
// GUI starts again joins this one. A third is refused.
class PortRole {
 public:
  struct Setup {
    console::ChannelTable& channels;
    int channel;
    std::string specText;
    std::optional<std::string> devicePath;
    console::ConsoleOutput& output;
    console::ConsolePlatform& console;
    link::SerialPlatform& serial;
    link::MeetingPlace& place;
  };

  explicit PortRole(Setup setup);

  // Opens the port, or joins the Kestrelgate that holds it; false when neither can be had.
  bool start();
  // The move for our GUI's go; nothing when the GUI has gone, or a signal ends us.
  std::optional<std::string> nextMove(const Position& position);
  // Until a command can be read; false when a signal ends us or the GUI has gone.
  bool awaitCommand();
  // As the program ends: a process that joined us takes the port over.
  void end();

 private:
  // The joined process becomes the holder, from the stock and the port its holder handed over;
  // it keeps trying for as long as its GUI is there.
  bool takeOver();
  // Opens the port and holds it; `portHeld`: it would not open because something holds it.
  bool openPort(std::unique_ptr<link::MeetingPoint> point, bool& portHeld);
  void hold(std::unique_ptr<link::MeetingPoint> point, bool claimLater);
  // Holds the port a holder that ended handed over.
  bool adoptPort(std::unique_ptr<link::MeetingPoint> point, Stock& stock, std::intptr_t& port,
                 const std::string& found);
  // Says hello, with the stock it brings along, and waits for the holder's answer: true when
  // joined, false with `refused` when the holder has two sides already.
  bool join(std::unique_ptr<link::Connection> connection, const Stock* stock, bool& refused);
  bool guiGone();

  Setup setup_;
  std::string path_;  // the device the port's name leads to, as the serial channel opens it
  link::DeviceIdentity identity_;
  std::unique_ptr<PortHolder> holder_;
  std::unique_ptr<JoinedClient> joined_;
};

}  // namespace kestrelgate::uci
