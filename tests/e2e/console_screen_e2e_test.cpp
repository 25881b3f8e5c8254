// The program typed at by hand in a real terminal, as a user trying it out would: tmux plays
// the terminal and shows what is on its screen. Natively the terminal echoes, wraps and
// scrolls by itself. Under wine the Windows build finds a console window and draws into its
// screen buffer itself: it scrolls the buffer, and after a line end on the bottom row it
// leaves the scroll for the next output, so the last line stays in sight with the cursor in
// the last cell of that row.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr int kColumns = 80;
constexpr int kRows = 25;

// A tmux server of our own (its own socket, no configuration), holding one session.
class Terminal {
 public:
  Terminal() {
    static int made = 0;
    socket_ = "kestrelgate-" + std::to_string(getpid()) + "-" + std::to_string(++made);
  }
  ~Terminal() { tmux({"kill-server"}); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  static bool available() { return Terminal().tmux({"-V"}).has_value(); }

  bool start(const std::vector<std::string>& command) {
    std::vector<std::string> arguments{
        "new-session",        "-d", "-s", "kg", "-x", std::to_string(kColumns), "-y",
        std::to_string(kRows)};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return tmux(arguments).has_value();
  }

  // Types the text, then Enter.
  bool type(const std::string& text) {
    return tmux({"send-keys", "-t", "kg", "-l", text}) && tmux({"send-keys", "-t", "kg", "Enter"});
  }

  // The rows on the screen, trailing blanks cut; empty when the session has gone.
  std::vector<std::string> screen() {
    std::vector<std::string> rows;
    const std::optional<std::string> text = tmux({"capture-pane", "-p", "-t", "kg"});
    if (!text) return rows;
    std::istringstream lines(*text);
    for (std::string row; std::getline(lines, row);) rows.push_back(row);
    return rows;
  }

  std::string cursor() {
    std::optional<std::string> text =
        tmux({"display-message", "-p", "-t", "kg", "#{cursor_x},#{cursor_y}"});
    if (text && !text->empty() && text->back() == '\n') text->pop_back();
    return text.value_or("");
  }

  // Waits until the screen shows `expected`; returns the last screen seen.
  std::vector<std::string> waitForScreen(const std::vector<std::string>& expected,
                                         Millis timeout = kReplyTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + replyAllowance(timeout);
    for (;;) {
      std::vector<std::string> rows = screen();
      if (rows == expected || std::chrono::steady_clock::now() >= deadline) return rows;
      std::this_thread::sleep_for(20ms);
    }
  }

  // Wine's console puts the terminal into raw mode once it has taken it over. Keys typed
  // before then would be echoed twice: by the terminal, and again by the console's line input.
  bool waitUntilRaw(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + replyAllowance(timeout);
    std::optional<std::string> tty = tmux({"display-message", "-p", "-t", "kg", "#{pane_tty}"});
    if (!tty || tty->empty()) return false;
    if (tty->back() == '\n') tty->pop_back();
    for (;;) {
      const int fd = open(tty->c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      termios mode{};
      const bool raw = fd >= 0 && tcgetattr(fd, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
      if (fd >= 0) close(fd);
      if (raw) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

  bool sessionGone(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + replyAllowance(timeout);
    while (tmux({"has-session", "-t", "kg"})) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

 private:
  // The output of one tmux command, or nullopt when it failed.
  std::optional<std::string> tmux(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"tmux", "-L", socket_, "-f", "/dev/null"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Child child(command, /*quietErrors=*/true);  // "no server running" is an answer here
    if (!child.running()) return std::nullopt;
    const std::optional<int> status = child.waitExit();
    if (status != 0) return std::nullopt;
    return child.output();
  }

  std::string socket_;
};

// What the screen must show after the conversation so far: the rows of its lines, the last
// of them at the bottom once they fill the screen. Natively the terminal has scrolled the
// cursor's empty row into view after the last line end; the console renderer keeps that scroll
// back until more output comes.
std::vector<std::string> expectedScreen(const std::vector<std::string>& conversation) {
  std::vector<std::string> rows = conversation;
  if (!underWine() || rows.size() < static_cast<std::size_t>(kRows)) rows.push_back("");
  if (rows.size() > static_cast<std::size_t>(kRows)) rows.erase(rows.begin(), rows.end() - kRows);
  rows.resize(kRows);
  return rows;
}

std::string shown(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows) text += "|" + row + "\n";
  return text;
}

TEST(E2eConsole, ATypedConversationScrollsAndLeavesTheMoveInSight) {
  if (!Terminal::available()) GTEST_SKIP() << "tmux is not installed";
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal can be opened here";
  Terminal terminal;
  ASSERT_TRUE(terminal.start(engineCommand({enginePortArgument(chessComputer.devicePath())})));
  if (underWine()) {
    ASSERT_TRUE(terminal.waitUntilRaw(kReplyTimeout)) << "wine took no console";
  }

  std::vector<std::string> conversation;
  auto say = [&](const std::string& command, const std::vector<std::string>& reply) {
    ASSERT_TRUE(terminal.type(command));
    conversation.push_back(command);  // the echo of what was typed
    conversation.insert(conversation.end(), reply.begin(), reply.end());
    const std::vector<std::string> expected = expectedScreen(conversation);
    const std::vector<std::string> rows = terminal.waitForScreen(expected);
    ASSERT_EQ(rows, expected) << "after " << command << ":\n" << shown(rows);
  };
  say("uci", {"id name Kestrelgate V1.1", "id author Ostwyndhaven",
              "option name OwnBook type check default true",
              "option name MoveAsPv type check default false", "uciok"});
  say("isready", {"readyok"});
  say("go", {});

  // Forty lines while the chess computer thinks: more than the screen holds.
  std::string printed;
  for (int line = 1; line <= 40; ++line) {
    char text[64];
    std::snprintf(text, sizeof text, "Line %02d of the chess computer", line);
    printed += std::string(text) + "\r\n";
    conversation.push_back("info string " + std::string(text));
  }
  ASSERT_TRUE(chessComputer.print(printed + "12 e2-e4 e7-e5\r\n"));
  conversation.push_back("bestmove e2e4");
  const std::vector<std::string> expected = expectedScreen(conversation);
  const std::vector<std::string> rows = terminal.waitForScreen(expected, 10000ms);
  ASSERT_EQ(rows, expected) << shown(rows);
  EXPECT_EQ(terminal.cursor(), underWine() ? "79,24" : "0,24");

  ASSERT_TRUE(terminal.type("quit"));
  EXPECT_TRUE(terminal.sessionGone(kReplyTimeout)) << "the program did not end at quit";
}

}  // namespace
}  // namespace e2e
