// Port settings texts: the parser against a plain model of the grammar. For every text both
// must agree on whether it is accepted, and on every field of the record; a rejected text
// leaves the caller's record as it was, and the name test agrees with the parser on the name.
//
// The model reads the text the way a person reading the grammar would: cut at the first colon,
// split at commas, look at each field on its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/port_spec.h"

namespace {

using kestrelgate::link::ParityKind;
using kestrelgate::link::PortSpec;
using kestrelgate::link::StopBitsKind;

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// The port name: its number, or nothing when the name is not one the link accepts.
std::optional<std::uint32_t> modelName(std::string_view text) {
  const std::string head = upper(text.substr(0, 4));
  if (head == "SER:") return 1u;
  if (text.size() < 4) return std::nullopt;
  if (head.substr(0, 3) != "COM") {
    if (text.find(':') == std::string_view::npos) return std::nullopt;
    return 0u;
  }
  std::size_t end = 3;
  while (end < text.size() && digit(text[end])) ++end;
  if (end >= text.size() || text[end] != ':') return std::nullopt;
  std::uint64_t number = 0;
  for (std::size_t i = 3; i < end; ++i) number = (number * 10 + (text[i] - '0')) % (1ull << 32);
  return static_cast<std::uint32_t>(number);
}

std::string trimmed(std::string_view field) {
  std::size_t first = 0;
  std::size_t last = field.size();
  while (first < last && (field[first] == ' ' || field[first] == '\t')) ++first;
  while (last > first && (field[last - 1] == ' ' || field[last - 1] == '\t')) --last;
  return std::string(field.substr(first, last - first));
}

// An unsigned number: leading blanks, one sign, digits (at least one), nothing after; "-"
// gives the two's complement. With emptyIsZero, a text of blanks only reads as 0.
std::optional<std::uint32_t> modelNumber(const std::string& text, bool emptyIsZero) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) {
    return emptyIsZero ? std::optional<std::uint32_t>(0) : std::nullopt;
  }
  std::string rest = text.substr(start);
  bool negative = false;
  if (rest[0] == '+' || rest[0] == '-') {
    negative = rest[0] == '-';
    rest.erase(0, 1);
  }
  if (rest.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : rest) {
    if (!digit(c)) return std::nullopt;
    value = (value * 10 + static_cast<std::uint64_t>(c - '0')) % (1ull << 32);
  }
  if (negative) value = ((1ull << 32) - value) % (1ull << 32);
  return static_cast<std::uint32_t>(value);
}

// The stop-bits field: a decimal real number that must be exactly 1, 1.5 or 2.
std::optional<StopBitsKind> modelStopBits(const std::string& field) {
  std::size_t i = 0;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) ++i;
  const bool negative = !field.empty() && field[0] == '-';
  std::string whole;
  std::string fraction;
  while (i < field.size() && digit(field[i])) whole += field[i++];
  if (i < field.size() && field[i] == '.') {
    ++i;
    while (i < field.size() && digit(field[i])) fraction += field[i++];
  }
  if (whole.empty() && fraction.empty()) return std::nullopt;
  long long exponent = 0;
  if (i < field.size() && (field[i] == 'e' || field[i] == 'E')) {
    ++i;
    bool minus = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) minus = field[i++] == '-';
    std::string digits;
    while (i < field.size() && digit(field[i])) digits += field[i++];
    if (digits.empty()) return std::nullopt;
    digits.erase(0, digits.find_first_not_of('0') == std::string::npos
                        ? digits.size()
                        : digits.find_first_not_of('0'));
    // The whole text is at most a few thousand digits: an exponent this long puts the value
    // far from 1, 1.5 and 2.
    if (digits.size() > 7) {
      exponent = minus ? -100000000 : 100000000;
    } else {
      exponent = digits.empty() ? 0 : std::stoll(digits);
      if (minus) exponent = -exponent;
    }
  }
  if (i != field.size()) return std::nullopt;
  if (negative) return std::nullopt;
  // The value is 0.<whole><fraction> x 10^(whole.size() + exponent); find its first and last
  // significant digits.
  const std::string all = whole + fraction;
  const std::size_t first = all.find_first_not_of('0');
  if (first == std::string::npos) return std::nullopt;
  const std::size_t last = all.find_last_not_of('0');
  const std::string significant = all.substr(first, last - first + 1);
  // Where the first significant digit stands: 0 means the units, -1 the tenths.
  const long long place =
      static_cast<long long>(whole.size()) - 1 - static_cast<long long>(first) + exponent;
  if (place != 0) return std::nullopt;
  if (significant == "1") return StopBitsKind::One;
  if (significant == "15") return StopBitsKind::OneAndHalf;
  if (significant == "2") return StopBitsKind::Two;
  return std::nullopt;
}

std::optional<PortSpec> model(std::string_view text) {
  const std::optional<std::uint32_t> name = modelName(text);
  if (!name) return std::nullopt;
  PortSpec spec;
  spec.portNumber = *name;
  bool stopGiven = false;
  std::vector<std::string> fields;
  const std::string list(text.substr(text.find(':') + 1));
  std::string field;
  for (char c : list) {
    if (c == ',') {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  for (std::size_t index = 0; index < fields.size(); ++index) {
    const std::string f = trimmed(fields[index]);
    if (f.empty()) continue;
    const std::string word = upper(f);
    if (index == 0 || index == 2) {
      const std::optional<std::uint32_t> n = modelNumber(f, false);
      if (!n) return std::nullopt;
      (index == 0 ? spec.speed : spec.dataBits) = *n;
    } else if (index == 1) {
      if (word == "N") {
        spec.parity = ParityKind::None;
      } else if (word == "E") {
        spec.parity = ParityKind::Even;
      } else if (word == "O") {
        spec.parity = ParityKind::Odd;
      } else if (word == "S") {
        spec.parity = ParityKind::Space;
      } else if (word == "M") {
        spec.parity = ParityKind::Mark;
      } else if (word == "PE") {
        spec.parity = ParityKind::Even;
        spec.checkParity = true;
      } else {
        return std::nullopt;
      }
    } else if (index == 3) {
      const std::optional<StopBitsKind> stop = modelStopBits(f);
      if (!stop) return std::nullopt;
      spec.stopBits = *stop;
      stopGiven = true;
    } else {
      const std::string two = word.substr(0, 2);
      std::uint32_t* number = two == "CS"   ? &spec.ctsTimeout
                              : two == "DS" ? &spec.dsrTimeout
                              : two == "CD" ? &spec.cdTimeout
                              : two == "OP" ? &spec.openTimeout
                              : two == "TB" ? &spec.txBufferSize
                              : two == "RB" ? &spec.rxBufferSize
                              : two == "IR" ? &spec.irq
                                            : nullptr;
      if (number != nullptr) {
        const std::optional<std::uint32_t> n = modelNumber(f.substr(2), true);
        if (!n) return std::nullopt;
        *number = *n;
      } else if (word == "RS") {
        spec.suppressRts = true;
      } else if (word == "LF" || word == "ASC") {
        spec.addLf = true;
      } else if (word == "BIN") {
        spec.addLf = false;
      } else if (word == "PE") {
        spec.checkParity = true;
      } else if (word == "DT") {
        spec.dtrEnable = true;
      } else if (word == "FE") {
        spec.discardOnError = true;
      } else if (word == "ME") {
        spec.ignoreAllErrors = true;
      } else {
        return std::nullopt;
      }
    }
  }
  if (!stopGiven) {
    spec.stopBits = spec.speed > 110     ? StopBitsKind::One
                    : spec.dataBits == 5 ? StopBitsKind::OneAndHalf
                                         : StopBitsKind::Two;
  }
  return spec;
}

[[noreturn]] void differ(const char* what, std::string_view text) {
  std::fprintf(stderr, "model: %s for \"%.*s\"\n", what, static_cast<int>(text.size()),
               text.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrelgate::link;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PortSpec spec;
  spec.speed = 12345;
  const PortSpec before = spec;
  const bool accepted = parsePortSpec(text, spec) == kestrelgate::console::IoResult::Ok;
  const std::optional<PortSpec> expected = model(text);
  if (accepted != expected.has_value()) differ(accepted ? "accepted" : "rejected", text);
  if (accepted && !(spec == *expected)) differ("a field differs", text);
  if (!accepted && !(spec == before)) differ("a rejected text left a partial record", text);
  if (testPortName(text) != modelName(text)) differ("the name test differs", text);
  return 0;
}
