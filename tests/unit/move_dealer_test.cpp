// Two gos waiting at once, which no GUI run from outside can line up on purpose: the first to ask
// reads the port and gets the status lines and the first move, the other the second move.

#include "uci/move_dealer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console/wait.h"

namespace kestrelgate::uci {
namespace {

// A chess computer's line: readable while pushed bytes are left.
class FakeLine final : public PortReader {
 public:
  void push(const std::string& bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += bytes;
    ready_.signal();
  }
  console::Waitable readable() override { return ready_.waitable(); }
  std::string readByte() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string byte = bytes_.substr(0, 1);
    bytes_.erase(0, byte.size());
    if (bytes_.empty()) ready_.consume();
    return byte;
  }

 private:
  std::mutex mutex_;
  std::string bytes_;
  console::Wakeup ready_;
};

// A go that records the status lines it is given.
class FakeWaiter final : public Waiter {
 public:
  void relay(const std::string& line) override { relayed.push_back(line); }
  std::vector<console::Waitable> watched() override { return {}; }
  bool keepWaiting(std::size_t) override { return true; }
  bool pauseAfterEmptyRead() override { return true; }

  std::vector<std::string> relayed;  // written only by its own thread, read after it ends
};

TEST(MoveDealer, TheSecondMoveReachesTheOtherWaitingGoAtOnce) {
  FakeLine port;
  MoveDealer dealer(port);
  FakeWaiter white;
  FakeWaiter black;
  // Each go on a thread of its own, started once the one before it waits in the dealer.
  const auto waitingGo = [&](FakeWaiter& side) {
    const std::size_t before = dealer.waiting();
    auto go = std::async(std::launch::async, [&dealer, &side] { return dealer.take(side); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (dealer.waiting() == before && std::chrono::steady_clock::now() < deadline) {
      console::waitForAny({}, 5);
    }
    EXPECT_EQ(dealer.waiting(), before + 1);
    return go;
  };
  std::future<std::optional<std::string>> whiteGo = waitingGo(white);
  std::future<std::optional<std::string>> blackGo = waitingGo(black);
  port.push("Check\r\n05 d1-h5 g8-f6\r\n");
  EXPECT_EQ(whiteGo.get(), "d1h5");
  EXPECT_EQ(blackGo.get(), "g8f6");
  EXPECT_EQ(white.relayed, std::vector<std::string>{"Check"});
  EXPECT_EQ(black.relayed, std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrelgate::uci
