#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console/channel_table.h"
#include "console/console_output.h"
#include "console/console_platform.h"
#include "link/meeting_point.h"
#include "link/serial_channel.h"
#include "uci/move_reader.h"
#include "uci/pair_messages.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// The process that holds the port: it reads the chess computer and deals every move, to its
// own GUI's go and to the go of the Kestrelgate that joined it (a GUI playing engine against
// engine starts one per side), in the order the machine prints them. All on one thread: each
// wait, for a command or for a move, also takes in whoever comes to the meeting point and
// whatever the joined process says, so that it can join at any time and its go is served while
// this process's GUI says nothing. A lone Kestrelgate is just a holder nobody has joined.
class PortHolder {
 public:
  struct Parts {
    console::ChannelTable& channels;
    int channel;  // the serial channel's slot
    console::ConsoleOutput& output;
    console::ConsolePlatform& console;
    // Where the device's meeting point is claimed again once a device that went away is back.
    link::MeetingPlace& place;
    std::string devicePath;
  };

  // `point` is the device's meeting point, or nullptr where there is none to be had. While the
  // device is away the point is given up: a Kestrelgate started on another device that gets its
  // number (a pseudo-terminal's handed on, the next adapter plugged in) must not take this one
  // for its holder.
  PortHolder(Parts parts, std::unique_ptr<link::MeetingPoint> point);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  // The moves and the line this process goes on with.
  MoveReader& moves() { return moves_; }

  // The move for our GUI's go; nothing when the GUI has gone meanwhile or a signal ends us.
  std::optional<std::string> move(const Position& position);
  // Serves the joined process until a command can be read.
  void awaitCommand();
  // As this process ends: the joined process is told every move read and not dealt and the
  // line read so far, and takes the port over.
  void handOver();

 private:
  class GuiGo;
  class PartnerGo;
  // A connection at the meeting point that has not said hello yet.
  struct Newcomer {
    std::unique_ptr<link::Connection> connection;
    LineSplitter lines;
    std::chrono::steady_clock::time_point deadline;
  };
  enum class Served { Nothing, Command, GuiGone };
  enum class What { OutputGone, Command, Partner, Greeting, Incoming, Port };

  // One wait, and what it brought.
  Served serveOnce(bool guiGoWaits, bool commandWanted);
  void readPort(bool guiGoWaits, Served& served);
  void acceptNewcomer();
  // A newcomer's first words: false to let it go.
  bool greet(Newcomer& newcomer);
  // What the joined process said; false when it has gone or said what it may not.
  bool hearPartner();
  bool partnerLine(const std::string& line);
  void dropPartner();
  bool sendPartner(const std::string& line, std::intptr_t port = -1);
  // The joined process holds a handle of the port: what it takes the port over with.
  void passPort(const std::string& word);

  Parts parts_;
  link::SerialChannel* serial_;
  std::unique_ptr<link::MeetingPoint> point_;
  MoveReader moves_;
  std::unique_ptr<GuiGo> guiGo_;
  std::vector<Newcomer> newcomers_;
  std::unique_ptr<link::Connection> partner_;
  LineSplitter partnerLines_;
  std::unique_ptr<PartnerGo> partnerGo_;
  bool partnerAsked_ = false;    // it has sent a go: no more of what it brought along
  std::size_t partnerHeld_ = 0;  // moves it brought along so far
  bool partnerHasPort_ = false;  // it holds a handle of the port we hold
  bool devicePresent_;
  std::vector<console::Waitable> waitables_;
  std::vector<std::pair<What, std::size_t>> what_;
};

}  // namespace kestrelgate::uci
