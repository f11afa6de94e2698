// The bitmap context: state, fills and strokes, images. Text is in CGText.cpp,
// PNG encoding in CGPNG.cpp.
//
// Pixels are handled as 32-bit words (R in the low byte, A in the high byte,
// colour premultiplied). Channel arithmetic runs two channels at a time in
// the 16-bit lanes of a word (R and B, then G and A), weights out of 256.
//
// Coverage: axis-aligned rectangles (any CTM without rotation or shear, or a
// quarter turn) are covered exactly by the area of each pixel inside. Other
// shapes (rotated or sheared rectangles, rounded corners, strokes) go
// through a scanline polygon rasteriser that accumulates, for each row, the
// signed area each edge leaves to its right; the running sum along the row
// is the exact area of the pixel inside the polygon (nonzero winding, the
// stroke's inner contour running the other way). Arcs are flattened to
// chords within 0.02 pixel.
//
// Images: each destination pixel whose centre is inside the transformed
// rectangle (and the clip) is sampled through the inverse mapping. Each row
// finds its span once, then steps texel coordinates in 16.16 fixed point;
// the interpolation runs on 16-bit vector lanes, one instantiation per
// layout, per upright or rotated row and per blended or stored result.

#include "CoreGraphics/CGContext.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

static_assert(std::endian::native == std::endian::little, "pixels are handled as little-endian 32-bit words");

namespace {

constexpr int kMaximumSide = 16384;
// Saved states reserved up front: deeper nesting still works, it allocates.
constexpr std::size_t kReservedStates = 64;
// Chords per quarter circle at most, and the points of two rounded contours.
constexpr int kMaximumArcSegments = 64;
constexpr int kMaximumPathPoints = 2 * 4 * (kMaximumArcSegments + 1);
// Far enough outside any bitmap that clamping there changes nothing drawn.
constexpr double kCoordinateLimit = 1 << 24;

int checkedSide(int side) {
  if (side < 1 || side > kMaximumSide) throw std::invalid_argument("CGContext: sizes must be 1 ... 16384");
  return side;
}

double clamp01(double v) { return v > 0 ? (v < 1 ? v : 1) : 0; }  // NaN to 0

/// A pixel-space coordinate as an int, NaN and far values clamped.
int toInt(double v) {
  if (!(v > -kCoordinateLimit)) return static_cast<int>(-kCoordinateLimit);
  if (!(v < kCoordinateLimit)) return static_cast<int>(kCoordinateLimit);
  return static_cast<int>(v);
}
/// The first pixel whose centre is at or after `edge`.
int centreEdge(double edge) { return toInt(std::ceil(edge - 0.5)); }

// --- Pixel words ---------------------------------------------------------

std::uint32_t load(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void store(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

/// Every channel times f / 256, f in 0 ... 256.
std::uint32_t scale(std::uint32_t px, std::uint32_t f) {
  const std::uint32_t rb = (((px & 0x00FF00FFu) * f) >> 8) & 0x00FF00FFu;
  const std::uint32_t ga = (((px >> 8) & 0x00FF00FFu) * f) & 0xFF00FF00u;
  return rb | ga;
}
/// 0 ... 255 as a weight out of 256 (255 -> 256).
std::uint32_t weight(std::uint32_t v) { return v + (v >> 7); }
/// Source over destination, both premultiplied.
std::uint32_t over(std::uint32_t src, std::uint32_t dst) { return src + scale(dst, 256 - (src >> 24)); }

/// A premultiplied colour scaled by a coverage of 0 ... 1.
std::uint32_t covered(std::uint32_t color, double coverage) {
  const auto c = static_cast<std::uint32_t>(clamp01(coverage) * 255 + 0.5);
  return c == 255 ? color : scale(color, weight(c));
}

/// `count` pixels from `p` composited with the premultiplied `src`; an
/// opaque source is stored as whole words.
void blendSpan(std::uint8_t* p, int count, std::uint32_t src) {
  const std::uint32_t sa = src >> 24;
  if (sa == 255) {
    for (int i = 0; i < count; ++i) store(p + 4 * i, src);
  } else if (src != 0) {
    const std::uint32_t f = 256 - sa;
    for (int i = 0; i < count; ++i) store(p + 4 * i, src + scale(load(p + 4 * i), f));
  }
}

// --- Polygon rasteriser --------------------------------------------------

/// An edge oriented downwards; `direction` is +1 when it was drawn downwards.
struct Edge {
  double x, top, bottom, dxdy;
  float direction;
};

/// Adds to `acc` the signed area a line inside one row (y in 0 ... 1, x in
/// 0 ... n of an n + 2 entry row) leaves to its right, so that the running
/// sum is each pixel's coverage.
void addLine(float* acc, double x0, double y0, double x1, double y1, float direction) {
  const double d = direction * (y1 - y0);
  if (d == 0) return;
  const double xl = std::min(x0, x1), xr = std::max(x0, x1);
  const int il = static_cast<int>(std::floor(xl));
  const int ir = static_cast<int>(std::ceil(xr));
  if (ir <= il + 1) {
    const double xm = 0.5 * (x0 + x1) - il;
    acc[il] += static_cast<float>(d * (1 - xm));
    acc[il + 1] += static_cast<float>(d * xm);
    return;
  }
  const double s = 1 / (xr - xl);
  const double fl = xl - il;
  const double a0 = 0.5 * s * (1 - fl) * (1 - fl);
  const double fr = xr - ir + 1;
  const double am = 0.5 * s * fr * fr;
  acc[il] += static_cast<float>(d * a0);
  if (ir == il + 2) {
    acc[il + 1] += static_cast<float>(d * (1 - a0 - am));
  } else {
    const double a1 = s * (1.5 - fl);
    acc[il + 1] += static_cast<float>(d * (a1 - a0));
    for (int i = il + 2; i < ir - 1; ++i) acc[i] += static_cast<float>(d * s);
    const double a2 = a1 + (ir - il - 3) * s;
    acc[ir - 1] += static_cast<float>(d * (1 - a2 - am));
  }
  acc[ir] += static_cast<float>(d * am);
}

/// Columns of a row's coverage that a line changed: [first, last].
struct Touched {
  int first, last;
};

/// As addLine, for any x: the parts left of 0 or right of n run along those
/// edges instead (all that matters of them is the winding they add).
Touched addClippedLine(float* acc, int n, double x0, double y0, double x1, double y1, float direction) {
  if (!std::isfinite(x0) || !std::isfinite(x1)) return {0, -1};  // an edge too steep to place
  double cuts[3];
  int count = 0;
  for (const double bound : {0.0, static_cast<double>(n)}) {
    if ((x0 - bound) * (x1 - bound) < 0) cuts[count++] = (bound - x0) / (x1 - x0);
  }
  if (count == 2 && cuts[0] > cuts[1]) std::swap(cuts[0], cuts[1]);
  cuts[count++] = 1;
  const auto xAt = [&](double t) { return std::clamp(x0 + (x1 - x0) * t, 0.0, static_cast<double>(n)); };
  double t0 = 0;
  for (int k = 0; k < count; ++k) {
    const double t1 = cuts[k];
    addLine(acc, xAt(t0), y0 + (y1 - y0) * t0, xAt(t1), y0 + (y1 - y0) * t1, direction);
    t0 = t1;
  }
  return {static_cast<int>(std::floor(std::min(xAt(0), xAt(1)))),
          static_cast<int>(std::ceil(std::max(xAt(0), xAt(1)))) + 1};
}

/// The rounded rectangle's outline, clockwise in user space (y down), or
/// the other way round, through `t`. Returns the number of points written.
int appendRoundedRect(CGPoint* out, double x0, double y0, double x1, double y1, double radius, int segments,
                      bool reversed, const CGAffineTransform& t) {
  const CGPoint centres[4] = {{x1 - radius, y0 + radius}, {x1 - radius, y1 - radius},
                              {x0 + radius, y1 - radius}, {x0 + radius, y0 + radius}};
  int count = 0;
  for (int corner = 0; corner < 4; ++corner) {
    for (int k = 0; k <= segments; ++k) {
      const double angle = std::numbers::pi / 2 * (corner - 1 + (segments ? double(k) / segments : 0.5));
      const CGPoint p{centres[corner].x + radius * std::cos(angle), centres[corner].y + radius * std::sin(angle)};
      out[count++] = CGPointApplyAffineTransform(radius > 0 ? p : centres[corner], t);
    }
  }
  if (reversed) std::reverse(out, out + count);
  return count;
}

// --- Images --------------------------------------------------------------

using Layout = CGImagePixelLayout;

// Bilinear sampling works on two neighbouring texels at once, one channel a
// 16-bit lane (GCC and Clang vector extensions: SSE2 on x86, NEON on Arm):
// R0 G0 B0 A0 R1 G1 B1 A1, in the image's byte order until `finish`.
using Lanes = std::uint16_t __attribute__((vector_size(16)));
using Bytes = std::uint8_t __attribute__((vector_size(8)));

/// Texels `x0` and `x1` (byte offsets) of a row, straight alpha premultiplied.
template <Layout L>
Lanes texelPair(const std::uint8_t* row, std::size_t x0, std::size_t x1) {
  Bytes bytes;
  std::memcpy(&bytes, row + x0, 4);
  std::memcpy(reinterpret_cast<std::uint8_t*>(&bytes) + 4, row + x1, 4);
  Lanes t = __builtin_convertvector(bytes, Lanes);
  if constexpr (L == Layout::rgbaStraight) {
    const Lanes a = __builtin_shufflevector(t, t, 3, 3, 3, 3, 7, 7, 7, 7);
    const Lanes alphaLanes = {0, 0, 0, 0xFFFF, 0, 0, 0, 0xFFFF};
    t = (((t * (a + (a >> 7))) >> 8) & ~alphaLanes) | (t & alphaLanes);
  }
  return t;
}

/// An interpolated pixel as R, G, B, A premultiplied (interpolation works
/// channel by channel, so swapping and forcing alpha can wait until here).
template <Layout L>
std::uint32_t finish(std::uint32_t v) {
  if constexpr (L == Layout::bgraOpaque)
    return 0xFF000000u | ((v & 0xFFu) << 16) | (v & 0xFF00u) | ((v >> 16) & 0xFFu);
  if constexpr (L == Layout::rgbaOpaque) return v | 0xFF000000u;
  return v;
}

/// The pair above towards the pair below by fv / 256, then the left texel
/// towards the right one by fu / 256 (each step at most 255 x 256 a lane).
template <Layout L>
std::uint32_t bilinear(Lanes top, Lanes bottom, std::uint16_t fu, std::uint16_t fv) {
  const auto gu = static_cast<std::uint16_t>(256 - fu), gv = static_cast<std::uint16_t>(256 - fv);
  const Lanes column = (top * gv + bottom * fv) >> 8;
  const Lanes weighted = column * Lanes{gu, gu, gu, gu, fu, fu, fu, fu};
  const Lanes sum = (weighted + __builtin_shufflevector(weighted, weighted, 4, 5, 6, 7, 0, 1, 2, 3)) >> 8;
  const Bytes packed = __builtin_convertvector(sum, Bytes);
  std::uint32_t px;
  std::memcpy(&px, &packed, 4);
  return finish<L>(px);
}

/// Where a row of destination pixels samples the image: texel coordinates
/// (texel centres at integers) in 16.16 fixed point, and their steps.
struct RowSampling {
  std::int64_t u, v, du, dv;
};

/// One row of `count` destination pixels, sampled bilinearly. `kSameRow`
/// when v does not change along the row (no rotation); `kStore` when the
/// source is opaque and drawn at alpha 1, so it replaces the destination.
template <Layout L, bool kSameRow, bool kStore>
void sampleRow(std::uint8_t* dst, int count, const CGImage& image, RowSampling s, std::uint32_t alphaWeight) {
  const std::uint8_t* const data = image.data();
  const std::size_t bytesPerRow = image.bytesPerRow();
  const int lastX = image.width() - 1;
  const int lastY = image.height() - 1;
  const std::uint8_t* row0 = nullptr;
  const std::uint8_t* row1 = nullptr;
  std::uint16_t fv = 0;
  const auto selectRows = [&](std::int64_t v) {
    const std::int64_t iv = v >> 16;
    row0 = data + static_cast<std::size_t>(std::clamp<std::int64_t>(iv, 0, lastY)) * bytesPerRow;
    row1 = data + static_cast<std::size_t>(std::clamp<std::int64_t>(iv + 1, 0, lastY)) * bytesPerRow;
    fv = static_cast<std::uint16_t>((v >> 8) & 0xFF);
  };
  if constexpr (kSameRow) selectRows(s.v);
  std::int64_t u = s.u, v = s.v;
  for (int i = 0; i < count; ++i, u += s.du) {
    if constexpr (!kSameRow) {
      selectRows(v);
      v += s.dv;
    }
    const std::int64_t iu = u >> 16;
    const std::size_t x0 = static_cast<std::size_t>(std::clamp<std::int64_t>(iu, 0, lastX)) * 4;
    const std::size_t x1 = static_cast<std::size_t>(std::clamp<std::int64_t>(iu + 1, 0, lastX)) * 4;
    const auto fu = static_cast<std::uint16_t>((u >> 8) & 0xFF);
    std::uint32_t px = bilinear<L>(texelPair<L>(row0, x0, x1), texelPair<L>(row1, x0, x1), fu, fv);
    std::uint8_t* const out = dst + 4 * i;
    if constexpr (kStore) {
      store(out, px);
    } else {
      if (alphaWeight != 256) px = scale(px, alphaWeight);
      if ((px >> 24) == 255)
        store(out, px);
      else if (px != 0)
        store(out, over(px, load(out)));
    }
  }
}

using RowSampler = void (*)(std::uint8_t*, int, const CGImage&, RowSampling, std::uint32_t);

template <Layout L>
RowSampler rowSampler(bool sameRow, bool storeOnly) {
  if (sameRow) return storeOnly ? sampleRow<L, true, true> : sampleRow<L, true, false>;
  return storeOnly ? sampleRow<L, false, true> : sampleRow<L, false, false>;
}

RowSampler rowSampler(Layout layout, bool sameRow, bool storeOnly) {
  switch (layout) {
    case Layout::rgbaPremultiplied: return rowSampler<Layout::rgbaPremultiplied>(sameRow, storeOnly);
    case Layout::rgbaStraight: return rowSampler<Layout::rgbaStraight>(sameRow, storeOnly);
    case Layout::bgraOpaque: return rowSampler<Layout::bgraOpaque>(sameRow, storeOnly);
    case Layout::rgbaOpaque: break;
  }
  return rowSampler<Layout::rgbaOpaque>(sameRow, storeOnly);
}

std::int64_t toFixed(double v) { return std::llround(std::clamp(v, -kCoordinateLimit, kCoordinateLimit) * 65536); }

}  // namespace

// --- Construction and state -----------------------------------------------

CGContext::CGContext(int width, int height)
    : width_(checkedSide(width)),
      height_(checkedSide(height)),
      pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0),
      coverageRow_(static_cast<std::size_t>(width) + 2, 0.0f) {
  state_.clipX1 = width;
  state_.clipY1 = height;
  saved_.reserve(kReservedStates);
}

CGImage CGContext::image() const {
  return CGImage(width_, height_, bytesPerRow(), CGImagePixelLayout::rgbaPremultiplied, pixels_.data());
}

void CGContext::saveGState() { saved_.push_back(state_); }

void CGContext::restoreGState() {
  if (saved_.empty()) return;
  state_ = saved_.back();
  saved_.pop_back();
}

CGAffineTransform CGContext::getCTM() const { return state_.ctm; }

void CGContext::concatCTM(const CGAffineTransform& transform) {
  state_.ctm = CGAffineTransformConcat(transform, state_.ctm);
}
void CGContext::translateCTM(CGFloat tx, CGFloat ty) { state_.ctm = CGAffineTransformTranslate(state_.ctm, tx, ty); }
void CGContext::scaleCTM(CGFloat sx, CGFloat sy) { state_.ctm = CGAffineTransformScale(state_.ctm, sx, sy); }

void CGContext::clipToRect(CGRect rect) {
  const CGRect box = CGRectApplyAffineTransform(rect, state_.ctm);
  GState& s = state_;
  s.clipX0 = std::clamp(centreEdge(box.minX()), s.clipX0, s.clipX1);
  s.clipX1 = std::clamp(centreEdge(box.maxX()), s.clipX0, s.clipX1);
  s.clipY0 = std::clamp(centreEdge(box.minY()), s.clipY0, s.clipY1);
  s.clipY1 = std::clamp(centreEdge(box.maxY()), s.clipY0, s.clipY1);
}

CGRect CGContext::getClipBoundingBox() const {
  const CGAffineTransform& t = state_.ctm;
  const CGFloat det = t.a * t.d - t.b * t.c;
  if (det == 0 || !std::isfinite(det)) return CGRectZero;
  const CGRect clip = CGRectMake(state_.clipX0, state_.clipY0, state_.clipX1 - state_.clipX0,
                                 state_.clipY1 - state_.clipY0);
  return CGRectApplyAffineTransform(clip, CGAffineTransformInvert(t));
}

void CGContext::setAlpha(CGFloat alpha) { state_.alpha = clamp01(alpha); }
void CGContext::setFillColor(CGColor color) { state_.fill = color; }
void CGContext::setStrokeColor(CGColor color) { state_.stroke = color; }
void CGContext::setLineWidth(CGFloat width) { state_.lineWidth = width > 0 ? width : 0; }

std::uint32_t CGContext::premultipliedColor(const CGColor& color) const {
  const double a = clamp01(color.alpha) * state_.alpha;
  const auto channel = [a](double c) { return static_cast<std::uint32_t>(clamp01(c) * a * 255 + 0.5); };
  return channel(color.red) | channel(color.green) << 8 | channel(color.blue) << 16 |
         static_cast<std::uint32_t>(a * 255 + 0.5) << 24;
}

// --- Fills and strokes -----------------------------------------------------

void CGContext::clear() { std::fill(pixels_.begin(), pixels_.end(), std::uint8_t{0}); }

void CGContext::fillRect(CGRect rect) {
  const std::uint32_t color = premultipliedColor(state_.fill);
  if (color == 0) return;
  const CGAffineTransform& t = state_.ctm;
  if ((t.b == 0 && t.c == 0) || (t.a == 0 && t.d == 0)) {
    const CGRect box = CGRectApplyAffineTransform(rect, t);
    fillPixelRect(box.minX(), box.minY(), box.maxX(), box.maxY(), color);
    return;
  }
  const CGPoint quad[4] = {CGPointApplyAffineTransform({rect.minX(), rect.minY()}, t),
                           CGPointApplyAffineTransform({rect.maxX(), rect.minY()}, t),
                           CGPointApplyAffineTransform({rect.maxX(), rect.maxY()}, t),
                           CGPointApplyAffineTransform({rect.minX(), rect.maxY()}, t)};
  const int end = 4;
  fillPolygons(quad, &end, 1, color);
}

void CGContext::fillPixelRect(double x0, double y0, double x1, double y1, std::uint32_t color) {
  x0 = std::max(x0, static_cast<double>(state_.clipX0));
  y0 = std::max(y0, static_cast<double>(state_.clipY0));
  x1 = std::min(x1, static_cast<double>(state_.clipX1));
  y1 = std::min(y1, static_cast<double>(state_.clipY1));
  if (!(x0 < x1 && y0 < y1)) return;  // also NaN
  const int ix0 = toInt(std::floor(x0)), ix1 = toInt(std::ceil(x1));
  const int iy0 = toInt(std::floor(y0)), iy1 = toInt(std::ceil(y1));
  // Coverage of the first and last columns; those between are whole.
  const double left = ix1 - ix0 == 1 ? x1 - x0 : (ix0 + 1) - x0;
  const double right = x1 - (ix1 - 1);
  for (int y = iy0; y < iy1; ++y) {
    const double rowCoverage = std::min<double>(y + 1, y1) - std::max<double>(y, y0);
    const std::uint32_t rowColor = covered(color, rowCoverage);
    std::uint8_t* p = pixelAt(ix0, y);
    blendSpan(p, 1, covered(color, left * rowCoverage));
    if (ix1 - ix0 >= 2) {
      blendSpan(p + 4, ix1 - ix0 - 2, rowColor);
      blendSpan(pixelAt(ix1 - 1, y), 1, covered(color, right * rowCoverage));
    }
  }
}

void CGContext::fillPolygons(const CGPoint* points, const int* contourEnds, int contourCount, std::uint32_t color) {
  std::array<Edge, kMaximumPathPoints> edges;
  int edgeCount = 0;
  double minX = kCoordinateLimit, maxX = -kCoordinateLimit, minY = kCoordinateLimit, maxY = -kCoordinateLimit;
  int start = 0;
  for (int k = 0; k < contourCount; ++k) {
    const int end = contourEnds[k];
    for (int i = start; i < end; ++i) {
      const CGPoint p = points[i];
      const CGPoint q = points[i + 1 < end ? i + 1 : start];
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
      minX = std::min(minX, p.x);
      maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y);
      maxY = std::max(maxY, p.y);
      if (p.y == q.y || edgeCount == kMaximumPathPoints) continue;
      const bool down = p.y < q.y;
      const CGPoint top = down ? p : q, bottom = down ? q : p;
      edges[edgeCount++] = {top.x, top.y, bottom.y, (bottom.x - top.x) / (bottom.y - top.y), down ? 1.0f : -1.0f};
    }
    start = end;
  }
  const int x0 = std::max(state_.clipX0, toInt(std::floor(minX)));
  const int x1 = std::min(state_.clipX1, toInt(std::ceil(maxX)));
  const int y0 = std::max(state_.clipY0, toInt(std::floor(minY)));
  const int y1 = std::min(state_.clipY1, toInt(std::ceil(maxY)));
  if (x0 >= x1 || y0 >= y1) return;
  const int n = x1 - x0;
  float* const acc = coverageRow_.data();

  // Edges by their tops; those crossing the current row are active.
  std::sort(edges.begin(), edges.begin() + edgeCount, [](const Edge& a, const Edge& b) { return a.top < b.top; });
  std::array<int, kMaximumPathPoints> active;
  std::array<Touched, kMaximumPathPoints> touched;
  int activeCount = 0, nextEdge = 0;
  for (int y = y0; y < y1; ++y) {
    while (nextEdge < edgeCount && edges[nextEdge].top < y + 1) active[activeCount++] = nextEdge++;
    int touchedCount = 0;
    for (int k = 0; k < activeCount;) {
      const Edge& edge = edges[active[k]];
      if (edge.bottom <= y) {
        active[k] = active[--activeCount];
        continue;
      }
      const double ya = std::max<double>(edge.top, y), yb = std::min<double>(edge.bottom, y + 1);
      const double xa = edge.x + (ya - edge.top) * edge.dxdy - x0;
      const double xb = edge.x + (yb - edge.top) * edge.dxdy - x0;
      touched[touchedCount++] = addClippedLine(acc, n, xa, ya - y, xb, yb - y, edge.direction);
      ++k;
    }
    std::sort(touched.begin(), touched.begin() + touchedCount,
              [](const Touched& a, const Touched& b) { return a.first < b.first; });
    // The running sum is each pixel's coverage. Between touched columns it
    // holds, so each gap is one span; touched columns go pixel by pixel.
    std::uint8_t* const row = pixelAt(x0, y);
    float sum = 0;
    int x = 0;
    const auto span = [&](int from, int to) {
      const std::uint32_t src = covered(color, std::fabs(sum));
      if (from < to && src != 0) blendSpan(row + 4 * from, to - from, src);
    };
    for (int k = 0; k < touchedCount; ++k) {
      const int first = std::max(touched[k].first, x), last = std::min(touched[k].last, n - 1);
      if (first > last) continue;
      span(x, first);
      for (x = first; x <= last; ++x) {
        sum += acc[x];
        acc[x] = 0;
        span(x, x + 1);
      }
    }
    span(x, n);
    acc[n] = 0;
    acc[n + 1] = 0;
  }
}

void CGContext::drawRoundedRect(CGRect rect, CGFloat radius, bool stroke) {
  const std::uint32_t color = premultipliedColor(stroke ? state_.stroke : state_.fill);
  const double half = stroke ? state_.lineWidth / 2 : 0;
  if (color == 0 || (stroke && !(half > 0))) return;
  const double x0 = rect.minX(), y0 = rect.minY(), x1 = rect.maxX(), y1 = rect.maxY();
  const double r = radius > 0 ? std::min(radius, std::min(x1 - x0, y1 - y0) / 2) : 0;
  const double outerRadius = r > 0 ? r + half : 0;
  const CGAffineTransform& t = state_.ctm;
  // Chords within 0.02 pixel of the largest arc.
  const double pixelsPerUnit = std::max(std::hypot(t.a, t.b), std::hypot(t.c, t.d));
  const double pixelRadius = outerRadius * pixelsPerUnit;
  int segments = 0;
  if (pixelRadius > 0) {
    const double step = std::acos(1 - std::min(1.0, 0.02 / pixelRadius));
    segments = static_cast<int>(std::clamp(std::ceil(std::numbers::pi / 4 / step), 1.0, double(kMaximumArcSegments)));
  }
  CGPoint points[kMaximumPathPoints];
  int ends[2];
  ends[0] = appendRoundedRect(points, x0 - half, y0 - half, x1 + half, y1 + half, outerRadius, segments, false, t);
  int contours = 1;
  if (stroke && x0 + half < x1 - half && y0 + half < y1 - half) {
    const double innerRadius = std::max(r - half, 0.0);
    ends[1] = ends[0] + appendRoundedRect(points + ends[0], x0 + half, y0 + half, x1 - half, y1 - half, innerRadius,
                                          innerRadius > 0 ? segments : 0, true, t);
    contours = 2;
  }
  fillPolygons(points, ends, contours, color);
}

void CGContext::strokeRect(CGRect rect) { drawRoundedRect(rect, 0, true); }

void CGContext::fillRoundedRect(CGRect rect, CGFloat radius) {
  if (!(radius > 0)) return fillRect(rect);
  drawRoundedRect(rect, radius, false);
}

void CGContext::strokeRoundedRect(CGRect rect, CGFloat radius) { drawRoundedRect(rect, radius, true); }

void CGContext::blendMask(int x, int y, int width, int height, const std::uint8_t* mask, std::ptrdiff_t pitch,
                          std::uint32_t color) {
  const int xs = std::max(x, state_.clipX0), xe = std::min(x + width, state_.clipX1);
  const int ys = std::max(y, state_.clipY0), ye = std::min(y + height, state_.clipY1);
  for (int row = ys; row < ye; ++row) {
    const std::uint8_t* m = mask + (row - y) * pitch + (xs - x);
    std::uint8_t* p = pixelAt(xs, row);
    for (int col = xs; col < xe; ++col, ++m, p += 4) {
      if (*m == 0) continue;
      const std::uint32_t src = *m == 255 ? color : scale(color, weight(*m));
      if ((src >> 24) == 255)
        store(p, src);
      else if (src != 0)
        store(p, over(src, load(p)));
    }
  }
}

// --- Images ----------------------------------------------------------------

void CGContext::drawImage(CGRect rect, const CGImage& image) {
  const double rw = rect.width(), rh = rect.height();
  if (!(state_.alpha > 0 && rw > 0 && rh > 0)) return;
  const int iw = image.width(), ih = image.height();
  // Texels to pixels, and back.
  const CGAffineTransform toUser{rw / iw, 0, 0, rh / ih, rect.minX(), rect.minY()};
  const CGAffineTransform m = CGAffineTransformConcat(toUser, state_.ctm);
  const double det = m.a * m.d - m.b * m.c;
  if (det == 0 || !std::isfinite(det)) return;
  const CGAffineTransform inv = CGAffineTransformInvert(m);

  const CGRect box = CGRectApplyAffineTransform(CGRectMake(0, 0, iw, ih), m);
  const int bx0 = std::max(state_.clipX0, centreEdge(box.minX()));
  const int bx1 = std::min(state_.clipX1, centreEdge(box.maxX()));
  const int by0 = std::max(state_.clipY0, centreEdge(box.minY()));
  const int by1 = std::min(state_.clipY1, centreEdge(box.maxY()));
  if (bx0 >= bx1 || by0 >= by1) return;

  const auto alphaWeight = static_cast<std::uint32_t>(std::lround(state_.alpha * 256));
  const RowSampler sample = rowSampler(image.layout(), inv.b == 0, image.isOpaque() && alphaWeight == 256);
  const std::int64_t du = toFixed(inv.a), dv = toFixed(inv.b);
  for (int y = by0; y < by1; ++y) {
    // Along the row, at pixel-centre abscissa t: u = u0 + inv.a t, v = v0 + inv.b t.
    const double cy = y + 0.5;
    const double u0 = inv.c * cy + inv.tx, v0 = inv.d * cy + inv.ty;
    // The centres t with 0 <= u < iw and 0 <= v < ih, as [lo, hi).
    double lo = -kCoordinateLimit, hi = kCoordinateLimit;
    bool inside = true;
    const auto restrict = [&](double f0, double fx, double limit) {
      if (fx == 0) {
        inside = inside && f0 >= 0 && f0 < limit;
        return;
      }
      const double e0 = -f0 / fx, e1 = (limit - f0) / fx;
      lo = std::max(lo, std::min(e0, e1));
      hi = std::min(hi, std::max(e0, e1));
    };
    restrict(u0, inv.a, iw);
    restrict(v0, inv.b, ih);
    if (!inside) continue;
    const int xs = std::max(bx0, centreEdge(lo)), xe = std::min(bx1, centreEdge(hi));
    if (xs >= xe) continue;
    const double t = xs + 0.5;
    // Bilinear weights count from texel centres, at +0.5.
    const RowSampling s{toFixed(u0 + inv.a * t - 0.5), toFixed(v0 + inv.b * t - 0.5), du, dv};
    sample(pixelAt(xs, y), xe - xs, image, s, alphaWeight);
  }
}
