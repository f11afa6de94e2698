#pragma once
// Errors handed back by platform operations.
// Thread-safe
// A plain value.

#include <cstdint>
#include <string>

struct NSError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;

  /// The platform's printed form:
  /// Error Domain=<domain> Code=<code> "<localizedDescription>"
  std::string description() const;

  friend bool operator==(const NSError&, const NSError&) = default;
};
