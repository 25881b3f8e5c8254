#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console/console_output.h"
#include "console/wait.h"
#include "uci/move_reader.h"
#include "uci/position.h"

namespace kestrelgate::uci {

// The chess computer's line as the dealer reads it: one byte per read request.
class PortReader {
 public:
  virtual ~PortReader() = default;
  // Ready when a read will not block (Always where the port cannot be waited on).
  virtual console::Waitable readable() = 0;
  // One read request for one byte: the byte, or the empty text when none came.
  virtual std::string readByte() = 0;
};

// One "go" waiting for its move. The side it came from decides where the status lines read for
// it go, what else it watches meanwhile, and how its move leaves.
class Waiter {
 public:
  virtual ~Waiter() = default;
  // A status line read while this go was the one being served.
  virtual void relay(const std::string& line) = 0;
  // Its move, told at the moment it is dealt (under the dealer's lock), before take() returns
  // it: a move for the other process is on its way to it before anything else can happen. True
  // when the move has left that way: then it is no longer the dealer's to give back.
  virtual bool dealt(const std::string& move) {
    (void)move;
    return false;
  }
  // The position its move is to be answered on, where this process knows it: which of a
  // promotion's two readings of its line holds.
  virtual const Position* position() const { return nullptr; }
  // What this go watches beside its move: its GUI going away, its connection.
  virtual std::vector<console::Waitable> watched() = 0;
  // One of watched() is ready: true to go on waiting, false to give up this go.
  virtual bool keepWaiting(std::size_t which) = 0;
  // After a read that brought nothing (a port that answers at once, a device that has gone): a
  // short pause; false to give up this go.
  virtual bool pauseAfterEmptyRead() = 0;

  // Signalled when this go's move has been dealt, or when it is this go's turn to read.
  console::Wakeup wake;

 private:
  friend class MoveDealer;
  std::optional<std::string> move_;
  bool handedOn_ = false;
};

// A move of the stock as text: the move, then its printed promotion piece, if any, in upper
// case; and back.
std::string stockEntry(const link::PrintedMove& printed);
link::PrintedMove printedMove(const std::string& entry);

// Deals the chess computer's moves to the gos that ask for them, in the order they are printed:
// the first move of a line, then its second move, then the next line. A move that no go is
// waiting for is kept (the stock) for the next go that asks, from whichever process. The gos
// wait in the order they came; the first of them reads the port itself, and the status lines
// read meanwhile go to it. One process alone deals exactly as a lone program answers: the
// second move of a line answers the next go at once.
class MoveDealer {
 public:
  explicit MoveDealer(PortReader& port);

  // This go's move. Nothing when the waiter gave up (its GUI went away) or the dealer stopped.
  std::optional<std::string> take(Waiter& waiter);

  // How many gos wait now.
  std::size_t waiting();

  // A move dealt to a go that went away before its GUI had it: the next go takes it.
  void giveBack(const std::string& move);

  // The line read so far: what a process that takes the
  // port over needs to go on where this one stopped.
  std::string partialLine();
  // Where a process that took the port over starts.
  void resume(std::deque<std::string> stock, std::string partialLine);

  // Calls `use` with the stock under the dealer's lock: nothing changes it meanwhile.
  void withStock(const std::function<void(const std::deque<std::string>&)>& use);

  // Called under the dealer's lock whenever the stock changes, with the new stock.
  void onStockChange(std::function<void(const std::deque<std::string>&)> watcher);

  // Every waiting go gives up, and no go waits from now on: the process is about to end.
  // Returns once no go reads the port (a read that cannot be interrupted may still be under way
  // on a platform that cannot wait on its port; false then).
  bool stop();

 private:
  // Hands the stock to the waiting gos in order; wakes the first one left, whose turn it is.
  void dealLocked();
  void withdrawLocked(Waiter& waiter);
  void stockChangedLocked();
  // The reading's byte source and pause, for the waiter whose turn it is.
  std::string nextByte();
  bool pause();

  PortReader& port_;
  std::mutex mutex_;
  std::deque<Waiter*> queue_;
  std::deque<std::string> stock_;
  bool reading_ = false;
  Waiter* reader_ = nullptr;
  bool stopping_ = false;
  // Set by the byte source when the reading must end now; read by the pause that follows.
  bool endReading_ = false;
  bool gaveUp_ = false;
  std::vector<console::Waitable> readingWaits_;  // what the reading waits on before each byte
  std::function<void(const std::deque<std::string>&)> stockWatcher_;
  console::Wakeup readingEnded_;
  // Status lines are the dealer's to pass on, to the go being served; the reader writes none.
  class NoOutput final : public console::LineOutput {
   public:
    void writeText(std::string_view) override {}
    void writeLine(std::string_view) override {}
  } noOutput_;
  MoveReader lines_;
};

}  // namespace kestrelgate::uci
