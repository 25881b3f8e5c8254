#pragma once

#include <cstdio>
#include <string>

// Bytes as a difference report shows them: printable ASCII as it is, everything else (and the
// backslash) as \xHH, so that a stray control byte stands out.
inline std::string shownBytes(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f && c != '\\') {
      text.push_back(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      text += escaped;
    }
  }
  return text;
}
