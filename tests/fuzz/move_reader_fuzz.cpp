// Arbitrary serial bytes: the reader must never crash, every answer is 3 or 4 characters, and
// every relayed line is one "info string" line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "uci/move_reader.h"

namespace {

struct EndOfData {};

class CountingOutput final : public kestrelgate::console::LineOutput {
 public:
  void writeText(std::string_view text) override {
    if (text != "info string ") std::abort();
    pendingPrefix = true;
  }
  void writeLine(std::string_view text) override {
    if (!pendingPrefix || text.size() < 2) std::abort();
    pendingPrefix = false;
  }
  bool pendingPrefix = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate::uci;
  std::size_t position = 0;
  CountingOutput output;
  MoveReader reader(
      [&]() -> std::string {
        if (position >= size) throw EndOfData{};
        const std::uint8_t byte = data[position++];
        // Byte 0x01 stands for a read that delivered nothing.
        if (byte == 0x01) return std::string();
        return std::string(1, static_cast<char>(byte));
      },
      output, [] { return true; });
  try {
    for (;;) {
      const MoveReply reply = reader.readMove().value();
      if (reply.move.size() < 3 || reply.move.size() > 4 || reply.secondMove.size() > 4) {
        std::abort();
      }
    }
  } catch (const EndOfData&) {
  }
  return 0;
}
