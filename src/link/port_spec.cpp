// The port settings text: a port name up to the first colon, then a comma-separated settings
// list. Parsing is pure text work; letters are compared as ASCII without regard to case, so the
// result never depends on the process's locale.
//
// Numbers wider than 32 bits wrap modulo 2^32, in port names and in fields alike; that is the
// same arithmetic the "-" sign already uses for its two's complement.
#include "link/port_spec.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/text.h"

namespace kestrelgate::link {
namespace {

using console::IoResult;
using console::isDigit;

char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (upperAscii(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool equalsNoCase(std::string_view text, std::string_view word) {
  return text.size() == word.size() && startsWithNoCase(text, word);
}

std::string_view trimField(std::string_view field) {
  while (!field.empty() && isBlank(field.front())) field.remove_prefix(1);
  while (!field.empty() && isBlank(field.back())) field.remove_suffix(1);
  return field;
}

// Leading blanks, one optional sign, then decimal digits and nothing else. With allowEmpty an
// empty text (blanks only) reads as 0, as it does after a keyword; a lone sign never reads.
std::optional<std::uint32_t> readNumber(std::string_view text, bool allowEmpty) {
  std::size_t pos = 0;
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  if (pos == text.size()) return allowEmpty ? std::optional<std::uint32_t>(0) : std::nullopt;
  bool negative = false;
  if (text[pos] == '+' || text[pos] == '-') {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (!isDigit(text[pos])) return std::nullopt;
    value = value * 10u + static_cast<std::uint32_t>(text[pos] - '0');
  }
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

// The stop-bits field is a real number in decimal notation: optional sign, digits with an
// optional fraction, optional exponent. Only 1, 1.5 and 2 are wanted, so instead of going through
// a binary floating-point value (and the locale's decimal point) the number is kept exactly as
// significant digits times a power of ten, which makes "1.50" and "15e-1" compare equal to 1.5.
std::optional<StopBitsKind> readStopBits(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  std::string_view::size_type digitCount = 0;
  std::int64_t exponent = 0;
  constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;
  std::string significant;  // integer and fraction digits; the fraction counts in the exponent
  for (; pos < text.size() && isDigit(text[pos]); ++pos, ++digitCount) significant += text[pos];
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    for (; pos < text.size() && isDigit(text[pos]); ++pos, ++digitCount) {
      significant += text[pos];
      if (exponent > -kExponentCap) --exponent;
    }
  }
  if (digitCount == 0) return std::nullopt;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negativeExponent = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negativeExponent = text[pos] == '-';
      ++pos;
    }
    if (pos == text.size() || !isDigit(text[pos])) return std::nullopt;
    std::int64_t written = 0;
    for (; pos < text.size() && isDigit(text[pos]); ++pos) {
      // Saturate: an exponent this large cannot be offset by the digits of any real field.
      if (written < kExponentCap) written = written * 10 + (text[pos] - '0');
    }
    exponent += negativeExponent ? -written : written;
  }
  if (pos != text.size()) return std::nullopt;

  // Normalise: no leading zeros, no trailing zeros (each one moves into the exponent).
  std::string_view sig = significant;
  while (!sig.empty() && sig.front() == '0') sig.remove_prefix(1);
  while (!sig.empty() && sig.back() == '0') {
    sig.remove_suffix(1);
    ++exponent;
  }
  if (sig.empty() || negative) return std::nullopt;
  if (sig == "1" && exponent == 0) return StopBitsKind::One;
  if (sig == "15" && exponent == -1) return StopBitsKind::OneAndHalf;
  if (sig == "2" && exponent == 0) return StopBitsKind::Two;
  return std::nullopt;
}

std::optional<ParityKind> readParity(std::string_view field, bool& checkParity) {
  if (equalsNoCase(field, "PE")) {
    checkParity = true;
    return ParityKind::Even;
  }
  if (field.size() != 1) return std::nullopt;
  switch (upperAscii(field[0])) {
    case 'N':
      return ParityKind::None;
    case 'E':
      return ParityKind::Even;
    case 'O':
      return ParityKind::Odd;
    case 'S':
      return ParityKind::Space;
    case 'M':
      return ParityKind::Mark;
    default:
      return std::nullopt;
  }
}

// One keyword field (already trimmed). A field that begins with a number keyword's two letters is
// that keyword or nothing: its rest must be a number.
bool applyKeyword(std::string_view field, PortSpec& spec) {
  struct NumberKeyword {
    std::string_view name;
    std::uint32_t PortSpec::*target;
  };
  static constexpr NumberKeyword kNumberKeywords[] = {
      {"CS", &PortSpec::ctsTimeout},   {"DS", &PortSpec::dsrTimeout},
      {"CD", &PortSpec::cdTimeout},    {"OP", &PortSpec::openTimeout},
      {"TB", &PortSpec::txBufferSize}, {"RB", &PortSpec::rxBufferSize},
      {"IR", &PortSpec::irq},
  };
  for (const NumberKeyword& keyword : kNumberKeywords) {
    if (startsWithNoCase(field, keyword.name)) {
      const std::optional<std::uint32_t> number =
          readNumber(field.substr(keyword.name.size()), /*allowEmpty=*/true);
      if (!number) return false;
      spec.*keyword.target = *number;
      return true;
    }
  }

  struct FlagKeyword {
    std::string_view name;
    bool PortSpec::*target;
    bool value;
  };
  static constexpr FlagKeyword kFlagKeywords[] = {
      {"RS", &PortSpec::suppressRts, true},    {"LF", &PortSpec::addLf, true},
      {"ASC", &PortSpec::addLf, true},         {"BIN", &PortSpec::addLf, false},
      {"PE", &PortSpec::checkParity, true},    {"DT", &PortSpec::dtrEnable, true},
      {"FE", &PortSpec::discardOnError, true}, {"ME", &PortSpec::ignoreAllErrors, true},
  };
  for (const FlagKeyword& keyword : kFlagKeywords) {
    if (equalsNoCase(field, keyword.name)) {
      spec.*keyword.target = keyword.value;
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::uint32_t> testPortName(std::string_view text) {
  if (startsWithNoCase(text, "SER:")) return 1u;
  if (text.size() <= 3) return std::nullopt;
  if (!startsWithNoCase(text, "COM")) {
    if (text.find(':') != std::string_view::npos) return 0u;
    return std::nullopt;
  }
  std::uint32_t number = 0;
  std::size_t pos = 3;
  for (; pos < text.size() && isDigit(text[pos]); ++pos) {
    number = number * 10u + static_cast<std::uint32_t>(text[pos] - '0');
  }
  if (pos == text.size() || text[pos] != ':') return std::nullopt;
  return number;
}

IoResult parsePortSpec(std::string_view text, PortSpec& spec) {
  const std::optional<std::uint32_t> portNumber = testPortName(text);
  if (!portNumber) return IoResult::IllegalRequest;

  PortSpec parsed;
  parsed.portNumber = *portNumber;
  bool stopBitsGiven = false;

  // Every accepted name holds a colon, so the list always has a start.
  std::string_view list = text.substr(text.find(':') + 1);
  std::size_t fieldIndex = 0;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view field = trimField(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    const std::size_t index = fieldIndex++;
    if (field.empty()) continue;

    switch (index) {
      case 0: {
        const auto speed = readNumber(field, /*allowEmpty=*/false);
        if (!speed) return IoResult::IllegalRequest;
        parsed.speed = *speed;
        break;
      }
      case 1: {
        const auto parity = readParity(field, parsed.checkParity);
        if (!parity) return IoResult::IllegalRequest;
        parsed.parity = *parity;
        break;
      }
      case 2: {
        const auto dataBits = readNumber(field, /*allowEmpty=*/false);
        if (!dataBits) return IoResult::IllegalRequest;
        parsed.dataBits = *dataBits;
        break;
      }
      case 3: {
        const auto stopBits = readStopBits(field);
        if (!stopBits) return IoResult::IllegalRequest;
        parsed.stopBits = *stopBits;
        stopBitsGiven = true;
        break;
      }
      default:
        if (!applyKeyword(field, parsed)) return IoResult::IllegalRequest;
        break;
    }
  }

  if (!stopBitsGiven) {
    // Slow lines want the longer stop: 1.5 for 5-bit codes, 2 otherwise.
    if (parsed.speed > 110) {
      parsed.stopBits = StopBitsKind::One;
    } else if (parsed.dataBits == 5) {
      parsed.stopBits = StopBitsKind::OneAndHalf;
    } else {
      parsed.stopBits = StopBitsKind::Two;
    }
  }

  spec = parsed;
  return IoResult::Ok;
}

}  // namespace kestrelgate::link
