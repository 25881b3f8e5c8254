#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <tuple>
#include <utility>

#include "console/console_platform.h"

namespace kestrelgate::console {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Puts the read end of a pipe on descriptor 0 for the test, as a GUI's pipe would be, and
// gives the old standard input back afterwards.
class PipedStandardInput : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe(ends), 0);
    writer_ = ends[1];
    saved_ = dup(STDIN_FILENO);
    ASSERT_GE(saved_, 0);
    ASSERT_EQ(dup2(ends[0], STDIN_FILENO), STDIN_FILENO);
    close(ends[0]);
  }
  void TearDown() override {
    if (writer_ >= 0) close(writer_);
    if (saved_ >= 0) {
      dup2(saved_, STDIN_FILENO);
      close(saved_);
    }
  }

  // How long the wait took, and what it said.
  std::pair<Clock::duration, bool> timedWait(std::uint32_t milliseconds) {
    const Clock::time_point start = Clock::now();
    const bool hungUp = systemConsolePlatform().waitForInputHangUp(milliseconds);
    return {Clock::now() - start, hungUp};
  }

  int writer_ = -1;
  int saved_ = -1;
};

TEST_F(PipedStandardInput, AnOpenPipeRunsTheWaitOutEvenWithInputWaiting) {
  auto [waited, hungUp] = timedWait(60);
  EXPECT_FALSE(hungUp);
  EXPECT_GE(waited, 50ms);

  // Unread commands are for the command loop; they neither end the wait nor get consumed.
  ASSERT_EQ(write(writer_, "isready\n", 8), 8);
  std::tie(waited, hungUp) = timedWait(60);
  EXPECT_FALSE(hungUp);
  EXPECT_GE(waited, 50ms);
  char buffer[16] = {};
  EXPECT_EQ(read(STDIN_FILENO, buffer, sizeof buffer), 8);
}

TEST_F(PipedStandardInput, TheWriterClosingEndsTheWaitAtOnce) {
  ASSERT_EQ(write(writer_, "go\n", 3), 3);  // left unread: the GUI has gone all the same
  close(writer_);
  writer_ = -1;
  const auto [waited, hungUp] = timedWait(5000);
  EXPECT_TRUE(hungUp);
  EXPECT_LT(waited, 1s);
}

TEST_F(PipedStandardInput, AClosedDescriptorCountsAsGoneRatherThanWaitingForNothing) {
  close(STDIN_FILENO);
  const auto [waited, hungUp] = timedWait(5000);
  EXPECT_TRUE(hungUp);
  EXPECT_LT(waited, 1s);
}

}  // namespace
}  // namespace kestrelgate::console
