#pragma once

namespace kestrelgate::console {

// The result of every channel operation and of parsing a port settings text.
// The numeric values are part of the program's contract and never change.
enum class IoResult : int {
  Ok = 0,
  IllegalRequest = 1,
  OpenFailed = 2,
  IoFailed = 3,
  QueryFailed = 8,
};

}  // namespace kestrelgate::console
