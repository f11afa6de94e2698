#pragma once
// The scenario language's lexical layer: lines into words, words into
// numbers, and words back into text fit for a terminal (the echo and error
// messages). What each command's words mean is the command table's
// (Commands.h).

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kivocam {

/// A wrong scenario line: the message is printed after `FILE:LINE: `. Its
/// control bytes are escaped as `escapeControls` does, whoever wrote it, so
/// that it is one line and nothing in it reaches a terminal raw.
class ScenarioError : public std::runtime_error {
 public:
  explicit ScenarioError(std::string_view message);
};

/// The words of a line, split at blanks (spaces, tabs, carriage returns),
/// up to a comment: a word that begins with `#` starts one, to the end of
/// the line. Empty for a blank line or a line that is all comment.
std::vector<std::string> splitWords(std::string_view line);

/// The words joined by one blank, as the trace echoes a line, with their
/// control bytes escaped.
std::string joinWords(const std::vector<std::string>& words);

/// `text` with its control characters written as the platform's debug form
/// writes them: NUL as \0, newline, carriage return and tab as \n \r \t,
/// any other C0 byte, DEL and a UTF-8 C1 control as \u{X} (uppercase hex).
/// Everything else, backslashes included, is kept.
std::string escapeControls(std::string_view text);

/// A scenario word as messages quote it: in double quotes, a double quote
/// and a backslash in it preceded by a backslash, control characters escaped
/// as `escapeControls` does, and a word longer than 40 bytes cut there (at a
/// character boundary) and ended with an ellipsis.
std::string quote(std::string_view word);

/// `WHAT: expected EXPECTED, not "WORD"`: the word is not what is expected.
[[noreturn]] void refuseWord(std::string_view what, std::string_view expected, std::string_view word);
/// `WHAT: "WORD" is out of range: expected EXPECTED`: the word is a number
/// of the right kind, outside the range that `what` takes.
[[noreturn]] void refuseOutOfRange(std::string_view what, std::string_view expected, std::string_view word);

/// How a word reads as a number.
enum class NumberFit { fits, notANumber, outOfRange };

/// A decimal number: sign, digits with an optional fraction, optional
/// exponent ("-2.5e3", ".5"). `outOfRange` when its magnitude is beyond the
/// largest double; a number too small to represent reads as the nearest
/// (zero or a denormal).
NumberFit readDecimal(std::string_view word, double& value);
/// A whole decimal number (sign and digits); `outOfRange` beyond 64 bits.
NumberFit readWhole(std::string_view word, std::int64_t& value);

}  // namespace kivocam
