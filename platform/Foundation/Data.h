#pragma once
// Encoded bytes (photo files, JSON text).
// Thread-safe
// A plain value.

#include <cstdint>
#include <vector>

using Data = std::vector<std::uint8_t>;
