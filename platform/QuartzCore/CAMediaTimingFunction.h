#pragma once
// Timing functions: cubic Bézier curves from (0, 0) to (1, 1) mapping an
// animation's linear progress to its eased progress.
// Thread-safe
// Immutable.

#include <array>
#include <memory>
#include <string>
#include <string_view>

inline constexpr std::string_view kCAMediaTimingFunctionLinear = "linear";
inline constexpr std::string_view kCAMediaTimingFunctionEaseIn = "easeIn";
inline constexpr std::string_view kCAMediaTimingFunctionEaseOut = "easeOut";
inline constexpr std::string_view kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
inline constexpr std::string_view kCAMediaTimingFunctionDefault = "default";

class CAMediaTimingFunction {
 public:
  struct ControlPoint {
    float x = 0;
    float y = 0;
  };

  /// The curve with control points (c1x, c1y) and (c2x, c2y). The x
  /// coordinates must lie in [0, 1] so that the curve is a function of time
  /// (asserted in debug builds).
  static std::shared_ptr<CAMediaTimingFunction> functionWithControlPoints(float c1x, float c1y, float c2x, float c2y);

  /// A named curve; an unknown name is a programming error (asserts, then
  /// falls back to linear).
  static std::shared_ptr<CAMediaTimingFunction> functionWithName(std::string_view name);

  /// Index 0 is (0, 0), 1 and 2 the control points, 3 is (1, 1).
  ControlPoint controlPointAtIndex(int index) const;

  /// The eased progress at linear progress `t` (clamped to [0, 1]): solves
  /// x(s) = t for the curve parameter s and returns y(s).
  double evaluate(double t) const;

  CAMediaTimingFunction(float c1x, float c1y, float c2x, float c2y);

 private:
  std::array<ControlPoint, 2> points_;
};
