#pragma once
// Affine transforms of the plane, as the drawing and layer APIs use them:
//
//   x' = a x + c y + tx
//   y' = b x + d y + ty
//
// Thread-safe
// Plain values.

#include <cmath>

#include "CoreGraphics/CGGeometry.h"

struct CGAffineTransform {
  CGFloat a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  friend bool operator==(const CGAffineTransform&, const CGAffineTransform&) = default;
};

inline constexpr CGAffineTransform CGAffineTransformIdentity{};

inline CGAffineTransform CGAffineTransformMakeTranslation(CGFloat tx, CGFloat ty) { return {1, 0, 0, 1, tx, ty}; }
inline CGAffineTransform CGAffineTransformMakeScale(CGFloat sx, CGFloat sy) { return {sx, 0, 0, sy, 0, 0}; }

/// `t1` then `t2`: a point goes through `t1` first.
inline CGAffineTransform CGAffineTransformConcat(const CGAffineTransform& t1, const CGAffineTransform& t2) {
  return {t1.a * t2.a + t1.b * t2.c,   t1.a * t2.b + t1.b * t2.d,
          t1.c * t2.a + t1.d * t2.c,   t1.c * t2.b + t1.d * t2.d,
          t1.tx * t2.a + t1.ty * t2.c + t2.tx, t1.tx * t2.b + t1.ty * t2.d + t2.ty};
}

/// `t` preceded by a translation (the new origin in `t`'s input space).
inline CGAffineTransform CGAffineTransformTranslate(const CGAffineTransform& t, CGFloat tx, CGFloat ty) {
  return CGAffineTransformConcat(CGAffineTransformMakeTranslation(tx, ty), t);
}
/// `t` preceded by a scale.
inline CGAffineTransform CGAffineTransformScale(const CGAffineTransform& t, CGFloat sx, CGFloat sy) {
  return CGAffineTransformConcat(CGAffineTransformMakeScale(sx, sy), t);
}

inline bool CGAffineTransformIsIdentity(const CGAffineTransform& t) { return t == CGAffineTransformIdentity; }

/// The inverse; `t` itself when it cannot be inverted (determinant 0).
inline CGAffineTransform CGAffineTransformInvert(const CGAffineTransform& t) {
  const CGFloat det = t.a * t.d - t.b * t.c;
  if (det == 0 || !std::isfinite(det)) return t;
  return {t.d / det, -t.b / det, -t.c / det, t.a / det,
          (t.c * t.ty - t.d * t.tx) / det, (t.b * t.tx - t.a * t.ty) / det};
}

inline CGPoint CGPointApplyAffineTransform(CGPoint p, const CGAffineTransform& t) {
  return {t.a * p.x + t.c * p.y + t.tx, t.b * p.x + t.d * p.y + t.ty};
}

/// The smallest axis-aligned rectangle holding the transformed rectangle.
inline CGRect CGRectApplyAffineTransform(CGRect r, const CGAffineTransform& t) {
  const CGPoint p[4] = {CGPointApplyAffineTransform({r.minX(), r.minY()}, t),
                        CGPointApplyAffineTransform({r.maxX(), r.minY()}, t),
                        CGPointApplyAffineTransform({r.minX(), r.maxY()}, t),
                        CGPointApplyAffineTransform({r.maxX(), r.maxY()}, t)};
  CGFloat x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
  for (const auto& q : p) {
    x0 = std::fmin(x0, q.x);
    x1 = std::fmax(x1, q.x);
    y0 = std::fmin(y0, q.y);
    y1 = std::fmax(y1, q.y);
  }
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}
