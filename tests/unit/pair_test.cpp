// The holder's side of two processes on one port, with a fake meeting point and connections:
// what the joined process is told, and that nothing it sends can harm the holder.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake_pair.h"
#include "uci/move_dealer.h"
#include "uci/pair_protocol.h"
#include "uci/shared_port.h"

namespace kestrelgate::uci {

// Found by the test framework next to Message.
void PrintTo(const Message& message, std::ostream* out) {
  *out << static_cast<char>(message.kind) << " \"" << message.payload << "\"";
}

namespace {

using fakes::eventually;
using fakes::FakeLine;
using fakes::FakeMeetingPoint;
using fakes::FakeSharePlatform;
using fakes::FakeWaiter;
using fakes::TestEnd;

TEST(PairProtocol, MessagesAndMovesSurviveTheWireWhateverTheirBytes) {
  const std::string line("Draw\0 \t-", 8);
  std::string wire = encodeMessage(MessageKind::Info, line) + encodeMessage(MessageKind::Go);
  MessageReader reader(64);
  // Cut anywhere, the stream gives the same messages.
  reader.feed(wire.data(), 3);
  EXPECT_EQ(reader.next(), std::nullopt);
  reader.feed(wire.data() + 3, wire.size() - 3);
  EXPECT_EQ(reader.next(), (Message{MessageKind::Info, line}));
  EXPECT_EQ(reader.next(), (Message{MessageKind::Go, ""}));
  EXPECT_EQ(reader.next(), std::nullopt);
  // A move may hold a blank (12 e4 e5 gives "e4 e"): moves are counted, not split.
  const std::deque<std::string> moves{"e4 e", "e7e5", ""};
  EXPECT_EQ(decodeMoves(encodeMoves(moves)), moves);
  EXPECT_EQ(decodeMoves(std::string("\x05"
                                    "e2e4",
                                    5)),
            std::nullopt);

  for (const std::string& bad :
       {std::string("Z\0\0\0\0", 5), encodeMessage(MessageKind::Go, std::string(65, 'x'))}) {
    MessageReader strict(64);
    strict.feed(bad.data(), bad.size());
    EXPECT_EQ(strict.next(), std::nullopt);
    EXPECT_TRUE(strict.malformed());
  }
}

// Reads what the holder sent as messages.
std::vector<Message> messages(const std::string& bytes) {
  MessageReader reader(1 << 20);
  reader.feed(bytes.data(), bytes.size());
  std::vector<Message> out;
  while (std::optional<Message> message = reader.next()) out.push_back(*message);
  return out;
}

Message stockOf(const std::deque<std::string>& moves) {
  return {MessageKind::Stock, encodeMoves(moves)};
}

class PortHolderTest : public ::testing::Test {
 protected:
  PortHolderTest() { holder.start(); }
  ~PortHolderTest() override { holder.handOver(); }

  void arrive(TestEnd& end) {
    {
      const std::lock_guard<std::mutex> lock(point->mutex);
      point->arriving.push_back(end.holderEnd());
    }
    point->incoming.signal();
  }
  // A process that joins: it arrives and says hello, and the holder welcomes it.
  void join(TestEnd& end) {
    arrive(end);
    end.send(encodeMessage(MessageKind::Hello, kHello));
    ASSERT_TRUE(eventually([&] { return !messages(end.received()).empty(); }));
    EXPECT_EQ(messages(end.received()).front().kind, MessageKind::Welcome);
  }
  // Waits until the holder has sent `count` messages in all.
  std::vector<Message> sent(TestEnd& end, std::size_t count) {
    eventually([&] { return messages(end.received()).size() >= count; });
    return messages(end.received());
  }

  FakeLine port;
  MoveDealer dealer{port};
  std::shared_ptr<FakeMeetingPoint::Queue> point = std::make_shared<FakeMeetingPoint::Queue>();
  FakeSharePlatform share{point};
  PortHolder holder{dealer, std::make_unique<FakeMeetingPoint>(point), share, "meeting"};
  FakeWaiter own;  // a go of the holder's own GUI
};

TEST_F(PortHolderTest, TheJoinedProcessGetsItsMovesItsStatusLinesAndTheStock) {
  TestEnd joined;
  join(joined);
  port.push("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(dealer.take(own), "e2e4");
  joined.send(encodeMessage(MessageKind::Go));
  ASSERT_TRUE(eventually([&] { return messages(joined.received()).size() >= 5; }));
  joined.send(encodeMessage(MessageKind::Written) + encodeMessage(MessageKind::Go));
  port.push("Check\r\n02 g1-f3 b8-c6\r\n");
  const std::vector<Message> expected{{MessageKind::Welcome, ""},
                                      stockOf({"e2e4", "e7e5"}),
                                      stockOf({"e7e5"}),
                                      {MessageKind::Move, "e7e5"},
                                      stockOf({}),
                                      {MessageKind::Info, "Check"},
                                      stockOf({"g1f3", "b8c6"}),
                                      {MessageKind::Move, "g1f3"},
                                      stockOf({"b8c6"})};
  EXPECT_EQ(sent(joined, expected.size()), expected);
  EXPECT_EQ(dealer.take(own), "b8c6");
}

TEST_F(PortHolderTest, AThirdProcessIsToldThePortIsFull) {
  TestEnd joined;
  join(joined);
  TestEnd third;
  arrive(third);
  third.send(encodeMessage(MessageKind::Hello, kHello));
  ASSERT_TRUE(eventually([&] { return third.closedByHolder(); }));
  EXPECT_EQ(messages(third.received()), (std::vector<Message>{{MessageKind::Full, ""}}));
  EXPECT_FALSE(joined.closedByHolder());
}

TEST_F(PortHolderTest, WhateverAProcessMaySendEndsOnlyItsOwnConnection) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"a go before its hello", encodeMessage(MessageKind::Go)},
      {"a hello of another program", encodeMessage(MessageKind::Hello, "kestrelgate 9")},
      {"a kind nobody knows", std::string("Q\0\0\0\0", 5)},
      {"a message longer than a joined process ever sends",
       encodeMessage(MessageKind::Hello, std::string(100000, 'x'))},
      {"a confirmation with no move dealt",
       encodeMessage(MessageKind::Hello, kHello) + encodeMessage(MessageKind::Written)},
      {"what a holder would say",
       encodeMessage(MessageKind::Hello, kHello) + encodeMessage(MessageKind::Move, "e2e4")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestEnd stranger;
    arrive(stranger);
    stranger.send(c.bytes);
    EXPECT_TRUE(eventually([&] { return stranger.closedByHolder(); }));
  }
  // The holder goes on: a proper process joins, and the moves are dealt as before.
  TestEnd joined;
  join(joined);
  port.push("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(dealer.take(own), "e2e4");
  EXPECT_EQ(dealer.take(own), "e7e5");
}

TEST_F(PortHolderTest, AMoveTheJoinedProcessNeverWroteGoesToTheNextGo) {
  TestEnd joined;
  join(joined);
  port.push("01 e2-e4 e7-e5\r\n");
  joined.send(encodeMessage(MessageKind::Go));
  const std::vector<Message> told{{MessageKind::Welcome, ""},
                                  stockOf({"e2e4", "e7e5"}),
                                  {MessageKind::Move, "e2e4"},
                                  stockOf({"e7e5"})};
  EXPECT_EQ(sent(joined, told.size()), told);
  // It goes away before its GUI had the move.
  joined.close();
  ASSERT_TRUE(eventually([&] { return joined.closedByHolder(); }));
  EXPECT_EQ(dealer.take(own), "e2e4");
  EXPECT_EQ(dealer.take(own), "e7e5");
}

TEST_F(PortHolderTest, WhileTheDeviceIsAwayNobodyMeetsTheHolder) {
  holder.devicePresent(false);
  // The meeting point is given up: a process that comes now is not taken in.
  ASSERT_TRUE(eventually([&] { return point->points == 0; }));
  TestEnd early;
  arrive(early);
  early.send(encodeMessage(MessageKind::Hello, kHello));
  EXPECT_FALSE(eventually([&] { return !messages(early.received()).empty(); }, 200));
  // Back: claimed again, and whoever is waiting there is met.
  holder.devicePresent(true);
  ASSERT_TRUE(eventually([&] { return !messages(early.received()).empty(); }));
  EXPECT_EQ(messages(early.received()).front().kind, MessageKind::Welcome);
  EXPECT_EQ(share.claims, 1);
}

TEST_F(PortHolderTest, AsTheHolderEndsTheJoinedProcessLearnsTheLineReadSoFar) {
  TestEnd joined;
  join(joined);
  joined.send(encodeMessage(MessageKind::Go));
  port.push("Thinking\r\n03 d2-");
  ASSERT_TRUE(eventually([&] { return messages(joined.received()).size() >= 2; }));
  ASSERT_TRUE(eventually([&] { return port.reads() >= 15; }));
  EXPECT_TRUE(holder.handOver());
  const std::vector<Message> told = messages(joined.received());
  EXPECT_EQ(told.back(), (Message{MessageKind::Partial, "03 d2"}));
}

}  // namespace
}  // namespace kestrelgate::uci
