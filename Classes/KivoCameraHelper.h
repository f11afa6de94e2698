#pragma once

#include <cstdint>

// The memory probe the session setup uses to pick its resolution.
//
// Thread-safe
class KivoCameraHelper {
 public:
  KivoCameraHelper() = delete;

  // Free plus inactive memory in bytes, from the kernel's host statistics.
  // When the statistics cannot be read: 9223372036854775807 (2^63 - 1),
  // which the caller treats as plenty. The two page counts are summed in 32
  // bits (wrapping) before the 64-bit multiplication by the page size.
  static std::uint64_t availableMemory();
};
