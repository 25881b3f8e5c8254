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
// own GUI's go and to the gos of the Kestrelgates that joined it (a GUI playing engine against
// engine starts one per side), in the order the machine prints them. All on one thread: each
// wait, for a command or for a move, also takes in whoever comes to the meeting point and what
// the joined processes say, so that one can join at any time and its go is served while this
// process's GUI says nothing. A lone Kestrelgate is a holder nobody has joined.
//
// Two sides play a game. A third process is let in only once the game has stood still for a
// while (a GUI that keeps a finished game's engines running and starts a new pair for the next
// game); its go takes moves only when it opens a game, with the start position or one move
// from it, and then the two that played before take no more. Any other go of a process that is
// not one of the game's two sides (a GUI's analyser of the last game) waits, and takes nothing.
class PortHolder {
 public:
  struct Parts {
    console::ChannelTable& channels;
    int channel;  // the serial channel's slot
    console::ConsoleOutput& output;
    console::ConsolePlatform& console;
    // Where the meeting point is claimed again once a device that went away is back.
    link::MeetingPlace& place;
    std::string devicePath;
    // The clock by which a game stands still.
    std::chrono::steady_clock::time_point (*now)() = &std::chrono::steady_clock::now;
  };

  // `point` is the device's meeting point, or nullptr where there is none; with `claimLater`,
  // it is claimed at the first go, or once the GUI pauses: a process that has just opened the
  // port answers its GUI's first words as fast as a lone program does. While the device is
  // away the point is given up: a Kestrelgate started on another device that gets its number
  // (a pseudo-terminal's handed on, the next adapter plugged in) must not take this one for its
  // holder.
  PortHolder(Parts parts, std::unique_ptr<link::MeetingPoint> point, bool claimLater = false);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  MoveReader& moves() { return moves_; }

  // The move for our GUI's go; nothing when the GUI has gone meanwhile or a signal ends us.
  std::optional<std::string> move(const Position& position);
  // Serves the joined processes until a command can be read.
  void awaitCommand();
  // As this process ends: a joined process that plays is told the stock, and takes the port
  // over; the port is put back as it was found unless that process says it holds it now.
  void handOver();

 private:
  class Go;
  // A connection at the meeting point: a joined process once it has said hello.
  struct Peer {
    std::unique_ptr<link::Connection> connection;
    LineSplitter lines;
    std::chrono::steady_clock::time_point helloBy;
    std::unique_ptr<Go> go;
    bool joined = false;
    bool asked = false;    // it has sent a go: no more of what it brought along
    Stock brought{};       // the stock it brings along, as far as it has come
    bool hasPort = false;  // it holds a handle of our port
    bool broken = false;   // a line to it could not be sent
  };
  enum class What { OutputGone, Command, Peer, Incoming, Port };

  // One wait, and what it brought: true when it is what the caller waits for.
  bool serveOnce(bool guiGoWaits, bool commandWanted);
  void readPort(bool guiGoWaits, bool& guiGone);
  void readByte();
  void claimNow();
  // What a peer said; false to let it go.
  bool hear(Peer& peer);
  bool said(Peer& peer, const std::string& line);
  bool welcomes();
  std::size_t joinedCount() const;
  bool aSideWaits() const;
  // A go that asks: dealt to if it is one of the game's sides, or opens a new game.
  void ask(Go& go);
  void letGo(std::size_t peer);
  bool tell(Peer& peer, const std::string& line, std::intptr_t port = -1);
  // Passes the port's handle to a joined process with `word` (welcome, port).
  void passPort(Peer& peer, const std::string& word);
  // The heir's word that it holds the port now, waited for up to kMeetingTimeout; false when it
  // ends first.
  bool takenOver(Peer& heir);

  Parts parts_;
  link::SerialChannel* serial_;
  std::unique_ptr<link::MeetingPoint> point_;
  MoveReader moves_;
  std::unique_ptr<Go> guiGo_;
  std::vector<std::unique_ptr<Peer>> peers_;
  std::vector<const Go*> sides_;  // the two that play the game
  std::chrono::steady_clock::time_point lastMove_;
  bool anyMove_ = false;
  bool devicePresent_;
  enum class Claiming { No, WhenIdle, Again } claiming_;
  std::vector<console::Waitable> waitables_;
  std::vector<std::pair<What, std::size_t>> what_;
};

}  // namespace kestrelgate::uci
