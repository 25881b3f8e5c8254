#pragma once

#include <string>
#include <string_view>

namespace kestrelgate::console {

// Texts are byte strings in the system's single-byte code page; they may hold NUL bytes.

// Removes leading blanks (byte 32) and trailing blanks or NULs. Tabs stay, and so does a
// leading NUL: the chess computer's lines and the GUI's commands are trimmed alike.
std::string trimBlanks(std::string_view text);

// The decimal digits "0" to "9", whatever the locale.
inline bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Byte-by-byte case conversion with the character classification of the process's locale.
// The length never changes.
std::string toUpperText(std::string_view text);
std::string toLowerText(std::string_view text);

}  // namespace kestrelgate::console
