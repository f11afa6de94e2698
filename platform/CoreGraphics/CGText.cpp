// Text: the faces found through fontconfig, glyphs rasterised by FreeType.
//
// Layout happens in user space from the faces' unscaled design metrics
// (advances, kerning, ascender, line height), so a text measures the same
// whatever the scale it is drawn at. Glyphs are rendered (8-bit coverage,
// light hinting) at the font size times the CTM's scale and placed with
// their pen position, transformed, rounded to whole pixels.
//
// FreeType faces are not thread-safe: every use of them, and of the glyph
// cache, is under one mutex, held for the whole of a measurement or a
// drawing (so the cached glyphs it composites stay put).

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_ADVANCES_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "Foundation/ThreadSafety.h"

namespace {

// Glyphs kept before the cache starts again, and their bytes.
constexpr std::size_t kMaximumCachedGlyphs = 4096;
constexpr std::size_t kMaximumCachedBytes = 16u << 20;
// Rendering sizes, in pixels.
constexpr double kMinimumPixelSize = 1;
constexpr double kMaximumPixelSize = 512;

constexpr char32_t kReplacementCharacter = 0xFFFD;

/// The code point starting at `text[i]`, moving `i` past it. An invalid
/// sequence (its longest valid-looking prefix, at least one byte) is U+FFFD.
char32_t decodeUTF8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i++);
  if (lead < 0x80) return lead;
  int length;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return kReplacementCharacter;
  }
  for (int k = 1; k < length; ++k) {
    if (i >= text.size()) return kReplacementCharacter;
    const unsigned char b = byte(i);
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return kReplacementCharacter;
    cp = (cp << 6) | (b & 0x3F);
    ++i;
  }
  return cp;
}

struct Glyph {
  std::vector<std::uint8_t> coverage;  // rows of `width` bytes
  int width = 0, height = 0;
  int left = 0, top = 0;  // from the pen position to the top-left pixel, y up
};

/// The fonts, loaded on first use and kept for the life of the process
/// (never destroyed: a thread may still draw while the process exits).
class Fonts {
 public:
  static Fonts& shared() {
    static Fonts* const fonts = new Fonts();
    return *fonts;
  }

  bool available() const { return faces_[0] != nullptr; }
  kivo::Mutex& mutex() KIVO_RETURN_CAPABILITY(mutex_) { return mutex_; }

  /// The face of `weight` (bold falls back to regular). Under the mutex.
  FT_Face face(CGFontWeight weight) const KIVO_REQUIRES(mutex_) {
    return weight == CGFontWeight::bold && faces_[1] != nullptr ? faces_[1] : faces_[0];
  }

  /// The glyph of `cp` at `size26_6` (pixels, 26.6 fixed point), rendered
  /// on first use; valid until the next call. Under the mutex.
  const Glyph& glyph(CGFontWeight weight, long size26_6, char32_t cp) KIVO_REQUIRES(mutex_) {
    const FT_Face f = face(weight);
    const std::uint64_t key = static_cast<std::uint64_t>(size26_6) << 22 |
                              static_cast<std::uint64_t>(f == faces_[1]) << 21 | static_cast<std::uint64_t>(cp);
    if (const auto found = cache_.find(key); found != cache_.end()) return found->second;
    if (cache_.size() >= kMaximumCachedGlyphs || cachedBytes_ >= kMaximumCachedBytes) {
      cache_.clear();
      cachedBytes_ = 0;
    }
    Glyph& g = cache_[key];
    if (FT_Set_Char_Size(f, 0, size26_6, 72, 72) != 0) return g;
    if (FT_Load_Glyph(f, FT_Get_Char_Index(f, cp), FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT) != 0) return g;
    const FT_Bitmap& bitmap = f->glyph->bitmap;
    if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY || bitmap.buffer == nullptr) return g;
    g.width = static_cast<int>(bitmap.width);
    g.height = static_cast<int>(bitmap.rows);
    g.left = f->glyph->bitmap_left;
    g.top = f->glyph->bitmap_top;
    g.coverage.resize(static_cast<std::size_t>(g.width) * static_cast<std::size_t>(g.height));
    for (int y = 0; y < g.height; ++y) {
      const unsigned char* row = bitmap.pitch >= 0 ? bitmap.buffer + y * bitmap.pitch
                                                   : bitmap.buffer + (g.height - 1 - y) * -bitmap.pitch;
      std::memcpy(g.coverage.data() + static_cast<std::size_t>(y) * g.width, row, static_cast<std::size_t>(g.width));
    }
    cachedBytes_ += g.coverage.size() + sizeof(Glyph);
    return g;
  }

 private:
  Fonts() {
    if (FT_Init_FreeType(&library_) != 0) {
      library_ = nullptr;
      return;
    }
    FcConfig* config = FcInitLoadConfigAndFonts();
    if (config == nullptr) return;
    faces_[0] = open(config, "DejaVu Sans");
    faces_[1] = open(config, "DejaVu Sans:bold");
    FcConfigDestroy(config);
  }

  /// The face fontconfig matches for `name`, or null.
  FT_Face open(FcConfig* config, const char* name) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(name));
    if (pattern == nullptr) return nullptr;
    FcConfigSubstitute(config, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr) return nullptr;
    FcChar8* file = nullptr;
    int index = 0;
    std::string path;
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr)
      path = reinterpret_cast<const char*>(file);
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    FcPatternDestroy(match);
    FT_Face face = nullptr;
    if (path.empty() || FT_New_Face(library_, path.c_str(), index, &face) != 0) return nullptr;
    if (!FT_IS_SCALABLE(face) || face->units_per_EM == 0) {
      FT_Done_Face(face);
      return nullptr;
    }
    return face;
  }

  kivo::Mutex mutex_;
  FT_Library library_ = nullptr;
  FT_Face faces_[2] = {nullptr, nullptr};  // regular, bold
  std::unordered_map<std::uint64_t, Glyph> cache_ KIVO_GUARDED_BY(mutex_);
  std::size_t cachedBytes_ KIVO_GUARDED_BY(mutex_) = 0;
};

/// Lines of a text in one face and size, in user space. Under the mutex.
class TextLayout {
 public:
  struct Line {
    std::size_t begin, end;  // bytes of the text drawn on the line
    std::size_t next;        // where the next line starts
    double width;
  };

  TextLayout(FT_Face face, double fontSize)
      : face_(face),
        unit_(fontSize / face->units_per_EM),
        kerning_(FT_HAS_KERNING(face)),
        lineHeight_(face->height * unit_),
        ascender_(face->ascender * unit_) {}

  double lineHeight() const { return lineHeight_; }
  double ascender() const { return ascender_; }

  /// The glyph index of `cp`, its advance after `previous` (a glyph index,
  /// 0 for none) and the kerning before it, in user units.
  struct Step {
    FT_UInt index;
    double kerning, advance;
  };
  Step step(FT_UInt previous, char32_t cp) const {
    Step s{FT_Get_Char_Index(face_, cp), 0, 0};
    FT_Fixed advance = 0;
    if (FT_Get_Advance(face_, s.index, FT_LOAD_NO_SCALE, &advance) == 0) s.advance = advance * unit_;
    FT_Vector delta{0, 0};
    if (kerning_ && previous != 0 && FT_Get_Kerning(face_, previous, s.index, FT_KERNING_UNSCALED, &delta) == 0)
      s.kerning = delta.x * unit_;
    return s;
  }

  /// The line starting at `begin`: up to a newline, or as much as fits in
  /// `maxWidth`, broken after the last space that lets it fit or else
  /// between characters (at least one character a line).
  Line line(std::string_view text, std::size_t begin, double maxWidth) const {
    double width = 0, inkWidth = 0;  // with and without trailing spaces
    bool haveBreak = false;
    Line atBreak{};
    FT_UInt previous = 0;
    std::size_t i = begin;
    while (i < text.size()) {
      const std::size_t start = i;
      const char32_t cp = decodeUTF8(text, i);
      if (cp == U'\n') return {begin, start, i, inkWidth};
      const Step s = step(previous, cp);
      if (cp == U' ') {
        haveBreak = true;
        atBreak = {begin, start, i, inkWidth};
      } else if (width + s.kerning + s.advance > maxWidth && start > begin) {
        if (haveBreak) return atBreak;
        return {begin, start, start, inkWidth};
      }
      width += s.kerning + s.advance;
      if (cp != U' ') inkWidth = width;
      previous = s.index;
    }
    return {begin, text.size(), text.size(), inkWidth};
  }

 private:
  FT_Face face_;
  double unit_;  // user units per font unit
  bool kerning_;
  double lineHeight_, ascender_;
};

}  // namespace

CGSize CGContext::sizeOfText(std::string_view text, const CGTextStyle& style, CGFloat maxWidth) {
  Fonts& fonts = Fonts::shared();
  if (!fonts.available() || !(style.fontSize > 0)) return {};
  const kivo::MutexLock lock(fonts.mutex());
  const TextLayout layout(fonts.face(style.weight), style.fontSize);
  CGSize size;
  for (std::size_t pos = 0; pos < text.size();) {
    const TextLayout::Line line = layout.line(text, pos, maxWidth);
    size.width = std::max(size.width, line.width);
    size.height += layout.lineHeight();
    pos = line.next;
  }
  return size;
}

CGFloat CGContext::drawText(std::string_view text, CGRect rect, const CGTextStyle& style) {
  Fonts& fonts = Fonts::shared();
  if (!fonts.available() || !(style.fontSize > 0)) return 0;
  const CGAffineTransform& t = state_.ctm;
  const double pixelSize = style.fontSize * std::sqrt(std::fabs(t.a * t.d - t.b * t.c));
  const std::uint32_t color = premultipliedColor(style.color);
  const bool draw = color != 0 && std::isfinite(pixelSize) && pixelSize > 0;
  const long size26_6 = std::lround(std::clamp(draw ? pixelSize : 1.0, kMinimumPixelSize, kMaximumPixelSize) * 64);

  const kivo::MutexLock lock(fonts.mutex());
  const TextLayout layout(fonts.face(style.weight), style.fontSize);
  double top = rect.minY();
  for (std::size_t pos = 0; pos < text.size(); top += layout.lineHeight()) {
    const TextLayout::Line line = layout.line(text, pos, rect.width());
    pos = line.next;
    if (!draw) continue;
    double x = rect.minX() + (rect.width() - line.width) / 2;
    const double baseline = top + layout.ascender();
    FT_UInt previous = 0;
    for (std::size_t i = line.begin; i < line.end;) {
      const char32_t cp = decodeUTF8(text, i);
      const TextLayout::Step s = layout.step(previous, cp);
      x += s.kerning;
      previous = s.index;
      const CGPoint pen = CGPointApplyAffineTransform({x, baseline}, t);
      x += s.advance;
      if (cp == U' ' || !(std::fabs(pen.x) < 1e6 && std::fabs(pen.y) < 1e6)) continue;
      const Glyph& g = fonts.glyph(style.weight, size26_6, cp);
      if (g.width == 0 || g.height == 0) continue;
      blendMask(static_cast<int>(std::lround(pen.x)) + g.left, static_cast<int>(std::lround(pen.y)) - g.top, g.width,
                g.height, g.coverage.data(), g.width, color);
    }
  }
  return top - rect.minY();
}

bool CGContextFontsAvailable() { return Fonts::shared().available(); }
