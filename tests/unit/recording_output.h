#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "console/console_output.h"

namespace kestrelgate::fakes {

// What reached the GUI: the bytes on the wire and each write request on its own.
class RecordingOutput final : public console::LineOutput {
 public:
  void writeText(std::string_view text) override {
    if (text.empty()) return;
    wire.append(text);
    requests.emplace_back(text);
  }
  void writeLine(std::string_view text) override {
    writeText(text);
    wire.append("\r\n");
    requests.emplace_back("\r\n");
  }
  std::string wire;
  std::vector<std::string> requests;
};

}  // namespace kestrelgate::fakes
