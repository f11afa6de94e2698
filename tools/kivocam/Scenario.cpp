#include "Scenario.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace kivocam {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

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

// How long a quoted word may be, in bytes, before it is cut.
constexpr std::size_t kQuotedBytes = 40;

// Appends `text` with its control characters escaped; `quoting` also puts
// a backslash before a double quote and a backslash. Characters go one at a
// time, as in the platform's debug form (g++ 12 at -O3 misreports appends of
// short literals).
void appendEscaped(std::string& out, std::string_view text, bool quoting) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F in UTF-8.
    const bool c1 = c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (!c1 && c >= 0x20 && c != 0x7F) {
      if (quoting && (c == '"' || c == '\\')) out.push_back('\\');
      out.push_back(static_cast<char>(c));
      continue;
    }
    const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : c;
    out.push_back('\\');
    switch (code) {
      case 0: out.push_back('0'); break;
      case '\n': out.push_back('n'); break;
      case '\r': out.push_back('r'); break;
      case '\t': out.push_back('t'); break;
      default:
        out.push_back('u');
        out.push_back('{');
        if (code >= 0x10) out.push_back(kHex[code >> 4]);
        out.push_back(kHex[code & 0xF]);
        out.push_back('}');
    }
  }
}

}  // namespace

ScenarioError::ScenarioError(std::string_view message) : std::runtime_error(escapeControls(message)) {}

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
    appendEscaped(line, word, false);
  }
  return line;
}

std::string escapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendEscaped(out, text, false);
  return out;
}

std::string quote(std::string_view word) {
  std::size_t cut = word.size();
  if (cut > kQuotedBytes) {
    // Back to the start of a UTF-8 character (at most three continuation bytes).
    cut = kQuotedBytes;
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(word[cut]) & 0xC0) == 0x80; ++i) --cut;
  }
  std::string text = "\"";
  appendEscaped(text, word.substr(0, cut), true);
  if (cut < word.size()) text += "…";
  text.push_back('"');
  return text;
}

void refuseWord(std::string_view what, std::string_view expected, std::string_view word) {
  throw ScenarioError(std::string(what) + ": expected " + std::string(expected) + ", not " + quote(word));
}

void refuseOutOfRange(std::string_view what, std::string_view expected, std::string_view word) {
  throw ScenarioError(std::string(what) + ": " + quote(word) + " is out of range: expected " + std::string(expected));
}

NumberFit readDecimal(std::string_view word, double& value) {
  if (!isDecimal(word)) return NumberFit::notANumber;
  // from_chars takes no leading '+'.
  const std::string_view digits = word.front() == '+' ? word.substr(1) : word;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Out of range both ways: a number too small to represent reads as the
    // nearest one (zero or a denormal), a number too large is refused.
    value = std::strtod(std::string(digits).c_str(), nullptr);
    if (std::isfinite(value) && std::fabs(value) <= std::numeric_limits<double>::min()) return NumberFit::fits;
    return NumberFit::outOfRange;
  }
  return error == std::errc() && end == digits.data() + digits.size() ? NumberFit::fits : NumberFit::notANumber;
}

NumberFit readWhole(std::string_view word, std::int64_t& value) {
  std::string_view digits = word;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  const bool twoSigns = digits.size() < word.size() && !digits.empty() && digits.front() == '-';
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || twoSigns || end != digits.data() + digits.size()) return NumberFit::notANumber;
  if (error == std::errc::result_out_of_range) return NumberFit::outOfRange;
  return error == std::errc() ? NumberFit::fits : NumberFit::notANumber;
}

}  // namespace kivocam
