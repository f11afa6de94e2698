#include "Scenario.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace kivocam {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string quoted(std::string_view word) {
  std::string text = "\"";
  text.append(word);
  text.append("\"");
  return text;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Sign, digits with an optional fraction, optional exponent: "-2.5e3", ".5".
bool isDecimal(std::string_view word) {
  std::size_t i = 0;
  const auto digitsFrom = [&] {
    std::size_t count = 0;
    while (i < word.size() && isDigit(word[i])) ++i, ++count;
    return count;
  };
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
  std::size_t mantissa = digitsFrom();
  if (i < word.size() && word[i] == '.') {
    ++i;
    mantissa += digitsFrom();
  }
  if (mantissa == 0) return false;
  if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
    if (digitsFrom() == 0) return false;
  }
  return i == word.size();
}

[[noreturn]] void expected(std::string_view what, std::string_view kind, std::string_view word) {
  std::string message(what);
  message.append(": expected ");
  message.append(kind);
  message.append(", not ");
  message.append(quoted(word));
  throw ScenarioError(message);
}

}  // namespace

std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i == line.size()) break;
    if (line[i] == '#') break;  // a comment, to the end of the line
    const std::size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) {
    if (!line.empty()) line.push_back(' ');
    line.append(word);
  }
  return line;
}

double readNumber(std::string_view word, std::string_view what) {
  if (!isDecimal(word)) expected(what, "a number", word);
  // from_chars takes no leading '+'.
  const std::string_view digits = word.front() == '+' ? word.substr(1) : word;
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range && end == digits.data() + digits.size()) {
    // Out of range both ways: a number too small to represent reads as the
    // nearest one (zero or a denormal), a number too large is refused.
    const double nearest = std::strtod(std::string(digits).c_str(), nullptr);
    if (std::isfinite(nearest) && std::fabs(nearest) <= std::numeric_limits<double>::min()) return nearest;
    expected(what, "a finite number", word);
  }
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value))
    expected(what, "a finite number", word);
  return value;
}

std::int64_t readInteger(std::string_view word, std::string_view what) {
  std::string_view digits = word;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      (digits.size() < word.size() && digits.front() == '-'))
    expected(what, "a whole number", word);
  return value;
}

std::uint32_t readUnsigned32(std::string_view word, std::string_view what) {
  const std::int64_t value = readInteger(word, what);
  if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
    expected(what, "a whole number from 0 to 4294967295", word);
  return static_cast<std::uint32_t>(value);
}

bool readBool(std::string_view word, std::string_view what) {
  if (word == "true") return true;
  if (word == "false") return false;
  expected(what, "true or false", word);
}

bool readOnOff(std::string_view word, std::string_view what) {
  if (word == "on") return true;
  if (word == "off") return false;
  expected(what, "on or off", word);
}

}  // namespace kivocam
