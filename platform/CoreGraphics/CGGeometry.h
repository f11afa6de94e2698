#pragma once
// Geometry values of the view and capture APIs.
// Thread-safe
// Plain values.

#include <cmath>

using CGFloat = double;

struct CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;

  CGFloat minX() const { return std::fmin(origin.x, origin.x + size.width); }
  CGFloat minY() const { return std::fmin(origin.y, origin.y + size.height); }
  CGFloat maxX() const { return std::fmax(origin.x, origin.x + size.width); }
  CGFloat maxY() const { return std::fmax(origin.y, origin.y + size.height); }
  CGFloat midX() const { return origin.x + size.width / 2; }
  CGFloat midY() const { return origin.y + size.height / 2; }
  CGFloat width() const { return std::fabs(size.width); }
  CGFloat height() const { return std::fabs(size.height); }
  /// Half-open on the far edges, as the view system hit-tests.
  bool contains(CGPoint p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

inline constexpr CGPoint CGPointZero{};
inline constexpr CGRect CGRectZero{};

inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
  return CGRect{{x, y}, {width, height}};
}
