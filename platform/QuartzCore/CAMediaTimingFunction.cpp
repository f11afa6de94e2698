#include "QuartzCore/CAMediaTimingFunction.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace {

// One coordinate of the cubic Bézier with end points 0 and 1.
double bezier(double s, double p1, double p2) {
  const double u = 1 - s;
  return 3 * u * u * s * p1 + 3 * u * s * s * p2 + s * s * s;
}

double bezierSlope(double s, double p1, double p2) {
  const double u = 1 - s;
  return 3 * u * u * p1 + 6 * u * s * (p2 - p1) + 3 * s * s * (1 - p2);
}

}  // namespace

CAMediaTimingFunction::CAMediaTimingFunction(float c1x, float c1y, float c2x, float c2y)
    : points_{ControlPoint{c1x, c1y}, ControlPoint{c2x, c2y}} {
  assert(c1x >= 0 && c1x <= 1 && c2x >= 0 && c2x <= 1 && "timing function control points need x in [0, 1]");
}

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithControlPoints(float c1x, float c1y,
                                                                                        float c2x, float c2y) {
  return std::make_shared<CAMediaTimingFunction>(c1x, c1y, c2x, c2y);
}

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithName(std::string_view name) {
  if (name == kCAMediaTimingFunctionEaseIn) return functionWithControlPoints(0.42f, 0.0f, 1.0f, 1.0f);
  if (name == kCAMediaTimingFunctionEaseOut) return functionWithControlPoints(0.0f, 0.0f, 0.58f, 1.0f);
  if (name == kCAMediaTimingFunctionEaseInEaseOut) return functionWithControlPoints(0.42f, 0.0f, 0.58f, 1.0f);
  if (name == kCAMediaTimingFunctionDefault) return functionWithControlPoints(0.25f, 0.1f, 0.25f, 1.0f);
  assert(name == kCAMediaTimingFunctionLinear && "unknown timing function name");
  return functionWithControlPoints(0.0f, 0.0f, 1.0f, 1.0f);
}

CAMediaTimingFunction::ControlPoint CAMediaTimingFunction::controlPointAtIndex(int index) const {
  switch (index) {
    case 0: return {0, 0};
    case 1: return points_[0];
    case 2: return points_[1];
    default: return {1, 1};
  }
}

double CAMediaTimingFunction::evaluate(double t) const {
  if (!(t > 0)) return 0;
  if (t >= 1) return 1;
  const double x1 = points_[0].x, y1 = points_[0].y, x2 = points_[1].x, y2 = points_[1].y;
  // x(s) is monotonic for control x in [0, 1]: Newton from a good start,
  // bisection whenever Newton leaves the bracket or stalls.
  double lo = 0, hi = 1, s = t;
  for (int i = 0; i < 64; ++i) {
    const double x = bezier(s, x1, x2) - t;
    if (std::fabs(x) < 1e-14) break;
    if (x > 0)
      hi = s;
    else
      lo = s;
    const double slope = bezierSlope(s, x1, x2);
    double next = slope != 0 ? s - x / slope : (lo + hi) / 2;
    if (!(next > lo && next < hi)) next = (lo + hi) / 2;
    s = next;
  }
  return bezier(s, y1, y2);
}
