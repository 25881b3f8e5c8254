// Two engines, one chess computer: a GUI playing engine against engine starts one Kestrelgate per
// side on the same port, and the two must play the chess computer's game between them as one
// engine would. The GUI here is a small driver that talks to its engines the way Cute Chess
// does (read from its sources): both started at the same instant, "uci" to each and 35 s for
// "uciok", "isready" before every "go" and 15 s for "readyok", "ucinewgame", then for each ply,
// to the side to move only, "position startpos moves ...", "isready" and "go infinite"; "quit"
// to both at the end, and a kill 5 s later.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

const std::string kCannotOpen = "Cannot initialise comport\r\n";

// A Kestrelgate that may not have the port: it says so at its first command, and ends.
void expectRefused(const std::vector<std::string>& command) {
  Child engine(command);
  engine.sendLine("uci");
  EXPECT_EQ(engine.waitExit(), 0);
  EXPECT_EQ(engine.output(), kCannotOpen);
}

// The chess computer playing the Opera game on a pty of the test's own, printing only as far
// as the game has come: before a go, the lines up to the one that carries that ply's move.
class ScriptedMachine {
 public:
  ScriptedMachine() {
    std::ifstream transcript(transcriptPath("opera-game.txt"));
    for (std::string line; std::getline(transcript, line);) {
      if (line.empty() || line[0] == '#') continue;
      // A move line: two digits, then one move or two.
      if (line.size() >= 2 && std::isdigit(static_cast<unsigned char>(line[0])) &&
          std::isdigit(static_cast<unsigned char>(line[1]))) {
        std::istringstream words(line);
        std::string number, move;
        words >> number;
        while (words >> move) lineOfPly_.push_back(lines_.size());
      }
      lines_.push_back(line + "\r\n");
    }
  }
  FakeChessComputer& pty() { return pty_; }
  // Prints what the machine has printed by the time it has played `ply`.
  void printFor(std::size_t ply) {
    while (ply < lineOfPly_.size() && printed_ <= lineOfPly_[ply]) pty_.print(lines_[printed_++]);
  }

 private:
  FakeChessComputer pty_;
  std::vector<std::string> lines_;
  std::vector<std::size_t> lineOfPly_;
  std::size_t printed_ = 0;
};

// The socket file at which a Linux holder of `device` listens: in the meeting directory of the
// user it runs as (ours, or that of the process `pid`), named after the device node's numbers
// and the time it was made.
std::string meetingSocketOf(const std::string& device, pid_t pid = 0) {
  struct stat node {};
  struct stat process {};
  if (stat(device.c_str(), &node) != 0) return {};
  const uid_t user = pid > 0 && stat(("/proc/" + std::to_string(pid)).c_str(), &process) == 0
                         ? process.st_uid
                         : geteuid();
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string directory = runtime != nullptr && runtime[0] != '\0' && user == geteuid()
                                    ? std::string(runtime)
                                    : "/tmp/kestrelgate-" + std::to_string(user);
  return directory + "/port-" + std::to_string(major(node.st_rdev)) + "." +
         std::to_string(minor(node.st_rdev)) + "-" + std::to_string(node.st_ctim.tv_sec) + "." +
         std::to_string(node.st_ctim.tv_nsec) + ".sock";
}

// A process of the test's own at a Linux holder's meeting point, speaking the pair's lines by
// hand. It can say what no Kestrelgate would.
class RawPartner {
 public:
  explicit RawPartner(const std::string& device) {
    const std::string path = meetingSocketOf(device);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path.data(), path.size());
    // As a Kestrelgate does: a holder claims its meeting point a moment after it has started.
    for (const auto deadline = std::chrono::steady_clock::now() + 2s; fd_ < 0;) {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
      close();
      if (std::chrono::steady_clock::now() >= deadline) break;
      kestrelgate::support::pauseFor(10ms);
    }
  }
  ~RawPartner() { close(); }
  bool ok() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Says no more, as a process that has gone; the connection stays open to hear the holder end it.
  void stopSaying() { shutdown(fd_, SHUT_WR); }

  void say(const std::string& line) {
    const std::string bytes = line + "\n";
    ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Whether the holder closes the connection within 5 s, whatever it says first.
  bool endedByHolder() {
    char buffer[4096];
    for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, 5000) == 1;) {
      if (recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
  }
  // What follows the word in the next line of the holder's that begins with it; nothing once
  // it has closed the connection, or after 5 s.
  std::optional<std::string> heard(const std::string& word) {
    for (;;) {
      for (std::size_t end; (end = heard_.find('\n')) != std::string::npos;) {
        const std::string line = heard_.substr(0, end);
        heard_.erase(0, end + 1);
        if (line == word) return std::string();
        if (line.starts_with(word + " ")) return line.substr(word.size() + 1);
      }
      pollfd p{fd_, POLLIN, 0};
      char buffer[4096];
      if (poll(&p, 1, 5000) != 1) return std::nullopt;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return std::nullopt;
      heard_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string heard_;
};

// What one ply brought from the engine asked: its status lines and its bestmove line.
using PlyLines = std::vector<std::string>;

// A GUI's side of the match: talks to its engines as Cute Chess does.
class Gui {
 public:
  // Starts one engine per entry at the same instant (one entry: one engine for both sides).
  explicit Gui(const std::vector<std::vector<std::string>>& commands) {
    for (const auto& command : commands) engines_.push_back(std::make_unique<Child>(command));
  }

  Child& engine(std::size_t i) { return *engines_[i]; }
  std::size_t engineCount() const { return engines_.size(); }

  bool begin() {
    for (auto& engine : engines_) engine->sendLine("uci");
    for (auto& engine : engines_) {
      if (!engine->readUntil("uciok\r\n", 35000ms)) return false;
    }
    for (auto& engine : engines_) {
      if (!ready(*engine)) return false;
      engine->sendLine("ucinewgame");
    }
    return true;
  }

  // "isready", and its answer within 15 s, or the GUI counts the engine as dead.
  static bool ready(Child& engine) {
    engine.sendLine("isready");
    return engine.readUntil("readyok\r\n", 15000ms).has_value();
  }

  // Sends the position and the go to `engine`; the answer is collected by answer().
  bool ask(Child& engine) {
    engine.sendLine("position startpos" + (moves_.empty() ? "" : " moves" + moves_));
    if (!ready(engine)) return false;
    engine.sendLine("go infinite");
    return true;
  }

  // The lines up to the bestmove.
  std::optional<PlyLines> answer(Child& engine) {
    const std::optional<std::string> said = engine.readUntil("bestmove ");
    const std::optional<std::string> move = said ? engine.readUntil("\r\n") : std::nullopt;
    if (!move) return std::nullopt;
    PlyLines lines = split(*said);
    const std::string played = move->substr(0, move->size() - 2);
    lines.push_back("bestmove " + played);
    moves_ += " " + played;
    return lines;
  }

  std::optional<PlyLines> ply(Child& engine) {
    if (!ask(engine)) return std::nullopt;
    return answer(engine);
  }

  // "quit" to every engine still running; each must end by itself within 5 s, with status 0.
  void end() {
    for (auto& engine : engines_) {
      if (engine->running()) engine->sendLine("quit");
    }
    for (auto& engine : engines_) {
      if (engine->running()) {
        EXPECT_EQ(engine->waitExit(5000ms), 0);
      }
    }
  }

  // The engine that holds the port, natively: the one with the device's meeting point locked.
  // (The other one has the device open too: the holder passed it its handle.)
  std::optional<std::size_t> holderOf(const std::string& device) const {
    for (std::size_t i = 0; i < engines_.size(); ++i) {
      if (holds(*engines_[i], device)) return i;
    }
    return std::nullopt;
  }
  static bool holds(const Child& engine, const std::string& device) {
    const std::string lock = meetingSocketOf(device, engine.pid());
    const std::vector<std::string> files = engine.openFiles();
    return std::find(files.begin(), files.end(), lock.substr(0, lock.size() - 5) + ".lock") !=
           files.end();
  }

  void replace(std::size_t i, const std::vector<std::string>& command) {
    engines_[i] = std::make_unique<Child>(command);
  }

 private:
  static PlyLines split(const std::string& text) {
    PlyLines lines;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
      lines.push_back(text.substr(start, at - start));
    }
    return lines;
  }

  std::vector<std::unique_ptr<Child>> engines_;
  std::string moves_;
};

std::vector<std::string> bestmoves(const std::vector<PlyLines>& plies) {
  std::vector<std::string> moves;
  for (const PlyLines& lines : plies) moves.push_back(lines.back().substr(9));
  return moves;
}

// How a row's engines are started: as the test's own user, or, when the test runs as root, as
// nobody (through setpriv, with no meeting directory of root's in its environment).
struct RunAs {
  const char* who;
  std::vector<std::string> prefix;
};

std::vector<RunAs> users() {
  std::vector<RunAs> as{{"as the test's user", {}}};
  if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
    as.push_back({"as nobody",
                  {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "env", "-u",
                   "XDG_RUNTIME_DIR"}});
  }
  return as;
}

// Once a game's engines have ended, the next Kestrelgate on the port has it: it answers, where
// a holder that had not let go would have it refused, or joined to one that no longer plays.
void expectPortFree(const std::vector<std::string>& command) {
  Child next(command);
  next.sendLine("isready");
  EXPECT_TRUE(next.readUntil("readyok\r\n")) << next.output();
  next.sendLine("quit");
  EXPECT_EQ(next.waitExit(), 0);
}

// Plays the whole Opera game with one engine per side, or with one engine for both; returns
// what each ply brought from the engine asked. After a pair's game the port is free.
std::vector<PlyLines> playOpera(bool twoEngines, const std::vector<std::string>& runAs = {}) {
  const SimulatedMachine machine =
      startSimulator({"--fast", "--linger", "-1", transcriptPath("opera-game.txt")});
  if (machine.device.empty()) return {};
  if (!runAs.empty()) chmod(machine.device.c_str(), 0666);
  const std::string port = enginePortArgument(machine.device);
  std::vector<std::string> command = runAs;
  for (const std::string& word : engineCommand({port})) command.push_back(word);
  std::vector<std::vector<std::string>> commands{command};
  if (twoEngines) commands.push_back(command);
  Gui gui(commands);
  EXPECT_TRUE(gui.begin());
  std::vector<PlyLines> plies;
  for (std::size_t ply = 0; ply < kOperaGameMoves.size(); ++ply) {
    const std::optional<PlyLines> lines = gui.ply(gui.engine(ply % gui.engineCount()));
    if (!lines) {
      ADD_FAILURE() << "no bestmove for ply " << ply + 1;
      break;
    }
    plies.push_back(*lines);
  }
  gui.end();
  if (twoEngines) expectPortFree(command);
  return plies;
}

TEST(E2ePair, TwoEnginesStartedAtOnceDealTheGameAsOneEngineWould) {
  const std::vector<PlyLines> alone = playOpera(false);
  if (alone.empty()) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  ASSERT_EQ(bestmoves(alone), kOperaGameMoves);
  // Every move in its turn, and every status line once, to the side whose go was waiting; as
  // root and as another user, whose meeting point is a directory of its own (wine runs as the
  // test's own user).
  for (const RunAs& as : users()) {
    if (!as.prefix.empty() && underWine()) continue;
    EXPECT_EQ(playOpera(true, as.prefix), alone) << as.who;
  }
}

// The holder ended twice in one game: first by SIGTERM right after it took a line whose second
// move is the other side's (handed over, that move must not be lost), then by SIGKILL while the
// other side's go waits for a line (the next move line must answer it). Each time the survivor
// takes the port over.
TEST(E2ePair, AHolderKilledMidGameLeavesThePortAndItsMovesToTheOther) {
  if (underWine())
    GTEST_SKIP() << "which process holds a COM port cannot be seen from outside wine";
  ScriptedMachine machine;
  if (!machine.pty().ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::string& device = machine.pty().devicePath();
  const std::vector<std::string> command = engineCommand({device});
  Gui gui({command, command});
  ASSERT_TRUE(gui.begin());
  const std::optional<std::size_t> holder = gui.holderOf(device);
  ASSERT_TRUE(holder) << "neither engine holds the port";
  // White is the holder: its go reads each line, and Black's move waits in the pair's stock.
  const std::size_t white = *holder;
  const std::size_t black = 1 - white;
  std::vector<std::string> played;
  const auto play = [&](std::size_t ply, std::size_t side) {
    machine.printFor(ply);
    const std::optional<PlyLines> lines = gui.ply(gui.engine(side));
    played.push_back(lines ? lines->back().substr(9) : "none");
  };
  for (std::size_t ply = 0; ply < 11; ++ply) play(ply, ply % 2 == 0 ? white : black);

  // Ply 11 is Black's, dealt from the line White's go read: end White first.
  gui.engine(white).terminate();
  play(11, black);
  // A GUI would start White's engine again; it joins Black, which now holds the port.
  gui.replace(white, command);
  ASSERT_TRUE(gui.engine(white).sendLine("uci"));
  ASSERT_TRUE(gui.engine(white).readUntil("uciok\r\n"));
  for (std::size_t ply = 12; ply < 14; ++ply) play(ply, ply % 2 == 0 ? white : black);

  // Ply 14 is White's: its go waits at Black for the machine's next line when Black is killed.
  ASSERT_TRUE(gui.ask(gui.engine(white)));
  EXPECT_EQ(gui.engine(white).readFor(300ms), "");
  gui.engine(black).kill();
  machine.printFor(14);
  const std::optional<PlyLines> answer = gui.answer(gui.engine(white));
  played.push_back(answer ? answer->back().substr(9) : "none");
  // The game goes on to the mate with the engine that is left, asked for both sides.
  for (std::size_t ply = 15; ply < kOperaGameMoves.size(); ++ply) play(ply, white);
  EXPECT_EQ(played, kOperaGameMoves);
  gui.end();
}

// A holder whose device has gone waits for it to come back; meanwhile another device gets the
// same number (a pseudo-terminal number handed on). Kestrelgates started on that device must
// meet each other, not the holder of the one that went.
TEST(E2ePair, AHolderWhoseDeviceWentIsNotMetOnTheNextDeviceOfItsNumber) {
  if (underWine()) GTEST_SKIP() << "wine's ReadFile never reports a hung-up terminal";
  auto gone = std::make_unique<FakeChessComputer>();
  if (!gone->ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::string path = gone->devicePath();
  Child stale(engineCommand({path}));
  stale.sendLine("uci");
  ASSERT_TRUE(stale.readUntil("uciok\r\n"));
  stale.sendLine("go");
  gone->unplug();
  ASSERT_TRUE(waitUntilLetGo(stale, path, kReplyTimeout)) << "the engine kept the hung-up pty";
  std::unique_ptr<FakeChessComputer> next = ptyWithNumberOf(path, 10s);
  if (!next) GTEST_SKIP() << "the kernel did not hand " << path << " out again";

  Gui gui({engineCommand({path}), engineCommand({path})});
  ASSERT_TRUE(gui.begin());
  next->print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(gui.ply(gui.engine(0)), (PlyLines{"bestmove e2e4"}));
  EXPECT_EQ(gui.ply(gui.engine(1)), (PlyLines{"bestmove e7e5"}));
  gui.end();
  EXPECT_EQ(stale.readFor(100ms), "");
  stale.closeInput();
  EXPECT_EQ(stale.waitExit(), 0);
}

// A Kestrelgate whose GUI has gone must not linger and take the next game's moves; a script
// that only closes our input, and reads the answers, still gets its move.
TEST(E2ePair, AnEngineWhoseGuiHasGoneTakesNoMoveButAScriptGetsItsMove) {
  if (underWine()) GTEST_SKIP() << kWineOutputGone;
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::vector<std::string> command = engineCommand({chessComputer.devicePath()});

  // Joined, its go being read for part way through a line, when its GUI goes: the holder goes
  // on alone, and the part already read is not lost.
  Child holder(command);
  holder.sendLine("uci");
  ASSERT_TRUE(holder.readUntil("uciok\r\n"));
  Child joined(command);
  joined.sendLine("uci");
  ASSERT_TRUE(joined.readUntil("uciok\r\n"));
  joined.sendLine("go");
  chessComputer.print("Level 2\r\n01 e2-");
  EXPECT_EQ(joined.readUntil("\r\n"), "info string Level 2\r\n");
  // Printed with the status line, the rest is on the port already: read once nothing is left.
  EXPECT_EQ(chessComputer.waitForUnreadBytes(0), 0);
  joined.closeOutput();
  joined.closeInput();
  EXPECT_EQ(joined.waitExit(2000ms), 0);
  chessComputer.print("e4 e7-e5\r\n");
  holder.sendLine("go");
  EXPECT_EQ(holder.readUntil("\r\n"), "bestmove e2e4\r\n");
  holder.sendLine("quit");
  EXPECT_EQ(holder.waitExit(), 0);

  // A script: everything sent at once, our input closed, the answers read.
  Child script(command);
  script.send("uci\ngo\n");
  script.closeInput();
  ASSERT_TRUE(script.readUntil("uciok\r\n"));
  EXPECT_EQ(script.readFor(200ms), "");
  chessComputer.print("02 g1-f3 b8-c6\r\n");
  EXPECT_EQ(script.readUntil("\r\n"), "bestmove g1f3\r\n");
  EXPECT_EQ(script.waitExit(), 0);
}

// A joined process may say only its hello and then its gos, each once the last has its move,
// and what a Kestrelgate says: whatever else comes ends that connection alone. A move given back
// by a joined process whose GUI went before it had it is the next go's, and a holder that ends
// tells a joined process the line it had read so far.
TEST(E2ePair, TheHolderTakesNoHarmFromItsPartnerAndLosesNoMoveOfIt) {
  if (underWine()) GTEST_SKIP() << "the Windows build meets at a named pipe, not a Unix socket";
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::string& path = chessComputer.devicePath();
  Child holder(engineCommand({path}));
  holder.sendLine("uci");
  ASSERT_TRUE(holder.readUntil("uciok\r\n"));
  const std::string hello = "hello kestrelgate 1.1";
  struct Case {
    const char* what;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"a go before its hello", {"go"}},
      {"a hello of another program", {"hello kestrelgate 9"}},
      {"a word nobody knows", {hello, "quux"}},
      {"more than a joined process ever says", {std::string(100000, 'x')}},
      {"a second go before its move", {hello, "go", "go"}},
      {"what a holder would say", {hello, "move e2e4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawPartner stranger(path);
    ASSERT_TRUE(stranger.ok());
    for (const std::string& line : c.said) stranger.say(line);
    EXPECT_TRUE(stranger.endedByHolder());
  }

  RawPartner vanishing(path);
  vanishing.say(hello);
  ASSERT_TRUE(vanishing.heard("welcome"));
  vanishing.say("go");
  chessComputer.print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(vanishing.heard("move"), "e2e4");
  vanishing.say("back - e2e4");  // its GUI went before it had the move
  vanishing.stopSaying();
  EXPECT_TRUE(vanishing.endedByHolder());
  for (const char* move : {"e2e4", "e7e5"}) {
    holder.sendLine("go");
    EXPECT_EQ(holder.readUntil("\r\n"), "bestmove " + std::string(move) + "\r\n");
  }

  RawPartner last(path);
  last.say(hello);
  ASSERT_TRUE(last.heard("welcome"));
  last.say("go");
  chessComputer.print("Thinking\r\n02 g1-");
  EXPECT_EQ(last.heard("info"), "Thinking");
  // Printed with the status line, the rest is on the port already: read once nothing is left.
  EXPECT_EQ(chessComputer.waitForUnreadBytes(0), 0);
  holder.sendLine("quit");
  EXPECT_EQ(holder.waitExit(), 0);
  EXPECT_EQ(last.heard("partial"), "02 g1");
}

// Two sides, two processes: a third Kestrelgate on the port is refused, as is every Kestrelgate
// on a port another program holds, and a Kestrelgate of another user. The game is unharmed.
TEST(E2ePair, AThirdEngineAForeignHolderAndAnotherUserAreRefused) {
  FakeChessComputer chessComputer;
  if (!chessComputer.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::string port = enginePortArgument(chessComputer.devicePath());
  Gui gui({engineCommand({port}), engineCommand({port})});
  ASSERT_TRUE(gui.begin());

  expectRefused(engineCommand({port}));
  if (geteuid() == 0 && !underWine() && access("/usr/bin/setpriv", X_OK) == 0) {
    expectRefused({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                   KESTRELGATE_BINARY, chessComputer.devicePath()});
  }

  chessComputer.print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(gui.ply(gui.engine(0)), (PlyLines{"bestmove e2e4"}));
  EXPECT_EQ(gui.ply(gui.engine(1)), (PlyLines{"bestmove e7e5"}));
  gui.end();

  // Another program holds the port, with the lock serial programs agree on: both sides refused.
  if (underWine()) return;  // wine lets two programs open one COM port
  const int other = open(chessComputer.devicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  Gui refused({engineCommand({port}), engineCommand({port})});
  EXPECT_FALSE(refused.begin());
  for (std::size_t side = 0; side < 2; ++side) {
    EXPECT_EQ(refused.engine(side).waitExit(), 0);
    EXPECT_EQ(refused.engine(side).output(), kCannotOpen);
  }
  close(other);
}

// A GUI that keeps a finished game's two engines running and starts a new pair for the next
// game (PyChess), and starts a third engine after each game as its analyser, with the game's
// position and "go movetime 3000": the new pair gets the next game, the analyser and the last
// game's engines get nothing. While a game goes on, or has just ended, a third is refused.
TEST(E2ePair, ANewGamesPairTakesOverFromTheLastGamesAndAnAnalyserTakesNothing) {
  FakeChessComputer machine;
  if (!machine.ok()) GTEST_SKIP() << "no pseudo-terminal for the engine";
  const std::string port = enginePortArgument(machine.devicePath());
  const auto start = [&] {
    auto engine = std::make_unique<Child>(engineCommand({port}));
    engine->sendLine("uci");
    engine->sendLine("isready");
    engine->sendLine("ucinewgame");
    EXPECT_TRUE(engine->readUntil("readyok\r\n"));
    return engine;
  };
  const auto ask = [](Child& engine, const std::string& moves, const char* go) {
    engine.sendLine("position startpos" + std::string(moves.empty() ? "" : " moves ") + moves);
    engine.sendLine(go);
  };
  const char* const clock = "go wtime 60000 winc 0 btime 60000 binc 0";
  // PyChess's go to a side of the game, and the line that answers it.
  const auto play = [&](Child& engine, const std::string& moves) {
    ask(engine, moves, clock);
    return engine.readUntil("\r\n").value_or("no answer");
  };
  std::unique_ptr<Child> white = start();
  std::unique_ptr<Child> black = start();
  machine.print("01 e2-e4 e7-e5\r\n");
  EXPECT_EQ(play(*white, ""), "bestmove e2e4\r\n");
  EXPECT_EQ(play(*black, "e2e4"), "bestmove e7e5\r\n");

  // The analyser, a moment after the game's last move: refused.
  expectRefused(engineCommand({port}));
  // The last game's engines stay, and say nothing, while the game stands still.
  EXPECT_EQ(white->readFor(2500ms), "");
  EXPECT_EQ(black->readFor(0ms), "");

  std::unique_ptr<Child> analyser = start();
  ask(*analyser, "e2e4 e7e5", "go movetime 3000");
  std::unique_ptr<Child> newWhite = start();
  std::unique_ptr<Child> newBlack = start();
  machine.print("01 d2-d4 d7-d5\r\n");
  EXPECT_EQ(play(*newWhite, ""), "bestmove d2d4\r\n");
  EXPECT_EQ(play(*newBlack, "d2d4"), "bestmove d7d5\r\n");
  machine.print("02 c2-c4 e7-e6\r\n");
  EXPECT_EQ(play(*newWhite, "d2d4 d7d5"), "bestmove c2c4\r\n");
  EXPECT_EQ(analyser->readFor(300ms), "");
  // A third engine while the new game goes on (its go waits): refused.
  EXPECT_EQ(play(*newBlack, "d2d4 d7d5 c2c4"), "bestmove e7e6\r\n");
  ask(*newWhite, "d2d4 d7d5 c2c4 e7e6", clock);
  expectRefused(engineCommand({port}));
  for (Child* engine : {white.get(), black.get(), analyser.get(), newBlack.get()}) {
    EXPECT_EQ(engine->readFor(0ms), "");
  }
}

// Two Kestrelgates on a pty of the test's own, the first holding the port, the second joined.
class PairOnPty {
 public:
  explicit PairOnPty(const RunAs& as) : as_(as) {
    // Another user may open it too (the test plays the chess computer either way).
    if (machine.ok()) chmod(machine.devicePath().c_str(), 0666);
  }
  std::vector<std::string> command() const {
    std::vector<std::string> command = as_.prefix;
    for (const std::string& word : engineCommand({machine.devicePath()})) command.push_back(word);
    return command;
  }
  std::unique_ptr<Child> start() {
    auto engine = std::make_unique<Child>(command());
    engine->sendLine("uci");
    if (!engine->readUntil("uciok\r\n")) ADD_FAILURE() << "no uciok " << as_.who;
    return engine;
  }
  bool begin() {
    if (!machine.ok()) return false;
    holder = start();
    joined = start();
    return Gui::holds(*holder, machine.devicePath());
  }
  static std::string ask(Child& engine) {
    engine.sendLine("go");
    return engine.readUntil("\r\n").value_or("no answer");
  }
  // The machine's first line, a move for each.
  void playFirstLine() {
    machine.print("01 e2-e4 e7-e5\r\n");
    EXPECT_EQ(ask(*holder), "bestmove e2e4\r\n");
    EXPECT_EQ(ask(*joined), "bestmove e7e5\r\n");
  }
  // Whether `engine` holds the port within a moment.
  bool comesToHold(const Child& engine) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!Gui::holds(engine, machine.devicePath())) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      kestrelgate::support::pauseFor(20ms);
    }
    return true;
  }

  FakeChessComputer machine;
  std::unique_ptr<Child> holder;
  std::unique_ptr<Child> joined;

 private:
  const RunAs& as_;
};

// Whatever order a game's pair ends in, the last one out puts the port back as it was found: no
// lock, no exclusive mark (which a pseudo-terminal, a network serial bridge or a port another
// program keeps open would keep), its settings; the next Kestrelgate on it has it. Quit to both
// in the same moment, as a GUI sends it at a game's end, is the order that left the mark.
TEST(E2ePair, ThePortIsPutBackByTheLastOneOut) {
  if (underWine()) GTEST_SKIP() << "Windows releases a COM port with its process";
  enum class Order { BothAtOnce, JoinedFirst, HolderFirst };
  const struct {
    const char* what;
    Order order;
    int games;
  } rows[] = {{"quit to both at once", Order::BothAtOnce, 20},
              {"the joined one quits first", Order::JoinedFirst, 1},
              {"the holder quits first", Order::HolderFirst, 1}};
  const auto quit = [](Child& engine) {
    engine.sendLine("quit");
    EXPECT_EQ(engine.waitExit(), 0);
  };
  for (const RunAs& as : users()) {
    for (const auto& row : rows) {
      for (int game = 1; game <= row.games; ++game) {
        SCOPED_TRACE(std::string(row.what) + ", game " + std::to_string(game) + ", " + as.who);
        PairOnPty pair(as);
        const std::string path = pair.machine.devicePath();
        ASSERT_TRUE(setToNineSixHundred(path));
        const std::optional<TerminalState> found = terminalState(path);
        ASSERT_TRUE(pair.begin());
        pair.playFirstLine();
        if (row.order == Order::BothAtOnce) {
          pair.holder->sendLine("quit");
          pair.joined->sendLine("quit");
        }
        if (row.order == Order::JoinedFirst) quit(*pair.joined);
        quit(*pair.holder);
        if (row.order == Order::HolderFirst) {
          EXPECT_TRUE(pair.comesToHold(*pair.joined));
        }
        quit(*pair.joined);
        EXPECT_EQ(terminalState(path), found);
        const std::unique_ptr<Child> next = pair.start();
        pair.machine.print("02 g1-f3\r\n");
        EXPECT_EQ(PairOnPty::ask(*next), "bestmove g1f3\r\n");
        quit(*next);
      }
    }
  }
}

// What was done to the pair before, as someone else would do it to a user's game: each row
// leaves the game as it would be without it.
TEST(E2ePair, NothingDoneToThePairCostsTheGameAMoveOrItsOwnerTheirPort) {
  if (underWine()) GTEST_SKIP() << "the Windows build meets at a named pipe, not a Unix socket";
  struct Row {
    const char* what;
    std::function<void(const RunAs&)> run;
  };
  // The holder ends after the machine's first line, and its GUI starts its engine again before
  // it asks the other side: the survivor holds the port, and the new engine joins it. After
  // quit the other side's move was handed over; after a kill it was only the dead holder's.
  const auto restarted = [](bool killed) {
    return [killed](const RunAs& as) {
      PairOnPty pair(as);
      ASSERT_TRUE(pair.begin());
      pair.machine.print("01 e2-e4 e7-e5\r\n");
      EXPECT_EQ(PairOnPty::ask(*pair.holder), "bestmove e2e4\r\n");
      if (killed) {
        pair.holder->kill();
      } else {
        pair.holder->sendLine("quit");
        EXPECT_EQ(pair.holder->waitExit(), 0);
      }
      pair.holder = pair.start();
      EXPECT_TRUE(pair.comesToHold(*pair.joined));
      EXPECT_FALSE(Gui::holds(*pair.holder, pair.machine.devicePath()));
      if (!killed) {
        EXPECT_EQ(PairOnPty::ask(*pair.joined), "bestmove e7e5\r\n");
      }
      pair.machine.print("02 g1-f3 b8-c6\r\n");
      EXPECT_EQ(PairOnPty::ask(killed ? *pair.joined : *pair.holder), "bestmove g1f3\r\n");
      EXPECT_EQ(PairOnPty::ask(killed ? *pair.holder : *pair.joined), "bestmove b8c6\r\n");
    };
  };
  const Row rows[] = {
      {"a listening socket under the name the pair once met at",
       [](const RunAs& as) {
         PairOnPty pair(as);
         struct stat node {};
         ASSERT_EQ(stat(pair.machine.devicePath().c_str(), &node), 0);
         const std::string name = "kestrelgate-port-" + std::to_string(major(node.st_rdev)) + ":" +
                                  std::to_string(minor(node.st_rdev));
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::memcpy(address.sun_path + 1, name.data(), name.size());
         const auto length =
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
         const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
         const int filler = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
         ASSERT_EQ(bind(squatter, reinterpret_cast<const sockaddr*>(&address), length), 0);
         listen(squatter, 0);
         connect(filler, reinterpret_cast<const sockaddr*>(&address), length);
         ASSERT_TRUE(pair.begin());
         pair.playFirstLine();
         close(filler);
         close(squatter);
       }},
      {"a partner that says nothing",
       [](const RunAs& as) {
         PairOnPty pair(as);
         pair.holder = pair.start();
         RawPartner silent(pair.machine.devicePath());
         pair.holder->sendLine("isready");
         EXPECT_TRUE(pair.holder->readUntil("readyok\r\n", 1000ms));
         pair.joined = pair.start();
         pair.playFirstLine();
         // Let go once its time for a hello is up (or at once: nobody's holder takes no root).
         if (silent.ok()) {
           EXPECT_TRUE(silent.endedByHolder());
         }
       }},
      {"the holder's engine started again after quit", restarted(false)},
      {"the holder killed, and its engine started again", restarted(true)},
      {"the holder ended by SIGTERM part way through a line",
       [](const RunAs& as) {
         PairOnPty pair(as);
         ASSERT_TRUE(pair.begin());
         pair.joined->sendLine("go");
         pair.machine.print("Thinking\r\n02 g1-");
         EXPECT_TRUE(pair.joined->readUntil("info string Thinking\r\n"));
         EXPECT_EQ(pair.machine.waitForUnreadBytes(0), 0);
         EXPECT_EQ(pair.holder->terminate(), -1);
         pair.machine.print("f3 b8-c6\r\n");
         EXPECT_EQ(pair.joined->readUntil("\r\n"), "bestmove g1f3\r\n");
         EXPECT_EQ(PairOnPty::ask(*pair.joined), "bestmove b8c6\r\n");
       }},
      {"the holder's pty gone and its number another program's when the holder ends",
       [](const RunAs& as) {
         PairOnPty pair(as);
         ASSERT_TRUE(pair.begin());
         const std::string path = pair.machine.devicePath();
         pair.joined->sendLine("go");
         pair.machine.unplug();
         ASSERT_TRUE(waitUntilLetGo(*pair.holder, path, kReplyTimeout));
         ASSERT_TRUE(waitUntilLetGo(*pair.joined, path, kReplyTimeout));
         std::unique_ptr<FakeChessComputer> stranger = ptyWithNumberOf(path, 10s);
         if (!stranger) return;  // the kernel did not hand the number out again
         chmod(path.c_str(), 0666);
         stranger->print("01 a1-a8\r\n");  // typed there: never a move of ours
         pair.holder->sendLine("quit");
         EXPECT_EQ(pair.holder->waitExit(), 0);
         EXPECT_EQ(pair.joined->readFor(1500ms), "");
         EXPECT_TRUE(waitUntilLetGo(*pair.joined, path, 0ms));
         EXPECT_EQ(stranger->unreadBytes(), 10);
         pair.joined->closeInput();
         EXPECT_EQ(pair.joined->waitExit(), 0);
       }},
      {"another program's exclusive mark on the terminal",
       [](const RunAs& as) {
         PairOnPty pair(as);
         const int other = open(pair.machine.devicePath().c_str(), O_RDWR | O_NOCTTY);
         ASSERT_GE(other, 0);
         ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
         expectRefused(pair.command());
         int exclusive = 0;
         EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
         EXPECT_EQ(exclusive, 1);
         close(other);
       }},
      {"the device gone while the joined process's go waits",
       [](const RunAs& as) {
         PairOnPty pair(as);
         ASSERT_TRUE(pair.begin());
         pair.joined->sendLine("go");
         pair.machine.unplug();
         ASSERT_TRUE(waitUntilLetGo(*pair.holder, pair.machine.devicePath(), kReplyTimeout));
         const long holderBefore = pair.holder->cpuTicks();
         const long joinedBefore = pair.joined->cpuTicks();
         EXPECT_EQ(pair.joined->readFor(3000ms), "");
         // A tick is 10 ms: a few for the tries at opening the device again, twice a second.
         EXPECT_LE(pair.holder->cpuTicks() - holderBefore, 5);
         EXPECT_LE(pair.joined->cpuTicks() - joinedBefore, 2);
         pair.holder->closeInput();
         pair.joined->closeInput();
         EXPECT_EQ(pair.holder->waitExit(), 0);
       }},
  };
  for (const RunAs& as : users()) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.what) + ", " + as.who);
      row.run(as);
    }
  }
}

}  // namespace
}  // namespace e2e
