#include "Foundation/TraceFormat.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace {

// Lays out the shortest round-trip digits of a number: plain decimal for
// exponents from -7 to 20, exponent notation otherwise.
template <class T>
std::string layoutShortest(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0" : "0";

  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));

  std::string out;
  std::size_t pos = 0;
  if (text[pos] == '-') {
    out.push_back('-');
    ++pos;
  }
  const std::size_t ePos = text.find('e');
  std::string digits;
  for (std::size_t i = pos; i < ePos; ++i)
    if (text[i] != '.') digits.push_back(text[i]);
  const int exponent = std::atoi(std::string(text.substr(ePos + 1)).c_str());
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;  // digits before the decimal point

  if (k <= n && n <= 21) {
    out.append(digits);
    out.append(static_cast<std::size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out.append(digits, 0, static_cast<std::size_t>(n));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(n), std::string::npos);
  } else if (-6 < n && n <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-n), '0');
    out.append(digits);
  } else {
    out.push_back(digits[0]);
    if (k > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.push_back(n - 1 < 0 ? '-' : '+');
    out.append(std::to_string(std::abs(n - 1)));
  }
  return out;
}

}  // namespace

std::string formatNumber(double value) { return layoutShortest(value); }
std::string formatNumber(float value) { return layoutShortest(value); }
std::string formatInteger(std::int64_t value) { return std::to_string(value); }
std::string formatBool(bool value) { return value ? "true" : "false"; }

std::string formatPoint(CGPoint point) {
  std::string out = "(";
  out.append(formatNumber(point.x));
  out.append(", ");
  out.append(formatNumber(point.y));
  out.push_back(')');
  return out;
}

std::string formatRect(CGRect rect) {
  std::string out = "(";
  out.append(formatNumber(rect.origin.x));
  out.append(", ");
  out.append(formatNumber(rect.origin.y));
  out.append(", ");
  out.append(formatNumber(rect.size.width));
  out.append(", ");
  out.append(formatNumber(rect.size.height));
  out.push_back(')');
  return out;
}

std::string formatList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append(items[i]);
  }
  out.push_back(']');
  return out;
}
