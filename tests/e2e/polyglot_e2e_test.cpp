// A whole game through a real UCI client: PolyGlot runs kestrelgate as its engine, and the test
// drives PolyGlot from its xboard side the way XBoard would. PolyGlot keeps its own board and
// checks every move the engine names, so a move read wrongly from the chess computer shows up
// as an illegal move there, not only as a string that differs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// The next line PolyGlot writes, without its line end; nullopt when none comes in time.
std::optional<std::string> nextLine(Child& child, Millis timeout = kReplyTimeout) {
  std::optional<std::string> line = child.readUntil("\n", timeout);
  if (!line) return std::nullopt;
  line->pop_back();
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return line;
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// PolyGlot reports an engine move it cannot play as "Illegal move" or as a resignation
// "(illegal engine move ...)", and its own faults as "Error ..." or "tellusererror ...".
bool reportsAFault(const std::string& line) {
  const std::string text = lowered(line);
  return text.find("illegal") != std::string::npos || text.find("error") != std::string::npos;
}

bool isGameResult(const std::string& line) {
  return line.starts_with("1-0") || line.starts_with("0-1") || line.starts_with("1/2-1/2");
}

// Where wine's port points, for a failure message: when the engine never sees a move, a port
// link that is not the simulator's device is the first thing to look at.
std::string portNote() {
  if (!underWine()) return "";
  std::error_code error;
  const fs::path target = fs::read_symlink(winePortLink(), error);
  return " (wine's " + winePort() + " links to " + (error ? "nothing" : target.string()) + ")";
}

// PolyGlot's log, removed however the test ends.
struct LogFile {
  fs::path path;
  ~LogFile() {
    std::error_code ignored;
    fs::remove(path, ignored);
  }
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(E2ePolyglot, PolyglotPlaysTheOperaGameForAnXboardGui) {
  if (access(POLYGLOT_BINARY, X_OK) != 0) {
    GTEST_SKIP() << POLYGLOT_BINARY << " is not installed";
  }

  // The whole transcript goes into the pty at once and stays there: the engine takes one move
  // line from it for each "go", so the line's pace plays no part and the order is all that
  // counts.
  Child simulator(simulatorCommand({"--fast", "--linger", "-1", transcriptPath("opera-game.txt")}));
  ASSERT_TRUE(simulator.running());
  const std::optional<std::string> announced = simulator.readUntil("\n");
  const std::string prefix = "device: ";
  if (!announced || !announced->starts_with(prefix)) {
    GTEST_SKIP() << "the simulator could not offer a pseudo-terminal";
  }
  const std::string device =
      announced->substr(prefix.size(), announced->size() - prefix.size() - 1);

  const LogFile logFile{fs::temp_directory_path() /
                        ("kestrelgate-polyglot-" + std::to_string(getpid()) + ".log")};
  fs::remove(logFile.path);  // PolyGlot appends to its log

  // Even with -noini PolyGlot reads a settings file of the engine's name from ~/.polyglot;
  // options on the command line are applied after it, so these hold whatever that file says.
  // Its own book must stay shut, or PolyGlot would answer the opening without asking the
  // engine. OwnBook off is what a user unticking the engine's option sends: a setoption the
  // engine takes in its stride. The log is where PolyGlot tells whether the engine ended by
  // itself at "quit".
  Child polyglot({POLYGLOT_BINARY, "-noini", "-log", "true", "-lf", logFile.path.string(), "-pg",
                  "Book=false", "-uci", "OwnBook=false", "-ec",
                  shellWords(engineCommand({enginePortArgument(device)}))});
  ASSERT_TRUE(polyglot.running());

  // PolyGlot has the engine's "uciok" before it answers the xboard handshake.
  polyglot.sendLine("xboard");
  polyglot.sendLine("protover 2");
  const std::optional<std::string> features = polyglot.readUntil("feature done=1\n", Millis{10000});
  ASSERT_TRUE(features) << "no end of the feature list; got: " << polyglot.unread();
  EXPECT_NE(features->find("feature myname=\"Kestrelgate V1.1\""), std::string::npos) << *features;
  EXPECT_FALSE(reportsAFault(*features)) << *features;

  const std::vector<std::string> expected = {
      "e2e4", "e7e5", "g1f3", "d7d6", "d2d4", "c8g4", "d4e5", "g4f3", "d1f3", "d6e5", "f1c4",
      "g8f6", "f3b3", "d8e7", "b1c3", "c7c6", "c1g5", "b7b5", "c3b5", "c6b5", "c4b5", "b8d7",
      "e1c1", "a8d8", "d1d7", "d8d7", "h1d1", "e7e6", "b5d7", "f6d7", "b3b8", "d7b8", "d1d8"};

  // The engine plays both sides. "go" makes it play the side to move; after its move xboard
  // would wait for the other side, so "force" and "go" again hand it the other colour.
  polyglot.sendLine("new");
  std::vector<std::string> moves;
  std::vector<std::vector<std::string>> otherLines;  // per ply, what came before its move
  bool gameBroken = false;
  for (std::size_t ply = 0; ply < expected.size() && !gameBroken; ++ply) {
    polyglot.sendLine("force");
    polyglot.sendLine("go");
    otherLines.emplace_back();
    for (;;) {
      const std::optional<std::string> line = nextLine(polyglot);
      if (!line) {
        ADD_FAILURE() << "no move for ply " << ply + 1 << portNote()
                      << "; unread: " << polyglot.unread();
        gameBroken = true;
        break;
      }
      if (line->starts_with("move ")) {
        moves.push_back(line->substr(5));
        break;
      }
      if (reportsAFault(*line) || isGameResult(*line)) {
        ADD_FAILURE() << "at ply " << ply + 1 << " PolyGlot wrote: " << *line;
        gameBroken = true;
        break;
      }
      otherLines.back().push_back(*line);
    }
  }
  EXPECT_EQ(moves, expected);

  if (!gameBroken) {
    // PolyGlot's own board reached the mate.
    const std::optional<std::string> result = nextLine(polyglot);
    EXPECT_EQ(result, "1-0 {White mates}");

    // The chess computer's status lines reach the GUI as thinking output, each before the
    // move that followed it on the serial line.
    const std::vector<std::string> opening = {"Fidelity Chess Challenger", "Level: 3", "New game",
                                              "Thinking..."};
    EXPECT_EQ(otherLines.front().size(), opening.size());
    for (std::size_t i = 0; i < opening.size() && i < otherLines.front().size(); ++i) {
      EXPECT_TRUE(otherLines.front()[i].ends_with(" " + opening[i])) << otherLines.front()[i];
    }
    // The last "Check" follows white's b3-b8 and so comes before black's reply d7b8; the mate
    // itself follows with nothing before it.
    ASSERT_EQ(otherLines.size(), expected.size());
    const std::vector<std::string>& beforeReply = otherLines[otherLines.size() - 2];
    EXPECT_EQ(beforeReply.size(), 1u);
    for (const std::string& line : beforeReply) {
      EXPECT_TRUE(line.ends_with(" Check")) << line;
    }
    EXPECT_TRUE(otherLines.back().empty());
  }

  polyglot.sendLine("quit");
  EXPECT_EQ(polyglot.waitExit(), 0);
  EXPECT_EQ(polyglot.unread(), "");
  EXPECT_FALSE(reportsAFault(polyglot.output())) << polyglot.output();

  // PolyGlot exits 0 however its engine went; its log says whether the engine ended by itself
  // or had to be killed after "quit".
  const std::string log = readFile(logFile.path);
  const std::size_t quitAt = log.rfind("*** QUIT ***");
  const std::string ending = quitAt == std::string::npos ? log : log.substr(quitAt);
  EXPECT_NE(ending.find("Child exited with status 0."), std::string::npos) << ending;
  EXPECT_EQ(ending.find("Terminating"), std::string::npos) << ending;

  // The simulator printed the whole game and lingered until told to stop.
  EXPECT_EQ(simulator.terminate(), 0);
  EXPECT_EQ(simulator.unread(), "done\n");
}

}  // namespace
}  // namespace e2e
