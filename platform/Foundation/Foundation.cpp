// Small Foundation pieces: errors, fatal errors, number objects.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Foundation/FatalError.h"
#include "Foundation/NSError.h"
#include "Foundation/NotificationCenter.h"

std::string NSError::description() const {
  std::string text = "Error Domain=";
  text.append(domain);
  text.append(" Code=");
  text.append(std::to_string(code));
  text.append(" \"");
  text.append(localizedDescription);
  text.push_back('"');
  return text;
}

void fatalError(std::string_view message, const char* file, int line) {
  std::fprintf(stderr, "Fatal error: %.*s: file %s, line %d\n", static_cast<int>(message.size()),
               message.data(), file, line);
  std::fflush(stderr);
  std::abort();
}

std::int64_t NSNumber::integerValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return *i;
  if (const auto* b = std::get_if<bool>(&value_)) return *b ? 1 : 0;
  const double d = std::get<double>(value_);
  // Truncates toward zero like the platform; out-of-range values saturate.
  if (!(d == d)) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

double NSNumber::doubleValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<bool>(&value_)) return *b ? 1.0 : 0.0;
  return std::get<double>(value_);
}

std::optional<std::int64_t> integerValueOf(const UserInfoValue& value) {
  if (const auto* number = std::get_if<NSNumber>(&value)) return number->integerValue();
  return std::nullopt;
}
