#pragma once
// The text form of values in platform call traces and inspections: Booleans
// as true/false, numbers in the shortest text that reads back to the same
// value (fixed notation from 1e-6 up to below 1e21, exponent notation outside
// that range: 2.5, 1, 473.3333333333333, 1e+21, 1e-7), 32-bit floats with
// 32-bit precision, points as (X, Y), rectangles as (X, Y, W, H), lists as
// [A, B], none as nil.
// Thread-safe
// Pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CoreGraphics/CGGeometry.h"

std::string formatNumber(double value);
std::string formatNumber(float value);
std::string formatInteger(std::int64_t value);
std::string formatBool(bool value);
std::string formatPoint(CGPoint point);
std::string formatRect(CGRect rect);
std::string formatList(const std::vector<std::string>& items);

template <class T, class F>
std::string formatOptional(const std::optional<T>& value, F format) {
  return value ? format(*value) : std::string("nil");
}
