#include "console/console_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_input.h"

namespace kestrelgate::console {
namespace {

// Records every write call; can take fewer bytes than asked, or fail.
class RecordingConsole final : public ConsolePlatform {
 public:
  void fetchHandles() override { ++handleFetches; }
  bool queryWindow(ConsoleWindow& w) override {
    w = window;
    return isConsole;
  }
  bool writeOutput(const char* data, std::size_t length, std::size_t& written) override {
    calls.emplace_back(data, length);
    if (failNext > 0) {
      --failNext;
      written = 0;
      return false;
    }
    written = length < mostPerCall ? length : mostPerCall;
    wire.append(data, written);
    return true;
  }
  ScreenWriter* screenWriter() override { return screen; }
  InputStream& standardInput() override { return input; }
  bool waitForInputHangUp(std::uint32_t) override { return false; }
  Waitable outputGone() override { return {}; }

  int handleFetches = 0;
  bool isConsole = false;
  ConsoleWindow window;
  std::size_t mostPerCall = 1 << 20;
  int failNext = 0;
  std::vector<std::string> calls;
  std::string wire;
  ScreenWriter* screen = nullptr;
  fakes::ScriptedInput input{""};
};

class RecordingScreen final : public ScreenWriter {
 public:
  void writeRequest(const char* data, std::size_t length) override {
    requests.emplace_back(data, length);
  }
  std::vector<std::string> requests;
};

TEST(ConsoleOutput, EveryTextAndEveryLineEndIsItsOwnWriteRequest) {
  RecordingConsole platform;
  ConsoleOutput output(platform);
  output.writeText("bestmove ");
  output.writeLine("e2e4");
  output.writeLine("");
  output.writeText("");
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"bestmove ", "e2e4", "\r\n", "\r\n"}));
  EXPECT_EQ(platform.wire, "bestmove e2e4\r\n\r\n");
}

TEST(ConsoleOutput, ControlBytesPassUnchangedInStreamMode) {
  RecordingConsole platform;
  ConsoleOutput output(platform);
  output.writeLine("\a\b\t\r\n\x7f\xff");
  EXPECT_EQ(platform.wire, "\a\b\t\r\n\x7f\xff\r\n");
}

TEST(ConsoleOutput, APartialWriteIsContinuedAndAFailedOneDropsTheRest) {
  RecordingConsole platform;
  ConsoleOutput output(platform);
  platform.mostPerCall = 3;
  output.writeLine("readyok");
  EXPECT_EQ(platform.wire, "readyok\r\n");
  EXPECT_EQ(platform.calls.size(), 4u);  // "rea", "dyo", "k", CR LF

  platform.calls.clear();
  platform.wire.clear();
  platform.mostPerCall = 1 << 20;
  platform.failNext = 1;
  output.writeText("lost");
  output.writeLine("kept");
  EXPECT_EQ(platform.calls.size(), 3u);
  EXPECT_EQ(platform.wire, "kept\r\n");
}

TEST(ConsoleOutput, AWriteThatTakesNothingDoesNotSpin) {
  RecordingConsole platform;
  ConsoleOutput output(platform);
  platform.mostPerCall = 0;
  output.writeText("stuck");
  EXPECT_EQ(platform.calls.size(), 1u);
}

TEST(ConsoleOutput, SetsUpOnceAtTheFirstWriteAndChoosesTheMode) {
  RecordingConsole platform;
  ConsoleOutput output(platform);
  EXPECT_FALSE(output.isSetUp());
  output.writeText("");
  EXPECT_FALSE(output.isSetUp());
  output.writeText("x");
  output.writeLine("y");
  EXPECT_EQ(platform.handleFetches, 1);
  EXPECT_FALSE(output.inScreenMode());

  // A console window with a text area selects screen mode; a window of one row does not.
  RecordingScreen screen;
  RecordingConsole consolePlatform;
  consolePlatform.isConsole = true;
  consolePlatform.window = ConsoleWindow{0, 0, 79, 24};
  consolePlatform.screen = &screen;
  ConsoleOutput consoleOutput(consolePlatform);
  consoleOutput.writeLine("uciok");
  EXPECT_TRUE(consoleOutput.inScreenMode());
  EXPECT_EQ(screen.requests, (std::vector<std::string>{"uciok", "\r\n"}));
  EXPECT_TRUE(consolePlatform.calls.empty());

  RecordingConsole flatPlatform;
  flatPlatform.isConsole = true;
  flatPlatform.window = ConsoleWindow{0, 5, 79, 5};
  flatPlatform.screen = &screen;
  ConsoleOutput flatOutput(flatPlatform);
  flatOutput.setUp();
  EXPECT_FALSE(flatOutput.inScreenMode());
}

}  // namespace
}  // namespace kestrelgate::console
