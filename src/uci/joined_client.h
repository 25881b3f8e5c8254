#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/console_output.h"
#include "console/console_platform.h"
#include "link/meeting_point.h"
#include "link/move_line.h"
#include "uci/move_reader.h"
#include "uci/pair_messages.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// This process joined the Kestrelgate that holds the port: each go of its GUI is asked of the
// holder, with the GUI's position, and the holder answers with the status lines read for it and
// its move. Between gos it listens too, so that the holder's end is seen at once and the port
// taken over then, not at the next go.
class JoinedClient {
 public:
  JoinedClient(std::unique_ptr<link::Connection> connection, console::LineOutput& output,
               console::ConsolePlatform& console);
  ~JoinedClient();
  JoinedClient(const JoinedClient&) = delete;
  JoinedClient& operator=(const JoinedClient&) = delete;

  // The holder's answer to our hello, waited for up to kMeetingTimeout: Welcome (joined; the
  // port's handle came along where it can be passed), Full, or Unknown when none came.
  MessageKind welcome();

  enum class End { Move, GuiGone, HolderGone };
  // The move for our GUI's go, with the status lines read for it written to the GUI.
  End move(const Position& position, std::string& answer);
  // Listens to the holder until a command can be read; false once the holder has gone.
  bool awaitCommand();

  // What the holder handed over as it ended, its stock, and the port's handle (which the
  // caller takes; -1 when there is none).
  Stock stock;
  std::intptr_t takePort();
  // Tells the holder that handed the port over that this process holds it now, so that the
  // holder leaves it as it is; a holder that hears nothing puts it back as it ends.
  void confirmTakeover() { connection_->send("taken\n"); }
  // How the port was before any of us opened it, as the holder said.
  const std::string& found() const { return found_; }

 private:
  // Takes in what has come; false once the holder has gone.
  bool receive();
  // What one line says; the move for the waiting go, if it is one.
  void hear(const std::string& line);

  std::unique_ptr<link::Connection> connection_;
  LineSplitter lines_;
  std::intptr_t port_ = -1;
  std::string found_;
  console::LineOutput& output_;
  console::ConsolePlatform& console_;
  bool goWaits_ = false;
  std::optional<std::string> move_;
  bool holderGone_ = false;
};

}  // namespace kestrelgate::uci
