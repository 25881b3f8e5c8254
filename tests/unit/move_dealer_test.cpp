#include "uci/move_dealer.h"

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "fake_pair.h"

namespace kestrelgate::uci {
namespace {

using fakes::eventually;
using fakes::FakeLine;
using fakes::FakeWaiter;

using Stock = std::deque<std::string>;

class MoveDealerTest : public ::testing::Test {
 protected:
  MoveDealerTest() {
    dealer.onStockChange([this](const Stock& stock) { stocks.push_back(stock); });
  }

  FakeLine port;
  MoveDealer dealer{port};
  std::vector<Stock> stocks;  // every change, as the holder tells the joined process
  FakeWaiter white;
  FakeWaiter black;
};

TEST_F(MoveDealerTest, EachGoTakesTheNextMoveInTheOrderPrinted) {
  port.push("Level 3\r\n01 e2-e4 e7-e5\r\n02 g1-f3 b8-c6\r\n");
  EXPECT_EQ(dealer.take(white), "e2e4");
  const int reads = port.reads();
  // The second move is the pair's, not the reader's: the other side has it at once.
  EXPECT_EQ(dealer.take(black), "e7e5");
  EXPECT_EQ(port.reads(), reads);
  EXPECT_EQ(dealer.take(white), "g1f3");
  EXPECT_EQ(dealer.take(black), "b8c6");
  EXPECT_EQ(white.relayed(), std::vector<std::string>{"Level 3"});
  EXPECT_EQ(black.relayed(), std::vector<std::string>{});
  EXPECT_EQ(stocks,
            (std::vector<Stock>{{"e2e4", "e7e5"}, {"e7e5"}, {}, {"g1f3", "b8c6"}, {"b8c6"}, {}}));
}

TEST_F(MoveDealerTest, AGoThatGivesUpTakesNothingAndLeavesItsPartOfTheLine) {
  port.push("Thinking\r\n01 e2-");
  white.giveUp();
  EXPECT_EQ(dealer.take(white), std::nullopt);
  EXPECT_EQ(dealer.stock(), Stock{});
  // What was read of the line is the next reader's.
  port.push("e4 e7-e5\r\n");
  EXPECT_EQ(dealer.take(black), "e2e4");
  EXPECT_EQ(dealer.stock(), Stock{"e7e5"});
}

TEST_F(MoveDealerTest, TheSecondMoveReachesTheOtherWaitingGoAtOnce) {
  std::future<std::optional<std::string>> whiteGo =
      std::async(std::launch::async, [this] { return dealer.take(white); });
  ASSERT_TRUE(eventually([this] { return dealer.waiting() == 1; }));
  std::future<std::optional<std::string>> blackGo =
      std::async(std::launch::async, [this] { return dealer.take(black); });
  ASSERT_TRUE(eventually([this] { return dealer.waiting() == 2; }));
  // The status line goes to the go being served: the first to ask.
  port.push("Check\r\n05 d1-h5 g8-f6\r\n");
  EXPECT_EQ(whiteGo.get(), "d1h5");
  EXPECT_EQ(blackGo.get(), "g8f6");
  EXPECT_EQ(white.relayed(), std::vector<std::string>{"Check"});
  EXPECT_EQ(black.relayed(), std::vector<std::string>{});
}

TEST_F(MoveDealerTest, AFirstGoThatGivesUpLeavesTheReadingToTheNext) {
  std::future<std::optional<std::string>> whiteGo =
      std::async(std::launch::async, [this] { return dealer.take(white); });
  ASSERT_TRUE(eventually([this] { return dealer.waiting() == 1; }));
  std::future<std::optional<std::string>> blackGo =
      std::async(std::launch::async, [this] { return dealer.take(black); });
  ASSERT_TRUE(eventually([this] { return dealer.waiting() == 2; }));
  white.giveUp();
  EXPECT_EQ(whiteGo.get(), std::nullopt);
  port.push("06 f1-c4 b8-d7\r\n");
  EXPECT_EQ(blackGo.get(), "f1c4");
}

TEST_F(MoveDealerTest, AProcessThatTakesThePortOverGoesOnWhereTheHolderStopped) {
  dealer.resume({"e7e5"}, "02 g1");  // as the holder kept it: filtered already
  port.push("f3 b8-c6\r\n");
  EXPECT_EQ(dealer.take(black), "e7e5");
  EXPECT_EQ(dealer.take(white), "g1f3");
  EXPECT_EQ(dealer.partialLine(), "");
  // Once stopped, as the process ends, no go waits.
  EXPECT_TRUE(dealer.stop());
  EXPECT_EQ(dealer.take(black), std::nullopt);
}

}  // namespace
}  // namespace kestrelgate::uci
