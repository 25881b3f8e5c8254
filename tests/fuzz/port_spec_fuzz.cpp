// Arbitrary port-spec texts: the parser must never crash, and whatever it accepts must be
// a text with a port name that the name test accepts as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "link/port_spec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate::link;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PortSpec spec;
  spec.speed = 12345;
  const PortSpec before = spec;
  const auto result = parsePortSpec(text, spec);
  if (result == kestrelgate::console::IoResult::Ok) {
    if (!testPortName(text)) std::abort();
  } else if (!(spec == before)) {
    std::abort();  // a rejected text leaves no partial record
  }
  return 0;
}
