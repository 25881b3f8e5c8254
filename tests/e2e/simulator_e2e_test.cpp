// Whole games: the simulated chess computer prints a transcript on its pty, kestrelgate reads
// it, and a scripted GUI asks for every move in turn.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

struct Session {
  std::unique_ptr<Child> simulator;
  std::unique_ptr<Child> engine;
};

// Starts the simulator on the transcript and kestrelgate on its device; empty when no pty.
// With a linkPath the engine opens the device through a symbolic link the simulator makes, as
// it would a /dev/serial/by-id name.
Session startSession(const std::string& transcript, const std::vector<std::string>& simOptions,
                     const std::string& linkPath = "") {
  Session session;
  std::vector<std::string> arguments = simOptions;
  if (!linkPath.empty()) {
    arguments.push_back("--link");
    arguments.push_back(linkPath);
  }
  arguments.push_back("--linger");
  arguments.push_back("-1");  // keep the pty until we are done: a hang-up would drop queued bytes
  arguments.push_back(transcriptPath(transcript));
  SimulatedMachine machine = startSimulator(arguments);
  session.simulator = std::move(machine.process);
  if (machine.device.empty()) return session;
  const std::string& device = machine.device;
  session.engine = std::make_unique<Child>(
      engineCommand({enginePortArgument(linkPath.empty() ? device : linkPath)}));
  return session;
}

// Plays the game as a GUI would and returns every line the engine wrote.
std::vector<std::string> playGame(Child& engine, std::size_t plies) {
  engine.sendLine("uci");
  EXPECT_TRUE(engine.readUntil("uciok\r\n"));
  engine.sendLine("isready");
  EXPECT_TRUE(engine.readUntil("readyok\r\n"));
  engine.sendLine("ucinewgame");
  std::string moves;
  std::vector<std::string> lines;
  for (std::size_t ply = 0; ply < plies; ++ply) {
    engine.sendLine("position startpos" + (moves.empty() ? "" : " moves" + moves));
    engine.sendLine("go wtime 300000 btime 300000");
    const std::optional<std::string> reply = engine.readUntil("bestmove ");
    const std::optional<std::string> move = engine.readUntil("\r\n");
    if (!reply || !move) {
      ADD_FAILURE() << "no bestmove for ply " << ply + 1 << "; unread: " << engine.unread();
      break;
    }
    std::size_t start = 0;
    for (std::size_t at; (at = reply->find("\r\n", start)) != std::string::npos; start = at + 2) {
      lines.push_back(reply->substr(start, at - start));
    }
    const std::string bestmove = move->substr(0, move->size() - 2);
    lines.push_back("bestmove " + bestmove);
    moves += " " + bestmove;
  }
  engine.sendLine("quit");
  EXPECT_EQ(engine.waitExit(), 0);
  EXPECT_EQ(engine.unread(), "");
  return lines;
}

std::vector<std::string> bestmoves(const std::vector<std::string>& lines) {
  std::vector<std::string> moves;
  for (const std::string& line : lines) {
    if (line.starts_with("bestmove ")) moves.push_back(line.substr(9));
  }
  return moves;
}

TEST(E2eSimulator, TheOperaGameIsPlayedMoveByMove) {
  Session session = startSession("opera-game.txt", {"--fast"});
  if (!session.engine) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  ASSERT_TRUE(session.engine->running());

  const std::vector<std::string>& expected = kOperaGameMoves;
  const std::vector<std::string> lines = playGame(*session.engine, expected.size());
  EXPECT_EQ(bestmoves(lines), expected);

  // The status lines arrive as info strings, each before the move that followed it.
  ASSERT_GE(lines.size(), 5u);
  const std::vector<std::string> head(lines.begin(), lines.begin() + 5);
  EXPECT_EQ(head, (std::vector<std::string>{"info string Fidelity Chess Challenger",
                                            "info string Level: 3", "info string New game",
                                            "info string Thinking...", "bestmove e2e4"}));
  // A status line comes after the move it is about: the last "Check", after white's b3-b8,
  // reaches the GUI before black's reply.
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{"bestmove b3b8", "info string Check", "bestmove d7b8",
                                      "bestmove d1d8"}));
  // The simulator had printed all of it and lingered until told to stop.
  EXPECT_EQ(session.simulator->terminate(), 0);
  EXPECT_EQ(session.simulator->unread(), "done\n");
}

TEST(E2eSimulator, APromotionIsAnsweredWithThePiecePrintedAfterIt) {
  // The rook comes from the position the GUI sends: the machine prints e7xf8R.
  const Game game = gameOf("promotion-rook.txt");
  Session session = startSession(game.transcript, {"--fast"});
  if (!session.engine) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  ASSERT_TRUE(session.engine->running());
  EXPECT_EQ(bestmoves(playGame(*session.engine, game.uci.size())), game.uci);
  EXPECT_EQ(session.simulator->terminate(), 0);
}

TEST(E2eSimulator, OddBytesWithBitSevenSetThroughASymlinkedDevice) {
  const std::string link =
      (std::filesystem::temp_directory_path() / ("kestrelgate-e2e-" + std::to_string(getpid())))
          .string();
  Session session = startSession("odd-bytes.txt", {"--fast", "--bit7"}, link);
  if (!session.engine) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  ASSERT_TRUE(session.engine->running());

  const std::vector<std::string> lines = playGame(*session.engine, 9);
  const std::vector<std::string> expected = {
      std::string("info string \0", 13) + "12 a2a3 a7a6",
      "info string Draw\t\tepert",
      "bestmove e2e4",
      "bestmove g1f3",
      "bestmove b8c6",
      "bestmove a2a4",
      "bestmove h7h5",
      "bestmove e4xd",
      "bestmove  d8x",  // the columns count, and the first move took 5 bytes
      "bestmove d2d4",
      "bestmove d7d5"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(session.simulator->terminate(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link));  // removed at exit
}

TEST(E2eSimulator, ScholarsMateAtTheLinePace) {
  // 600 bit/s is 60 bytes a second: the 67 bytes up to the mate take over a second.
  const auto start = std::chrono::steady_clock::now();
  Session session = startSession("scholars-mate.txt", {});
  if (!session.engine) GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  ASSERT_TRUE(session.engine->running());

  const std::vector<std::string> lines = playGame(*session.engine, 7);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(lines, (std::vector<std::string>{"info string LEVEL 1", "bestmove e2e4",
                                             "bestmove e7e5", "bestmove f1c4", "bestmove b8c6",
                                             "bestmove d1h5", "bestmove g8f6", "bestmove h5f7"}));
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  session.simulator->terminate();
}

}  // namespace
}  // namespace e2e
