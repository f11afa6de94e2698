#pragma once
// A bitmap graphics context: an RGBA picture (8 bits a channel, colour
// premultiplied by alpha) that views and layers draw into, with a stack of
// graphics states (transform, clip, alpha, colours, line width).
//
// User space: before any transform, one unit is one pixel, the origin is the
// top-left corner of the bitmap and y grows downwards, as in the view system.
// The current transform (CTM) maps user space to pixels; the clip is kept in
// pixels, as the bounding box of each rectangle clipped to (so it is exact
// for the scales and translations views use). A pixel is covered by a filled
// rectangle in proportion to the part of its area inside (edges antialiased).
//
// Drawing composites "source over" with the state's alpha. Images are sampled
// bilinearly through the inverse of the CTM, edges clamped.
//
// Text is drawn with the system's sans-serif font (DejaVu Sans, regular or
// bold, found through fontconfig and rasterised by FreeType), upright, at the
// CTM's scale: rotation and shear are ignored for glyphs. Where no such font
// is installed text draws nothing and `CGContextFontsAvailable()` says so.
//
// Thread-safe
// As plain values are: a context is not locked, so one context is drawn into
// by one thread at a time, and separate contexts draw on any threads at once.
// Drawing allocates nothing once the context exists, except for the first
// use of a glyph at a size (cached process-wide, thread-safe).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "CoreGraphics/CGAffineTransform.h"
#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/Data.h"

/// A colour with straight (not premultiplied) components in 0 ... 1.
struct CGColor {
  CGFloat red = 0, green = 0, blue = 0, alpha = 1;
  friend bool operator==(const CGColor&, const CGColor&) = default;
};

enum class CGFontWeight { regular, bold };

/// How a run of text looks: size in user-space units, weight and colour.
struct CGTextStyle {
  CGFloat fontSize = 17;
  CGFontWeight weight = CGFontWeight::regular;
  CGColor color{0, 0, 0, 1};
};

class CGContext {
 public:
  /// A bitmap of `width` x `height` pixels, fully transparent. Sizes must be
  /// 1 ... 16384 (std::invalid_argument otherwise).
  CGContext(int width, int height);
  CGContext(const CGContext&) = delete;
  CGContext& operator=(const CGContext&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return static_cast<std::size_t>(width_) * 4; }
  /// The pixels: rows top to bottom, R, G, B, A premultiplied.
  const std::uint8_t* data() const { return pixels_.data(); }
  /// The pixels as an image (valid while the context lives and is not drawn to).
  CGImage image() const;

  // --- Graphics state ---------------------------------------------------
  void saveGState();
  /// Back to the state of the matching `saveGState`; without one, nothing.
  void restoreGState();
  CGAffineTransform getCTM() const;
  /// Prepends `transform` to the CTM: later drawing goes through `transform`
  /// first, then through the CTM as it was.
  void concatCTM(const CGAffineTransform& transform);
  void translateCTM(CGFloat tx, CGFloat ty);
  void scaleCTM(CGFloat sx, CGFloat sy);
  /// Narrows the clip to `rect` (user space).
  void clipToRect(CGRect rect);
  /// The clip in user space (the whole bitmap until clipped).
  CGRect getClipBoundingBox() const;
  /// Multiplies everything drawn (0 ... 1; clamped).
  void setAlpha(CGFloat alpha);
  void setFillColor(CGColor color);
  void setStrokeColor(CGColor color);
  void setLineWidth(CGFloat width);

  // --- Drawing ----------------------------------------------------------
  /// Every pixel of the bitmap to transparent, ignoring state.
  void clear();
  void fillRect(CGRect rect);
  /// The outline of `rect`, the line centred on its edges.
  void strokeRect(CGRect rect);
  /// With corners of `radius` (clamped to half the shorter side).
  void fillRoundedRect(CGRect rect, CGFloat radius);
  void strokeRoundedRect(CGRect rect, CGFloat radius);
  /// `image` scaled to fill `rect` (user space) under the CTM, with the
  /// state's alpha and clip.
  void drawImage(CGRect rect, const CGImage& image);

  // --- Text -------------------------------------------------------------
  /// The size `text` (UTF-8) takes in `style`, broken into lines at spaces
  /// to fit `maxWidth` (a word longer than that is broken between
  /// characters); a newline always breaks.
  static CGSize sizeOfText(std::string_view text, const CGTextStyle& style, CGFloat maxWidth);
  /// Draws `text` as `sizeOfText` lays it out, each line centred between
  /// `rect`'s left and right edges, the first line at `rect`'s top. Returns
  /// the height used. Invalid UTF-8 draws as U+FFFD.
  CGFloat drawText(std::string_view text, CGRect rect, const CGTextStyle& style);

 private:
  struct GState {
    CGAffineTransform ctm;
    // Clip in pixels, half-open: [x0, x1) x [y0, y1); a pixel is inside when
    // its centre is inside the rectangles clipped to.
    int clipX0 = 0, clipY0 = 0, clipX1 = 0, clipY1 = 0;
    CGFloat alpha = 1;
    CGColor fill{0, 0, 0, 1};
    CGColor stroke{0, 0, 0, 1};
    CGFloat lineWidth = 1;
  };

  std::uint8_t* pixelAt(int x, int y) { return pixels_.data() + (static_cast<std::size_t>(y) * width_ + x) * 4; }
  /// A colour premultiplied by its alpha and the state's, packed as a pixel.
  std::uint32_t premultipliedColor(const CGColor& color) const;
  /// The pixel-space rectangle [x0, x1) x [y0, y1), antialiased by area.
  void fillPixelRect(double x0, double y0, double x1, double y1, std::uint32_t color);
  /// Polygons in pixel space (nonzero winding, antialiased by area);
  /// contour k ends before `contourEnds[k]`.
  void fillPolygons(const CGPoint* points, const int* contourEnds, int contourCount, std::uint32_t color);
  /// The rounded rectangle filled, or its outline of the line width stroked.
  void drawRoundedRect(CGRect rect, CGFloat radius, bool stroke);
  /// A coverage mask (a glyph) placed with its top-left pixel at (x, y).
  void blendMask(int x, int y, int width, int height, const std::uint8_t* mask, std::ptrdiff_t pitch,
                 std::uint32_t color);

  int width_;
  int height_;
  std::vector<std::uint8_t> pixels_;
  GState state_;
  std::vector<GState> saved_;
  // One row of signed area for the polygon rasteriser (width + 2 entries,
  // kept at zero between uses).
  std::vector<float> coverageRow_;
};

/// Whether text can be drawn (a sans-serif font was found).
bool CGContextFontsAvailable();

/// The context's pixels as a PNG file: 8-bit RGB when every pixel is opaque,
/// 8-bit RGBA (straight alpha) otherwise. None only when the encoder fails.
std::optional<Data> CGBitmapContextCreatePNGData(const CGContext& context);
