#pragma once

#include <string>
#include <utility>

#include "console/console_platform.h"

namespace kestrelgate::fakes {

// Standard input as a text-mode stream would deliver it, with fgets semantics.
class ScriptedInput final : public console::InputStream {
 public:
  explicit ScriptedInput(std::string data) : data_(std::move(data)) {}

  bool getPiece(char* buffer, int size) override {
    ++calls;
    if (position_ >= data_.size()) return false;
    int n = 0;
    while (n < size - 1 && position_ < data_.size()) {
      const char c = data_[position_++];
      buffer[n++] = c;
      if (c == '\n') break;
    }
    buffer[n] = '\0';
    return true;
  }

  int calls = 0;

 private:
  std::string data_;
  std::size_t position_ = 0;
};

}  // namespace kestrelgate::fakes
