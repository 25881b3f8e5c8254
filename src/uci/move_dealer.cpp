#include "uci/move_dealer.h"

#include <algorithm>
#include <utility>

namespace kestrelgate::uci {

using console::Waitable;

std::string stockEntry(const link::PrintedMove& printed) {
  return printed.piece != 0 ? printed.move + printed.piece : printed.move;
}

link::PrintedMove printedMove(const std::string& entry) {
  const char last = entry.empty() ? '\0' : entry.back();
  if (entry.size() == 5 && (last == 'Q' || last == 'R' || last == 'B' || last == 'N')) {
    return {entry.substr(0, 4), last};
  }
  return {entry, 0};
}

MoveDealer::MoveDealer(PortReader& port)
    : port_(port), lines_([this] { return nextByte(); }, noOutput_, [this] { return pause(); }) {}

void MoveDealer::onStockChange(std::function<void(const std::deque<std::string>&)> watcher) {
  const std::lock_guard<std::mutex> lock(mutex_);
  stockWatcher_ = std::move(watcher);
}

void MoveDealer::stockChangedLocked() {
  if (stockWatcher_) stockWatcher_(stock_);
}

void MoveDealer::dealLocked() {
  bool dealt = false;
  while (!stock_.empty() && !queue_.empty()) {
    Waiter* front = queue_.front();
    queue_.pop_front();
    front->move_ = std::move(stock_.front());
    stock_.pop_front();
    front->handedOn_ = front->dealt(*front->move_);
    front->wake.signal();
    dealt = true;
  }
  if (!dealt) return;
  stockChangedLocked();
  // The go that is first now may have to read the port itself.
  if (!queue_.empty()) queue_.front()->wake.signal();
}

void MoveDealer::withdrawLocked(Waiter& waiter) {
  const bool wasFirst = !queue_.empty() && queue_.front() == &waiter;
  queue_.erase(std::remove(queue_.begin(), queue_.end(), &waiter), queue_.end());
  if (waiter.move_ && !waiter.handedOn_) {
    // Dealt in the moment it gave up, and still here: the move is the next go's.
    stock_.push_front(std::move(*waiter.move_));
    waiter.move_.reset();
    stockChangedLocked();
  }
  dealLocked();
  if (wasFirst && !queue_.empty()) queue_.front()->wake.signal();
}

std::optional<std::string> MoveDealer::take(Waiter& waiter) {
  waiter.wake.consume();
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return std::nullopt;
  waiter.move_.reset();
  waiter.handedOn_ = false;
  queue_.push_back(&waiter);
  for (;;) {
    dealLocked();
    if (waiter.move_) {
      std::string move = std::move(*waiter.move_);
      waiter.move_.reset();
      return move;
    }
    if (stopping_) {
      withdrawLocked(waiter);
      return std::nullopt;
    }
    if (queue_.front() == &waiter && !reading_) {
      // This go's turn: it reads the port itself until a line is complete.
      reading_ = true;
      reader_ = &waiter;
      readingWaits_.clear();
      lock.unlock();
      const std::optional<std::string> line = lines_.readSerialLine();
      lock.lock();
      reading_ = false;
      reader_ = nullptr;
      readingEnded_.signal();
      if (!line) {
        if (gaveUp_) {
          gaveUp_ = false;
          withdrawLocked(waiter);
          return std::nullopt;
        }
        continue;  // a move was dealt to it meanwhile
      }
      const link::LineVerdict verdict = link::judgeLine(*line);
      if (verdict.kind == link::LineKind::Move) {
        stock_.push_back(stockEntry(verdict.first));
        // A promotion printed with its piece has the line's other move after that piece, where
        // the go's position says it is a promotion.
        const Position* position = waiter.position();
        const bool promoted = verdict.first.piece != 0 && position != nullptr &&
                              position->promotes(verdict.first.move);
        const link::PrintedMove& second = promoted ? verdict.afterPiece : verdict.second;
        // A second move under three characters is no move (a line with one move only).
        if (second.move.size() >= 3) stock_.push_back(stockEntry(second));
        stockChangedLocked();
      } else if (verdict.kind == link::LineKind::Relayed) {
        // Still this go's turn while the line goes out: nobody else reads meanwhile.
        reading_ = true;
        lock.unlock();
        waiter.relay(*line);
        lock.lock();
        reading_ = false;
      }
      continue;
    }
    lock.unlock();
    std::vector<Waitable> waitables = waiter.watched();
    waitables.push_back(waiter.wake.waitable());
    const std::size_t which = console::waitForAny(waitables);
    if (which == waitables.size() - 1) waiter.wake.consume();
    lock.lock();
    // A move dealt meanwhile comes before whatever else the wait brought.
    if (waiter.move_ || which == waitables.size() - 1 || which == console::kTimedOut) continue;
    lock.unlock();
    const bool keep = waiter.keepWaiting(which);
    lock.lock();
    if (!keep) {
      withdrawLocked(waiter);
      return std::nullopt;
    }
  }
}

std::string MoveDealer::nextByte() {
  Waiter& waiter = *reader_;  // fixed for as long as this reading lasts
  // Giving up and being woken come first: a GUI that has gone takes no move that is waiting.
  // Made once a reading; only the port's own entry can change (a device opened again).
  std::vector<Waitable>& waitables = readingWaits_;
  if (waitables.empty()) {
    waitables = waiter.watched();
    waitables.push_back(waiter.wake.waitable());
    waitables.push_back(port_.readable());
  }
  const std::size_t wake = waitables.size() - 2;
  for (;;) {
    waitables.back() = port_.readable();
    const std::size_t which = console::waitForAny(waitables);
    if (which == wake + 1) return port_.readByte();
    if (which == wake) {
      waiter.wake.consume();
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || waiter.move_) {
        endReading_ = true;
        gaveUp_ = stopping_ && !waiter.move_;
        return {};
      }
      continue;
    }
    if (which == console::kTimedOut) continue;
    {
      // A move dealt meanwhile ends the reading before whatever else the wait brought.
      const std::lock_guard<std::mutex> lock(mutex_);
      if (waiter.move_) {
        endReading_ = true;
        gaveUp_ = false;
        return {};
      }
    }
    if (!waiter.keepWaiting(which)) {
      endReading_ = true;
      gaveUp_ = true;
      return {};
    }
  }
}

bool MoveDealer::pause() {
  if (endReading_) {
    endReading_ = false;
    return false;
  }
  if (reader_->pauseAfterEmptyRead()) return true;
  gaveUp_ = true;
  return false;
}

std::size_t MoveDealer::waiting() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void MoveDealer::giveBack(const std::string& move) {
  const std::lock_guard<std::mutex> lock(mutex_);
  stock_.push_front(move);
  stockChangedLocked();
  dealLocked();
}

void MoveDealer::withStock(const std::function<void(const std::deque<std::string>&)>& use) {
  const std::lock_guard<std::mutex> lock(mutex_);
  use(stock_);
}

std::string MoveDealer::partialLine() {
  const std::lock_guard<std::mutex> lock(mutex_);
  // A reading still under way owns the line.
  return reading_ ? std::string() : lines_.partialLine();
}

void MoveDealer::resume(std::deque<std::string> stock, std::string partialLine) {
  const std::lock_guard<std::mutex> lock(mutex_);
  stock_ = std::move(stock);
  lines_.resumeLine(std::move(partialLine));
}

bool MoveDealer::stop() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  for (Waiter* waiter : queue_) waiter->wake.signal();
  // A reader that waits on the port notices at once; one blocked in a read that cannot be
  // waited on does not, and is left to end with the process.
  for (int tries = 0; reading_ && tries < 50; ++tries) {
    readingEnded_.consume();
    lock.unlock();
    console::waitForAny({readingEnded_.waitable()}, 10);
    lock.lock();
  }
  return !reading_;
}

}  // namespace kestrelgate::uci
