// Real UCI clients against the built program and the simulated chess computer: cutechess-cli
// playing engine against engine with a Kestrelgate per side, and a python-chess script with one
// Kestrelgate for both sides. Both judge every move against their own board, so a move the
// program completes wrongly (a promotion without its piece) ends the game there. The clients
// are not packaged for Debian 12; they are found in ../shared/clients beside the project (or in
// KESTRELGATE_CLIENTS), and the tests say why they skip where they are not.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The games with promotions, and the Opera game.
std::vector<Game> games() {
  std::vector<Game> all;
  for (const char* name :
       {"opera-game.txt", "promotion-queen.txt", "promotion-rook.txt", "promotion-knight.txt"}) {
    Game game = gameOf(name);
    EXPECT_FALSE(game.uci.empty() || game.san.empty() || game.result.empty()) << name;
    all.push_back(std::move(game));
  }
  return all;
}

fs::path clientsDir() {
  const char* configured = std::getenv("KESTRELGATE_CLIENTS");
  return configured != nullptr && *configured != '\0' ? fs::path(configured)
                                                      : fs::path(CLIENTS_DIR);
}

// The moves of a PGN's movetext in SAN, and its result, without numbers and comments.
void readPgn(const fs::path& file, std::vector<std::string>& san, std::string& result) {
  std::ifstream in(file);
  std::string movetext;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("[Result \"", 0) == 0) result = line.substr(9, line.find('"', 9) - 9);
    if (!line.empty() && line[0] != '[') movetext += line + " ";
  }
  std::string plain;
  int depth = 0;
  for (const char c : movetext) {
    if (c == '{') ++depth;
    if (depth == 0) plain += c;
    if (c == '}') --depth;
  }
  for (const std::string& word : words(plain)) {
    if (word.back() == '.' || word == result || word == "*") continue;
    san.push_back(word);
  }
}

// A client that has played `game` to its end and saved it: the PGN has its moves and its result.
void expectRecorded(Child& client, const fs::path& pgn, const Game& game, Millis timeout) {
  ASSERT_TRUE(client.waitExit(replyAllowance(timeout)).has_value()) << client.output();
  std::vector<std::string> san;
  std::string result;
  readPgn(pgn, san, result);
  EXPECT_EQ(san, game.san) << client.output();
  EXPECT_EQ(result, game.result);
}

// cutechess-cli plays each game with a Kestrelgate per side, as a GUI starts them: two
// processes on one port, "go infinite" (tc=inf), "isready" before each go; at the end "quit".
TEST(E2eClients, CutechessPlaysEachGameWithAKestrelgatePerSide) {
  const fs::path cutechess = clientsDir() / "cutechess-cli";
  if (!fs::exists(cutechess)) GTEST_SKIP() << "no cutechess-cli in " << clientsDir();
  Child probe({cutechess.string(), "--version"}, true);
  if (probe.waitExit(10s) != 0) {
    GTEST_SKIP() << "cutechess-cli does not run here (it needs Qt 5: apt-get install libqt5core5a)";
  }
  for (const Game& game : games()) {
    SCOPED_TRACE(game.transcript);
    const SimulatedMachine machine =
        startSimulator({"--fast", "--linger", "-1", transcriptPath(game.transcript)});
    if (machine.device.empty()) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
    const std::vector<std::string> engine = engineCommand({enginePortArgument(machine.device)});
    const fs::path pgn =
        fs::temp_directory_path() / ("kestrelgate-cutechess-" + std::to_string(getpid()) + ".pgn");
    fs::remove(pgn);
    std::vector<std::string> command{cutechess.string()};
    for (const char* side : {"White", "Black"}) {
      command.insert(command.end(), {"-engine", std::string("name=") + side, "cmd=" + engine[0]});
      for (std::size_t i = 1; i < engine.size(); ++i) command.push_back("arg=" + engine[i]);
    }
    command.insert(command.end(),
                   {"-each", "proto=uci", "tc=inf", "-games", "1", "-pgnout", pgn.string()});
    Child match(command, true);
    expectRecorded(match, pgn, game, 60s);
    fs::remove(pgn);
  }
}

// A python-chess script, one Kestrelgate for both sides: engine.play() sends the position and a
// go without limit, and refuses any move that is not legal on its board.
TEST(E2eClients, PythonChessPlaysEachGameWithOneKestrelgate) {
  const fs::path library = clientsDir() / "python-chess-1.11.2";
  if (!fs::exists(library / "chess")) GTEST_SKIP() << "no python-chess in " << clientsDir();
  if (Child({"python3", "-c", "import sys; sys.exit(sys.version_info < (3, 8))"}, true)
          .waitExit(10s) != 0) {
    GTEST_SKIP() << "no Python 3.8 or later (python3)";
  }
  const std::string script =
      "import sys, chess, chess.engine\n"
      "board = chess.Board()\n"
      "with chess.engine.SimpleEngine.popen_uci(sys.argv[1:]) as engine:\n"
      "    while not board.is_game_over():\n"
      "        board.push(engine.play(board, chess.engine.Limit()).move)\n"
      "print(' '.join(m.uci() for m in board.move_stack))\n"
      "print(board.result())\n";
  for (const Game& game : games()) {
    SCOPED_TRACE(game.transcript);
    const SimulatedMachine machine =
        startSimulator({"--fast", "--linger", "-1", transcriptPath(game.transcript)});
    if (machine.device.empty()) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
    std::vector<std::string> command{"env", "PYTHONPATH=" + library.string(), "python3", "-c",
                                     script};
    for (const std::string& word : engineCommand({enginePortArgument(machine.device)})) {
      command.push_back(word);
    }
    Child play(command);
    ASSERT_TRUE(play.waitExit(replyAllowance(60s)).has_value());
    std::string moves;
    for (std::size_t i = 0; i < game.uci.size(); ++i) moves += (i > 0 ? " " : "") + game.uci[i];
    EXPECT_EQ(play.output(), moves + "\n" + game.result + "\n");
  }
}

// xboard in match mode (-mm) with a PolyGlot per side, each running a Kestrelgate on the one
// port, under a virtual X server; it saves the game and ends by itself (-xexit). xboard has no
// untimed play: 600 minutes a side is as good. PolyGlot's book stays shut, or it would answer
// the opening itself.
TEST(E2eClients, XboardMatchModePlaysAGameWithAPolyglotPerSide) {
  for (const char* tool : {XBOARD_BINARY, POLYGLOT_BINARY, XVFB_BINARY}) {
    if (access(tool, X_OK) != 0) {
      GTEST_SKIP() << tool << " is not installed (apt-get install xboard polyglot xvfb)";
    }
  }
  // Xvfb picks a display nobody uses and says its number once it takes connections: a number
  // of our own choosing may be another test's, or have a killed server's socket file left on it.
  Child xserver({XVFB_BINARY, "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                true);
  const std::optional<std::string> number = xserver.readUntil("\n", 10s);
  if (!number) GTEST_SKIP() << "Xvfb did not start";
  const std::string display = ":" + number->substr(0, number->size() - 1);
  const fs::path home =
      fs::temp_directory_path() / ("kestrelgate-xboard-" + std::to_string(getpid()));
  // Under wine one game: a finished game's engine whose last go waits does not see PolyGlot
  // go (wine shows no reader leaving a pipe), and holds the port into the next game.
  std::vector<const char*> names{"opera-game.txt"};
  if (!underWine()) names.push_back("promotion-rook.txt");
  for (const char* name : names) {
    const Game game = gameOf(name);
    SCOPED_TRACE(name);
    const SimulatedMachine machine =
        startSimulator({"--fast", "--linger", "-1", transcriptPath(name)});
    if (machine.device.empty()) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
    fs::remove_all(home);
    fs::create_directories(home);
    // xboard splits the command at blanks but keeps what is quoted, which PolyGlot splits again.
    std::string kestrelgate;
    for (const std::string& word : engineCommand({enginePortArgument(machine.device)})) {
      kestrelgate += (kestrelgate.empty() ? "" : " ") + word;
    }
    const std::string engine = std::string(POLYGLOT_BINARY) +
                               " -noini -pg Book=false -uci OwnBook=false -ec '" + kestrelgate +
                               "'";
    const fs::path pgn = home / "game.pgn";
    std::vector<std::string> command{"env",         "DISPLAY=" + display, "HOME=" + home.string(),
                                     XBOARD_BINARY, "-saveGameFile",      pgn.string()};
    // The first and the second engine: each a PolyGlot, working in the same directory.
    for (const std::string side : {"f", "s"}) {
      command.insert(command.end(), {"-" + side + "cp", engine, "-" + side + "d", home.string()});
    }
    for (const std::string& word :
         words("-mm -matchGames 1 -tc 600 -inc 0 -xponder -xexit -saveSettingsOnExit false")) {
      command.push_back(word);
    }
    Child match(command, true);
    expectRecorded(match, pgn, game, 120s);
  }
  fs::remove_all(home);
  xserver.terminate();  // ended, not killed: it takes its socket file and lock with it
}

}  // namespace
}  // namespace e2e
