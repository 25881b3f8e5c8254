#pragma once

// Fakes for the dealer and for two processes meeting at a port: a port that hands out the
// bytes a test pushes, gos that record what reaches them, and connections that queue bytes.
// Every wait on them is a Wakeup, so they work alike on every platform.

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

#include "console/wait.h"
#include "link/port_share.h"
#include "uci/move_dealer.h"

namespace kestrelgate::fakes {

// Waits until `done` is true, or gives up after `milliseconds`.
inline bool eventually(const std::function<bool()>& done, int milliseconds = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    console::waitForAny({}, 5);
  }
  return true;
}

// A chess computer's line: readable while pushed bytes are left.
class FakeLine final : public uci::PortReader {
 public:
  void push(const std::string& bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += bytes;
    ready_.signal();
  }
  console::Waitable readable() override { return ready_.waitable(); }
  std::string readByte() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++reads_;
    if (bytes_.empty()) return {};
    std::string byte = bytes_.substr(0, 1);
    bytes_.erase(0, 1);
    if (bytes_.empty()) ready_.consume();
    return byte;
  }
  int reads() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }

 private:
  std::mutex mutex_;
  std::string bytes_;
  int reads_ = 0;
  console::Wakeup ready_;
};

// A go that records the status lines it is given, and gives up when told to.
class FakeWaiter final : public uci::Waiter {
 public:
  void relay(const std::string& line) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    relayed_.push_back(line);
  }
  std::vector<console::Waitable> watched() override { return {giveUp_.waitable()}; }
  bool keepWaiting(std::size_t) override { return false; }
  bool pauseAfterEmptyRead() override { return console::waitForAny({giveUp_.waitable()}, 0) != 0; }

  void giveUp() { giveUp_.signal(); }
  std::vector<std::string> relayed() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return relayed_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> relayed_;
  console::Wakeup giveUp_;
};

// One end of a connection between the two processes; the test plays the other end.
class FakeConnection final : public link::ShareConnection {
 public:
  struct Wire {
    std::mutex mutex;
    std::string toHolder;    // what the test sends
    std::string fromHolder;  // what the holder sent
    bool testClosed = false;
    bool holderClosed = false;
    console::Wakeup readable;
  };

  explicit FakeConnection(std::shared_ptr<Wire> wire) : wire_(std::move(wire)) {}
  ~FakeConnection() override {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    wire_->holderClosed = true;
  }

  bool send(std::string_view bytes) override {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    if (wire_->testClosed) return false;
    wire_->fromHolder += bytes;
    return true;
  }
  std::size_t receive(char* buffer, std::size_t size) override {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    const std::size_t count = std::min(size, wire_->toHolder.size());
    wire_->toHolder.copy(buffer, count);
    wire_->toHolder.erase(0, count);
    if (wire_->toHolder.empty() && !wire_->testClosed) wire_->readable.consume();
    return count;
  }
  console::Waitable readable() override { return wire_->readable.waitable(); }

 private:
  std::shared_ptr<FakeConnection::Wire> wire_;
};

// The test's end of a connection.
class TestEnd {
 public:
  TestEnd() : wire_(std::make_shared<FakeConnection::Wire>()) {}
  std::unique_ptr<link::ShareConnection> holderEnd() {
    return std::make_unique<FakeConnection>(wire_);
  }
  void send(const std::string& bytes) {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    wire_->toHolder += bytes;
    wire_->readable.signal();
  }
  void close() {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    wire_->testClosed = true;
    wire_->readable.signal();
  }
  std::string received() {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    return wire_->fromHolder;
  }
  bool closedByHolder() {
    const std::lock_guard<std::mutex> lock(wire_->mutex);
    return wire_->holderClosed;
  }

 private:
  std::shared_ptr<FakeConnection::Wire> wire_;
};

// A meeting point at which the test makes connections arrive.
class FakeMeetingPoint final : public link::MeetingPoint {
 public:
  struct Queue {
    std::mutex mutex;
    std::deque<std::unique_ptr<link::ShareConnection>> arriving;
    console::Wakeup incoming;
    std::atomic<int> points{0};  // meeting points held on this queue now
  };
  explicit FakeMeetingPoint(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {
    ++queue_->points;
  }
  ~FakeMeetingPoint() override { --queue_->points; }
  FakeMeetingPoint(const FakeMeetingPoint&) = delete;
  FakeMeetingPoint& operator=(const FakeMeetingPoint&) = delete;

  console::Waitable incoming() override { return queue_->incoming.waitable(); }
  std::unique_ptr<link::ShareConnection> accept() override {
    const std::lock_guard<std::mutex> lock(queue_->mutex);
    if (queue_->arriving.empty()) return nullptr;
    std::unique_ptr<link::ShareConnection> connection = std::move(queue_->arriving.front());
    queue_->arriving.pop_front();
    if (queue_->arriving.empty()) queue_->incoming.consume();
    return connection;
  }

 private:
  std::shared_ptr<Queue> queue_;
};

// Claims the fake meeting point again for a holder whose device came back, and counts how
// often.
class FakeSharePlatform final : public link::SharePlatform {
 public:
  explicit FakeSharePlatform(std::shared_ptr<FakeMeetingPoint::Queue> queue)
      : queue_(std::move(queue)) {}
  std::string meetingName(const std::string&) override { return "meeting"; }
  std::unique_ptr<link::MeetingPoint> claim(const std::string&, bool& taken) override {
    taken = false;
    ++claims;
    return std::make_unique<FakeMeetingPoint>(queue_);
  }
  link::Meeting connect(const std::string&) override { return {}; }

  std::atomic<int> claims{0};

 private:
  std::shared_ptr<FakeMeetingPoint::Queue> queue_;
};

}  // namespace kestrelgate::fakes
