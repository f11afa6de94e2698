#pragma once
// Encoded bytes (photo files, JSON text).

#include <cstdint>
#include <vector>

using Data = std::vector<std::uint8_t>;
