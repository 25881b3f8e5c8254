#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fake_serial.h"
#include "link/serial_channel.h"
#include "uci/port_holder.h"

namespace kestrelgate::uci {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The clock by which a game stands still, moved only by the test.
Clock::time_point fakeNow;
Clock::time_point readFakeClock() {
  return fakeNow;
}

// A joined process as the holder sees it: one end of a socket pair; the test speaks for the
// process at the other end.
class SocketConnection final : public link::Connection {
 public:
  explicit SocketConnection(int fd) : fd_(fd) {}
  ~SocketConnection() override { close(fd_); }
  bool send(std::string_view bytes, std::intptr_t) override {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  std::size_t receive(char* buffer, std::size_t size, std::intptr_t&) override {
    const ssize_t got = recv(fd_, buffer, size, 0);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  console::Waitable readable() override { return {fd_, console::Waitable::Kind::Input}; }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The other processes, and our GUI's input, which has its next command once the holder has
// heard all that the others said and read all that the machine printed: so awaitCommand()
// returns after serving them.
struct Others final : link::MeetingPoint, console::InputStream {
  explicit Others(const fakes::FakePort& machine) : port(machine) { (void)pipe(knock); }
  ~Others() override {
    close(knock[0]);
    close(knock[1]);
  }
  // A process at the meeting point: the test's end of its connection.
  int connect() {
    int ends[2];
    (void)socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
    pending.push_back(ends[0]);
    holderEnds.push_back(ends[0]);
    (void)write(knock[1], "k", 1);
    return ends[1];
  }
  console::Waitable incoming() override { return {knock[0], console::Waitable::Kind::Input}; }
  std::unique_ptr<link::Connection> accept() override {
    char k;
    (void)read(knock[0], &k, 1);
    const int fd = pending.front();
    pending.pop_front();
    return std::make_unique<SocketConnection>(fd);
  }
  bool getPiece(char*, int) override { return false; }
  console::Waitable ready() override {
    for (const int fd : holderEnds) {
      int unread = 0;
      if (ioctl(fd, FIONREAD, &unread) == 0 && unread > 0) return {};
    }
    if (!pending.empty() || !port.incoming.empty()) return {};
    return {-1, console::Waitable::Kind::Always};
  }
  const fakes::FakePort& port;
  int knock[2];
  std::deque<int> pending;
  std::vector<int> holderEnds;
};

class SilentConsole final : public console::ConsolePlatform {
 public:
  explicit SilentConsole(console::InputStream& input) : input_(input) {}
  void fetchHandles() override {}
  bool queryWindow(console::ConsoleWindow&) override { return false; }
  bool writeOutput(const char* data, std::size_t length, std::size_t& written) override {
    wire.append(data, length);
    written = length;
    return true;
  }
  console::InputStream& standardInput() override { return input_; }
  bool waitForInputHangUp(std::uint32_t) override { return false; }
  console::Waitable outputGone() override { return {}; }
  std::string wire;

 private:
  console::InputStream& input_;
};

class NoPlace final : public link::MeetingPlace {
 public:
  std::unique_ptr<link::MeetingPoint> claim(const std::string&, link::Claim& result) override {
    result = link::Claim::NoSharing;
    return nullptr;
  }
  std::unique_ptr<link::Connection> connect(const std::string&) override { return nullptr; }
  bool heldByKestrelgate(const std::string&) override { return false; }
};

// What a process hears from the holder within a moment: whole lines, until it has heard `lines`
// of them or the holder has ended the connection (then "end").
std::vector<std::string> hear(int fd, std::size_t lines = 1) {
  std::vector<std::string> heard;
  std::string buffer;
  while (heard.size() < lines) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    char bytes[4096];
    const ssize_t got = recv(fd, bytes, sizeof bytes, 0);
    if (got <= 0) {
      heard.push_back("end");
      break;
    }
    buffer.append(bytes, static_cast<std::size_t>(got));
    for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;
         buffer.erase(0, end + 1)) {
      heard.push_back(buffer.substr(0, end));
    }
  }
  return heard;
}

void say(int fd, const std::string& lines) {
  ASSERT_EQ(send(fd, lines.data(), lines.size(), MSG_NOSIGNAL), static_cast<ssize_t>(lines.size()));
}

const std::string kHelloLine = std::string(kHello) + "\n";
const std::string kStartPosition = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w";

class PortHolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(link::openSerial(table, 2, "COM1:600,N,8,1,CS0,DS0,CD0,BIN", serial),
              console::IoResult::Ok);
    auto point = std::make_unique<Others>(serial.port);
    others = point.get();
    console = std::make_unique<SilentConsole>(*others);
    output = std::make_unique<console::ConsoleOutput>(*console);
    holder = std::make_unique<PortHolder>(
        PortHolder::Parts{table, 2, *output, *console, place, "/fake/port1", &readFakeClock},
        std::move(point));
  }
  // Bytes the chess computer has printed, one read each.
  void print(const std::string& bytes) {
    for (const char c : bytes) serial.port.incoming.emplace_back(1, c);
  }
  // A process that has joined, and heard its welcome.
  int joined() {
    const int fd = others->connect();
    say(fd, kHelloLine);
    holder->awaitCommand();
    EXPECT_EQ(hear(fd), std::vector<std::string>{"welcome -"});
    return fd;
  }
  std::string guiGo(const std::string& fen = "") {
    Position position;
    if (!fen.empty()) position.follow("position fen " + fen + " - - 0 1");
    return holder->move(position).value_or("none");
  }

  console::ChannelTable table;
  fakes::FakePlatform serial;
  NoPlace place;
  Others* others = nullptr;
  std::unique_ptr<SilentConsole> console;
  std::unique_ptr<console::ConsoleOutput> output;
  std::unique_ptr<PortHolder> holder;
};

// Our GUI's go and the joined process's go take the moves of a line in the order they asked;
// a status line goes to the first.
TEST_F(PortHolderTest, TheTwoSidesTakeTheMovesInTurn) {
  const int other = joined();
  say(other, "go\n");
  print("Thinking\r\n01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(guiGo(), "e2e4");
  EXPECT_EQ(console->wire, "info string Thinking\r\n");
  EXPECT_EQ(hear(other), std::vector<std::string>{"move e7e5"});
  close(other);
}

// A third process is turned away while the game goes on, and let in once it has stood still;
// its go with a game's position (an analyser's) then waits and takes nothing, while one that
// opens a game takes the moves from then on.
TEST_F(PortHolderTest, ANewPairOnceTheGameStandsStillAndAnAnalyserTakesNothing) {
  const int other = joined();
  say(other, "go\n");
  print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(guiGo(), "e2e4");
  EXPECT_EQ(hear(other), std::vector<std::string>{"move e7e5"});

  const int early = others->connect();
  say(early, kHelloLine);
  holder->awaitCommand();
  EXPECT_EQ(hear(early, 2), (std::vector<std::string>{"full", "end"}));

  fakeNow += 2s;
  const int analyser = joined();
  const int newGame = joined();
  say(analyser, "go r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w\n");
  say(newGame, "go " + kStartPosition + "\n");
  print("01 d2-d4 d7-d5\r\n");
  holder->awaitCommand();
  EXPECT_EQ(hear(newGame), std::vector<std::string>{"move d2d4"});
  say(newGame, "go\n");
  holder->awaitCommand();
  EXPECT_EQ(hear(newGame), std::vector<std::string>{"move d7d5"});
  int unread = -1;
  EXPECT_EQ(ioctl(analyser, FIONREAD, &unread), 0);
  EXPECT_EQ(unread, 0);
  for (const int fd : {other, early, analyser, newGame}) close(fd);
}

// A move given back (its GUI went before it had it) answers the next go, before the second move
// of the line read last.
TEST_F(PortHolderTest, AMoveGivenBackComesFirst) {
  const int other = joined();
  print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(guiGo(), "e2e4");
  say(other, "back - g1f3\n");
  holder->awaitCommand();
  EXPECT_EQ(guiGo(), "g1f3");
  EXPECT_EQ(guiGo(), "e7e5");
  close(other);
}

// A connection beyond as many as the holder serves is told so, as a third is during a game.
TEST_F(PortHolderTest, AConnectionBeyondTheMostHearsFull) {
  std::vector<int> waiting;
  for (int i = 0; i < 8; ++i) waiting.push_back(others->connect());
  const int ninth = others->connect();
  holder->awaitCommand();
  EXPECT_EQ(hear(ninth, 2), (std::vector<std::string>{"full", "end"}));
  for (const int fd : waiting) close(fd);
  close(ninth);
}

// A joined process that says more than a line may hold is let go; a line of the most is still
// heard.
TEST_F(PortHolderTest, AJoinedProcessThatSaysTooLongALineIsLetGo) {
  const std::string longest = "go " + std::string((1u << 16) - 3, 'x');
  const int beyond = joined();
  say(beyond, longest + "x\n");
  holder->awaitCommand();
  EXPECT_EQ(hear(beyond), std::vector<std::string>{"end"});
  const int atTheLimit = joined();
  say(atTheLimit, longest + "\n");
  print("01 e2-e4 e7-e5\r\n");
  holder->awaitCommand();
  EXPECT_EQ(hear(atTheLimit), std::vector<std::string>{"move e2e4"});
  close(atTheLimit);
  close(beyond);
}

}  // namespace
}  // namespace kestrelgate::uci
