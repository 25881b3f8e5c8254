#include "console/channel_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kestrelgate::console {
namespace {

class RecordingChannel final : public Channel {
 public:
  RecordingChannel(int id, std::vector<int>& closed) : id_(id), closed_(closed) {}
  IoResult close() override {
    closed_.push_back(id_);
    return IoResult::IoFailed;  // a failing close still frees its slot
  }

 private:
  int id_;
  std::vector<int>& closed_;
};

TEST(ChannelTable, AcceptsOnlyFreeSlotsFromOneTo255) {
  ChannelTable table;
  std::vector<int> closed;
  EXPECT_EQ(table.checkFree(0), IoResult::IllegalRequest);
  EXPECT_EQ(table.checkFree(256), IoResult::IllegalRequest);
  EXPECT_EQ(table.checkFree(-1), IoResult::IllegalRequest);
  EXPECT_EQ(table.checkFree(1), IoResult::Ok);
  EXPECT_EQ(table.checkFree(255), IoResult::Ok);

  EXPECT_EQ(table.install(255, std::make_unique<RecordingChannel>(255, closed)), IoResult::Ok);
  EXPECT_EQ(table.checkFree(255), IoResult::IllegalRequest);
  EXPECT_EQ(table.install(255, std::make_unique<RecordingChannel>(0, closed)),
            IoResult::IllegalRequest);
  EXPECT_EQ(table.install(0, std::make_unique<RecordingChannel>(0, closed)),
            IoResult::IllegalRequest);
  EXPECT_NE(table.find(255), nullptr);
  EXPECT_EQ(table.find(3), nullptr);
  EXPECT_EQ(table.find(0), nullptr);
  EXPECT_EQ(table.find(1000), nullptr);
}

TEST(ChannelTable, ClosesAllInAscendingOrderAndFreesEverySlot) {
  ChannelTable table;
  std::vector<int> closed;
  for (int n : {7, 2, 1, 200}) table.install(n, std::make_unique<RecordingChannel>(n, closed));
  EXPECT_EQ(table.closeAll(), IoResult::Ok);
  EXPECT_EQ(closed, (std::vector<int>{1, 2, 7, 200}));
  for (int n : {1, 2, 7, 200}) EXPECT_EQ(table.checkFree(n), IoResult::Ok);
  // A second pass finds nothing to close.
  EXPECT_EQ(table.closeAll(), IoResult::Ok);
  EXPECT_EQ(closed.size(), 4u);
}

TEST(ChannelTable, ClosingOneSlotFreesItForANewOpen) {
  ChannelTable table;
  std::vector<int> closed;
  table.install(2, std::make_unique<RecordingChannel>(2, closed));
  EXPECT_EQ(table.closeChannel(2), IoResult::Ok);
  EXPECT_EQ(closed, std::vector<int>{2});
  EXPECT_EQ(table.closeChannel(2), IoResult::IllegalRequest);
  EXPECT_EQ(table.install(2, std::make_unique<RecordingChannel>(2, closed)), IoResult::Ok);
}

TEST(ChannelTable, DevicesRefuseOperationsTheyDoNotHave) {
  std::vector<int> closed;
  RecordingChannel channel(1, closed);
  std::string text = "kept";
  std::uint32_t got = 99;
  char buffer[4];
  EXPECT_EQ(channel.readLine(text), IoResult::IllegalRequest);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(channel.readBytes(buffer, 4, got), IoResult::IllegalRequest);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(channel.seek(0), IoResult::IllegalRequest);
}

}  // namespace
}  // namespace kestrelgate::console
