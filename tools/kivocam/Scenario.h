#pragma once
// The scenario language's lexical layer: lines into words, and words into
// numbers, whole numbers and Booleans, each with an error message that names
// what was expected. What each command's words mean is the command table's
// (Commands.h).

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivocam {

/// A wrong scenario line: the message is printed after `FILE:LINE: `.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The words of a line, split at blanks (spaces, tabs, carriage returns),
/// up to a comment: a word that begins with `#` starts one, to the end of
/// the line. Empty for a blank line or a line that is all comment.
std::vector<std::string> splitWords(std::string_view line);

/// The words joined by one blank, as the trace echoes a line.
std::string joinWords(const std::vector<std::string>& words);

/// A decimal number (sign, fraction and exponent allowed; finite). `what`
/// names the argument in the error ("zoomWithScale: scale").
double readNumber(std::string_view word, std::string_view what);
/// A whole decimal number that fits 64 bits.
std::int64_t readInteger(std::string_view word, std::string_view what);
/// A whole decimal number, not negative, that fits 32 bits.
std::uint32_t readUnsigned32(std::string_view word, std::string_view what);
/// `true` or `false`.
bool readBool(std::string_view word, std::string_view what);
/// `on` or `off`.
bool readOnOff(std::string_view word, std::string_view what);

}  // namespace kivocam
