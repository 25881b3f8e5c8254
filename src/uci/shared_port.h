#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/channel_table.h"
#include "console/console_output.h"
#include "console/console_platform.h"
#include "console/wait.h"
#include "link/port_share.h"
#include "link/serial_channel.h"
#include "link/serial_device.h"
#include "uci/move_dealer.h"
#include "uci/move_reader.h"
#include "uci/pair_protocol.h"

namespace kestrelgate::uci {

// A go of this process's own GUI: status lines go to the GUI as "info string" lines, and the go
// is given up once nobody reads our output any more (a leftover whose GUI has gone must not take
// the next game's moves). A device that has gone is waited for as always, until the GUI closes
// our input.
class GuiWaiter final : public Waiter {
 public:
  GuiWaiter(console::LineOutput& output, console::ConsolePlatform& console)
      : output_(output), console_(console) {}

  void relay(const std::string& line) override;
  const Position* position() const override { return position_; }
  void answerOn(const Position& position) { position_ = &position; }
  std::vector<console::Waitable> watched() override { return {console_.outputGone()}; }
  bool keepWaiting(std::size_t) override { return false; }
  bool pauseAfterEmptyRead() override;

 private:
  console::LineOutput& output_;
  console::ConsolePlatform& console_;
  const Position* position_ = nullptr;
};

// The port as the dealer reads it: the serial channel, one byte per read request. The console
// is set up before the first read, if no write has done it yet.
class ChannelReader final : public PortReader {
 public:
  ChannelReader(link::SerialChannel& serial, console::ConsoleOutput& output)
      : serial_(serial), output_(output) {}
  console::Waitable readable() override { return serial_.readable(); }
  std::string readByte() override;

  // Told, on the reading thread, when the device goes away and when it is back.
  void onPresence(std::function<void(bool)> watcher) { presenceWatcher_ = std::move(watcher); }

 private:
  link::SerialChannel& serial_;
  console::ConsoleOutput& output_;
  bool present_ = true;
  std::function<void(bool)> presenceWatcher_;
};

// The process that holds the port serves the one that joined it, on a thread of its own that
// sleeps at the meeting point while nobody is there. The joined process's gos take their moves
// from the same dealer as this process's own; its status lines, moves and the stock go to it
// as they come. Only one process may join: a third is told the port is full.
class PortHolder {
 public:
  // `point` was claimed as `name` on `share`, where it is claimed again after the device has been
  // away.
  PortHolder(MoveDealer& dealer, std::unique_ptr<link::MeetingPoint> point,
             link::SharePlatform& share, std::string name);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  void start();
  // As this process ends: the serving stops, and the joined process is told the line read so
  // far, to take the port over from there once this process has let it go. False when a read
  // of the port could not be interrupted (the port is then left to the end of the process).
  bool handOver();

  // The meeting point stands for the port held: while the device is away it is given up, so
  // that a Kestrelgate started on another device that gets the same number (a pseudo-terminal
  // number handed on, the next adapter plugged in) does not take this process for its holder.
  // Back, it is claimed again. Safe from any thread.
  void devicePresent(bool present);

 private:
  class RemoteWaiter;

  void run();
  // Takes a connection at the meeting point: the joined process, or a third that is refused.
  void acceptOne();
  // Handles what the joined process sent between its gos; false when it has gone or sent what
  // it may not.
  bool receiveBetweenGos();
  void serveGo();
  void dropJoined();
  bool brokenJoined();
  bool sendLocked(MessageKind kind, std::string_view payload);
  // On the serving thread: the meeting point as the device's presence wants it.
  void followDevice();
  console::Waitable incoming() const;

  MoveDealer& dealer_;
  std::unique_ptr<link::MeetingPoint> point_;  // the serving thread's
  link::SharePlatform& share_;
  std::string name_;
  std::atomic<bool> devicePresent_{true};
  console::Wakeup presenceWake_;
  // Guards the connection's sending and replacement, and the move in flight: the dealer tells
  // of moves and stock from whichever thread deals.
  std::mutex sendMutex_;
  std::unique_ptr<link::ShareConnection> joined_;
  bool greeted_ = false;
  std::optional<std::string> inFlight_;  // dealt to the joined process, not yet written there
  bool joinedBroken_ = false;            // a send to it failed: it has gone, or does not read
  MessageReader messages_;
  bool goWaiting_ = false;
  std::atomic<bool> stopping_{false};
  console::Wakeup stopWake_;
  console::Wakeup finished_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// This process joined the one that holds the port: each go is asked of it. A thread of its own
// takes in whatever the holder says as it comes (the stock as it changes, the status lines and
// the move for a waiting go), so the holder never waits on us, and the holder's end is seen at
// once.
class JoinedSide {
 public:
  enum class End { Move, GuiGone, HolderGone };

  JoinedSide(std::unique_ptr<link::ShareConnection> connection, std::deque<std::string> stock,
             console::LineOutput& output, console::ConsolePlatform& console);
  JoinedSide(const JoinedSide&) = delete;
  JoinedSide& operator=(const JoinedSide&) = delete;

  // The move for this go, with the status lines read meanwhile written to our GUI.
  End take(std::string& move);
  // After the move was written to our GUI: the holder may forget it. Called before the next
  // command is read.
  void confirmWritten();

  // What the holder held for the next gos, and the line it had read, as it last said. Complete
  // once take() has said the holder has gone.
  std::deque<std::string> stock();
  std::string partialLine();

 private:
  // What the listening thread shares with this side. The thread may outlive the side as the
  // process ends, so it keeps its own hold on them.
  struct Heard {
    std::unique_ptr<link::ShareConnection> connection;
    std::mutex mutex;
    std::deque<std::string> stock;
    std::string partialLine;
    std::deque<Message> forGo;  // status lines and the move, for the waiting go
    bool holderGone = false;
    console::Wakeup arrived;
  };
  static void listen(Heard& heard);

  std::shared_ptr<Heard> heard_;
  console::LineOutput& output_;
  console::ConsolePlatform& console_;
  bool unconfirmed_ = false;
};

// How this process came to the port.
struct PortMeeting {
  enum class Outcome { Holding, Joined, Refused };
  Outcome outcome = Outcome::Refused;
  std::unique_ptr<link::MeetingPoint> point;          // Holding: where a second one may join
  std::string name;                                   // Holding: the meeting point's name
  std::unique_ptr<link::ShareConnection> connection;  // Joined: to the holder
  std::deque<std::string> stock;                      // Joined: what the holder holds
};

// How long to keep trying while the port changes hands.
struct Patience {
  // A meeting point claimed by a Kestrelgate that does not answer yet: it has just started.
  std::chrono::milliseconds connect;
  // A port held although nobody holds its meeting point: a holder that is just ending.
  std::chrono::milliseconds port;
};

// Opens the port into the channel, or joins the Kestrelgate that holds it. The first process
// to claim the device's meeting point opens the port; the port's own lock still keeps out any
// other program.
PortMeeting meetPort(console::ChannelTable& table, int channel, const std::string& specText,
                     const std::optional<std::string>& devicePath, link::SerialPlatform& serial,
                     link::SharePlatform& share, Patience patience);

// The port as the UCI loop sees it, whichever way this process came to it; owns what it took.
class SharedPort {
 public:
  struct Setup {
    console::ChannelTable& channels;
    int channel;
    std::string specText;
    std::optional<std::string> devicePath;
    console::ConsoleOutput& output;
    console::ConsolePlatform& console;
    link::SerialPlatform& serial;
    link::SharePlatform& share;
  };

  SharedPort(Setup setup, PortMeeting meeting);
  ~SharedPort();
  SharedPort(const SharedPort&) = delete;
  SharedPort& operator=(const SharedPort&) = delete;

  // The move for a go; nothing when the GUI has gone meanwhile. The second move of a line is
  // held by the dealer (of this process or the holder), so it never comes back here.
  std::optional<MoveReply> nextMove(const Position& position);
  // Before each command is read.
  void beforeCommand();
  // As the program ends; false when the port must be left to the end of the process.
  bool end();

 private:
  void hold(std::unique_ptr<link::MeetingPoint> point, const std::string& name);
  // The holder has gone: this process takes the port itself, or joins whoever has it now.
  bool takeOver();

  Setup setup_;
  GuiWaiter gui_;
  std::unique_ptr<ChannelReader> reader_;
  std::unique_ptr<MoveDealer> dealer_;
  std::unique_ptr<PortHolder> holder_;
  std::unique_ptr<JoinedSide> joined_;
};

}  // namespace kestrelgate::uci
