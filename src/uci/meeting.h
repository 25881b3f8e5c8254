#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "console/channel_table.h"
#include "console/console_output.h"
#include "console/console_platform.h"
#include "link/meeting_point.h"
#include "link/move_line.h"
#include "link/serial_device.h"
#include "uci/joined_client.h"
#include "uci/move_reader.h"
#include "uci/port_holder.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// How this process comes to the port and keeps it. The first Kestrelgate on a device to claim
// its meeting point opens the port and holds it; the next one joins it. When the holder ends,
// the one that joined takes the port over at once, with what the holder handed over, so that an
// engine its GUI starts again joins this one. A third is refused.
class PortMeeting {
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

  explicit PortMeeting(Setup setup);
  ~PortMeeting();
  PortMeeting(const PortMeeting&) = delete;
  PortMeeting& operator=(const PortMeeting&) = delete;

  // Opens the port, or joins the Kestrelgate that holds it; false when neither can be had.
  bool start();
  // The move for our GUI's go; nothing when the GUI has gone, or a signal ends us.
  std::optional<MoveReply> nextMove(const Position& position);
  // Until a command can be read; false when a signal ends us or the GUI has gone.
  bool awaitCommand();
  // As the program ends: a process that joined us takes the port over.
  void end();

 private:
  // What the holder that has ended handed over.
  struct Handover {
    std::deque<link::PrintedMove> held;
    std::string partial;
    std::intptr_t port = -1;
    std::string found;
  };
  // Holds the port or joins its holder. With a handover, this process takes over from a holder
  // that has ended: it keeps trying for as long as its GUI is there.
  bool come(Handover* handover);
  // `portHeld`: the port would not open because something holds it.
  bool hold(std::unique_ptr<link::MeetingPoint> point, Handover* handover, bool& portHeld);
  // Says hello, with what it brings along, and waits for the holder's answer: true when joined,
  // false with `refused` when the holder has two sides already.
  bool join(std::unique_ptr<link::Connection> connection, const Handover* handover, bool& refused);
  bool takeOver();
  bool guiGone();

  Setup setup_;
  std::string path_;  // the device the port's name leads to, as the serial channel opens it
  link::DeviceIdentity identity_;
  std::unique_ptr<PortHolder> holder_;
  std::unique_ptr<JoinedClient> joined_;
};

}  // namespace kestrelgate::uci
