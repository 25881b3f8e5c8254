// The console's output side in stream mode (standard output a pipe or a file) over a console
// whose write calls each take as many bytes as the input says, take none, or fail. The input
// also gives a run of writeText and writeLine calls with their texts.
//
// Beside it, a model of the pipe: every request is one text, or the line end CR LF on its own;
// an empty text is no request at all. A request is written from its first byte on, each write
// call asked for all the bytes still to go; a call that fails or takes nothing ends the request
// and drops what is left of it, and the next request is written whole again. The model
// predicts every write call with the bytes it is given and the bytes on the wire; the first
// difference aborts with a line starting "model:".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/console_output.h"
#include "console/console_platform.h"
#include "shown_bytes.h"

namespace {

using kestrelgate::console::ConsolePlatform;
using kestrelgate::console::ConsoleWindow;
using kestrelgate::console::Waitable;

[[noreturn]] void differ(const std::string& what) {
  std::fprintf(stderr, "model: %s\n", what.c_str());
  std::abort();
}

// What one write call does with the bytes it is given.
struct WriteCall {
  enum Kind { kTake, kTakeNothing, kFail } kind = kTake;
  std::size_t most = 0;  // for kTake: at most this many bytes, at least one
};

WriteCall writeCallFrom(std::uint8_t byte) {
  switch (byte & 7) {
    case 0:
      return {WriteCall::kFail, 0};
    case 1:
      return {WriteCall::kTakeNothing, 0};
    default:
      return {WriteCall::kTake, static_cast<std::size_t>(byte >> 3) + 1u};
  }
}

// Stream mode has nothing to draw on: a request that reaches a screen is a difference.
class NoScreen final : public kestrelgate::console::ScreenWriter {
 public:
  void writeRequest(const char*, std::size_t) override {
    differ("a console without a text area was drawn on as a screen");
  }
};

class NoInput final : public kestrelgate::console::InputStream {
 public:
  bool getPiece(char*, int) override { return false; }
};

// A console whose write calls follow a script; once it runs out, every call takes everything.
class ScriptedConsole final : public ConsolePlatform {
 public:
  void fetchHandles() override { ++setUps; }
  bool queryWindow(ConsoleWindow& reported) override {
    reported = window;
    return isConsole;
  }
  bool writeOutput(const char* data, std::size_t length, std::size_t& written) override {
    calls.emplace_back(data, length);
    const WriteCall call = script.empty() ? WriteCall{WriteCall::kTake, length} : script.front();
    if (!script.empty()) script.pop_front();
    written = 0;
    if (call.kind == WriteCall::kFail) return false;
    if (call.kind == WriteCall::kTake) written = call.most < length ? call.most : length;
    wire.append(data, written);
    return true;
  }
  kestrelgate::console::ScreenWriter* screenWriter() override { return &screen; }
  kestrelgate::console::InputStream& standardInput() override { return input; }
  bool waitForInputHangUp(std::uint32_t) override { return false; }
  Waitable outputGone() override { return {}; }

  bool isConsole = false;
  ConsoleWindow window;
  std::deque<WriteCall> script;
  std::vector<std::string> calls;  // the bytes each write call was given
  std::string wire;                // the bytes the calls took, in order
  int setUps = 0;

 private:
  NoScreen screen;
  NoInput input;
};

// The model of the pipe, with its own copy of the script.
class Model {
 public:
  explicit Model(std::deque<WriteCall> script) : script_(std::move(script)) {}

  void request(std::string_view bytes) {
    setUp = true;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const std::string_view rest = bytes.substr(sent);
      calls.emplace_back(rest);
      WriteCall call{WriteCall::kTake, rest.size()};
      if (!script_.empty()) {
        call = script_.front();
        script_.pop_front();
      }
      if (call.kind != WriteCall::kTake) return;  // the rest of this request is dropped
      const std::size_t taken = call.most < rest.size() ? call.most : rest.size();
      wire.append(rest.substr(0, taken));
      sent += taken;
    }
  }

  std::vector<std::string> calls;
  std::string wire;
  bool setUp = false;

 private:
  std::deque<WriteCall> script_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t position = 0;
  auto next = [&]() -> std::uint8_t { return position < size ? data[position++] : 0; };

  ScriptedConsole platform;
  // Each of these is stream mode: no console, a window one row high, a window one column wide.
  switch (next() % 3) {
    case 0:
      break;
    case 1:
      platform.isConsole = true;
      platform.window = ConsoleWindow{0, 7, 79, 7};
      break;
    default:
      platform.isConsole = true;
      platform.window = ConsoleWindow{0, 0, 0, 24};
      break;
  }
  for (std::size_t n = next(); n > 0; --n) platform.script.push_back(writeCallFrom(next()));
  Model model(platform.script);
  kestrelgate::console::ConsoleOutput output(platform);

  while (position < size) {
    const std::uint8_t op = next();
    const std::size_t length = std::min<std::size_t>(op >> 1, size - position);
    const std::string_view text(reinterpret_cast<const char*>(data) + position, length);
    position += length;
    const bool line = (op & 1) != 0;
    if (line) {
      output.writeLine(text);
      if (!text.empty()) model.request(text);
      model.request("\r\n");
    } else {
      output.writeText(text);
      if (!text.empty()) model.request(text);
    }

    const char* what = line ? "writeLine" : "writeText";
    if (platform.calls != model.calls) {
      differ(std::string(what) + " \"" + shownBytes(std::string(text)) + "\" made " +
             std::to_string(platform.calls.size()) + " write calls in all, the model " +
             std::to_string(model.calls.size()) + " (or other bytes in a call)");
    }
    if (platform.wire != model.wire) {
      differ(std::string(what) + " \"" + shownBytes(std::string(text)) + "\": the pipe holds \"" +
             shownBytes(platform.wire) + "\", the model \"" + shownBytes(model.wire) + "\"");
    }
    // The one-time set-up comes with the first bytes to be written, and only once.
    if (output.isSetUp() != model.setUp || platform.setUps != (model.setUp ? 1 : 0)) {
      differ(std::string("after ") + what + " the console was set up " +
             std::to_string(platform.setUps) + " times");
    }
    if (output.inScreenMode()) differ("a console without a text area runs in screen mode");
  }
  return 0;
}
