// The bitmap context: coverage of fills, clip and state, compositing, image
// sampling and layouts, rounded corners, text layout, PNG encoding, the
// JPEG codec.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGJPEG.h"
#include "UIKit/UIImage.h"

namespace {

using Pixel = std::array<int, 4>;  // R, G, B, A as stored (premultiplied)

Pixel at(const CGContext& c, int x, int y) {
  const std::uint8_t* p = c.data() + static_cast<std::size_t>(y) * c.bytesPerRow() + static_cast<std::size_t>(x) * 4;
  return {p[0], p[1], p[2], p[3]};
}
double inkArea(const CGContext& c) {
  double sum = 0;
  for (int y = 0; y < c.height(); ++y)
    for (int x = 0; x < c.width(); ++x) sum += at(c, x, y)[3] / 255.0;
  return sum;
}
void expectNear(const Pixel& actual, const Pixel& expected, int tolerance, const std::string& what) {
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(actual[k], expected[k], tolerance) << what << ", channel " << k;
}

constexpr CGColor kRed{1, 0, 0, 1}, kBlue{0, 0, 1, 1}, kWhite{1, 1, 1, 1};

TEST(CGContextTest, FillRectCoversEachPixelByTheAreaInside) {
  struct Case {
    CGAffineTransform ctm;
    CGRect rect;
    double area;                    // in pixels
    std::array<int, 3> probe;       // x, y, expected alpha
  } cases[] = {
      {CGAffineTransformIdentity, CGRectMake(2, 2, 3, 3), 9, {2, 2, 255}},
      {CGAffineTransformIdentity, CGRectMake(2, 2, 3, 3), 9, {5, 2, 0}},
      {CGAffineTransformIdentity, CGRectMake(1.5, 1, 2, 1), 2, {1, 1, 128}},
      {CGAffineTransformIdentity, CGRectMake(1.5, 1, 2, 1), 2, {3, 1, 128}},
      {CGAffineTransformIdentity, CGRectMake(3.25, 3.25, 0.5, 0.5), 0.25, {3, 3, 64}},
      {CGAffineTransformMakeScale(2, 2), CGRectMake(1, 1, 1.25, 1), 2.5 * 2, {4, 2, 128}},
      {CGAffineTransformMakeScale(-1, 1), CGRectMake(-6, 0, 2, 2), 4, {4, 1, 255}},  // mirrored
      // A quarter turn about (8, 8): (2, 3, 4, 1) lands on x 12 ... 13, y 10 ... 14.
      {{0, 1, -1, 0, 16, 0}, CGRectMake(10, 3, 4, 1), 4, {12, 11, 255}},
      // Rotated by 30 degrees: area kept, the middle covered, corners far out not.
      {{std::cos(0.5236), std::sin(0.5236), -std::sin(0.5236), std::cos(0.5236), 8, 2}, CGRectMake(0, 0, 6, 4), 24,
       {9, 5, 255}},
  };
  for (const auto& c : cases) {
    CGContext context(16, 16);
    context.concatCTM(c.ctm);
    context.fillRect(c.rect);
    EXPECT_NEAR(inkArea(context), c.area, 0.02 * c.area + 0.02) << c.rect.origin.x << "," << c.rect.origin.y;
    EXPECT_NEAR(at(context, c.probe[0], c.probe[1])[3], c.probe[2], 1) << c.probe[0] << "," << c.probe[1];
  }
}

TEST(CGContextTest, ClipIsNarrowedUntilRestoredAndReportedInUserSpace) {
  CGContext context(10, 10);
  context.scaleCTM(2, 2);
  EXPECT_EQ(context.getClipBoundingBox(), CGRectMake(0, 0, 5, 5));
  context.saveGState();
  context.clipToRect(CGRectMake(1, 1, 2, 5));
  context.clipToRect(CGRectMake(0, 2, 5, 1));
  EXPECT_EQ(context.getClipBoundingBox(), CGRectMake(1, 2, 2, 1));
  context.setFillColor(kRed);
  context.fillRect(CGRectMake(0, 0, 5, 5));
  EXPECT_NEAR(inkArea(context), 8, 1e-9);  // pixels 2 ... 5 x 4 ... 5
  EXPECT_EQ(at(context, 2, 4), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(at(context, 1, 4)[3], 0);
  context.restoreGState();
  context.restoreGState();  // unmatched: nothing
  EXPECT_EQ(context.getCTM(), CGAffineTransformMakeScale(2, 2));
  context.fillRect(CGRectMake(0, 0, 5, 5));
  EXPECT_EQ(inkArea(context), 100);
  context.clear();
  EXPECT_EQ(inkArea(context), 0);
}

TEST(CGContextTest, CompositesSourceOverWithTheStateAndColourAlpha) {
  CGContext context(4, 1);
  context.setFillColor(kWhite);
  context.fillRect(CGRectMake(0, 0, 4, 1));
  context.setFillColor({0, 0, 0, 0.5});
  context.fillRect(CGRectMake(0, 0, 1, 1));
  context.setAlpha(0.5);
  context.fillRect(CGRectMake(1, 0, 1, 1));
  context.setFillColor({0, 0, 1, 1});
  context.fillRect(CGRectMake(2, 0, 1, 1));
  expectNear(at(context, 0, 0), {128, 128, 128, 255}, 2, "black at 0.5 over white");
  expectNear(at(context, 1, 0), {191, 191, 191, 255}, 2, "black at 0.5 x 0.5 over white");
  expectNear(at(context, 2, 0), {128, 128, 255, 255}, 2, "blue at 0.5 over white");
  EXPECT_EQ(at(context, 3, 0), (Pixel{255, 255, 255, 255}));
}

TEST(CGContextTest, RoundedRectanglesLeaveTheirCornersAndStrokesTheirMiddle) {
  CGContext fill(20, 20), stroke(20, 20);
  fill.fillRoundedRect(CGRectMake(0, 0, 20, 20), 8);
  stroke.setLineWidth(2);
  stroke.strokeRoundedRect(CGRectMake(1, 1, 18, 18), 6);
  for (auto [x, y, filled] : {std::array{0, 0, 0}, {19, 0, 0}, {0, 19, 0}, {1, 1, 0}, {10, 0, 255}, {10, 10, 255},
                              {3, 3, 255}, {0, 10, 255}})
    EXPECT_NEAR(at(fill, x, y)[3], filled, 1) << x << "," << y;
  EXPECT_NEAR(inkArea(fill), 400 - (4 - std::numbers::pi) * 64, 1);
  EXPECT_EQ(at(stroke, 10, 10)[3], 0);
  EXPECT_EQ(at(stroke, 10, 0)[3], 255);
  EXPECT_EQ(at(stroke, 10, 1)[3], 255);
  EXPECT_EQ(at(stroke, 10, 2)[3], 0);
  EXPECT_EQ(at(stroke, 0, 0)[3], 0);
  CGContext square(8, 8);
  square.setLineWidth(2);
  square.strokeRect(CGRectMake(2, 2, 4, 4));  // the band 1 ... 3 and 5 ... 7
  EXPECT_NEAR(inkArea(square), 36 - 4, 1e-6);
  EXPECT_EQ(at(square, 1, 1)[3], 255);
  EXPECT_EQ(at(square, 3, 3)[3], 0);
}

TEST(CGContextTest, ClippingCutsAShapeWithoutChangingWhatIsInside) {
  const auto draw = [](CGContext& c) {
    c.translateCTM(8, 8);
    c.concatCTM({0.8, 0.6, -0.6, 0.8, 0, 0});
    c.setLineWidth(1.5);
    c.strokeRoundedRect(CGRectMake(-7, -5, 14, 10), 3);
    c.fillRoundedRect(CGRectMake(-3, -12, 6, 24), 2);
  };
  CGContext whole(16, 16), clipped(16, 16);
  draw(whole);
  clipped.clipToRect(CGRectMake(3, 2, 6, 9));
  draw(clipped);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool inside = x >= 3 && x < 9 && y >= 2 && y < 11;
      EXPECT_EQ(at(clipped, x, y), inside ? at(whole, x, y) : Pixel{}) << x << "," << y;
    }
}

// 2 x 2: red, green / blue, white.
const std::uint8_t kQuad[16] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};

TEST(CGContextTest, DrawImageScalesBilinearlyAndMirrors) {
  const CGImage image(2, 2, 8, CGImagePixelLayout::rgbaPremultiplied, kQuad);
  CGContext plain(8, 8), mirrored(8, 8);
  plain.drawImage(CGRectMake(0, 0, 8, 8), image);
  mirrored.translateCTM(8, 0);
  mirrored.scaleCTM(-1, 1);
  mirrored.drawImage(CGRectMake(0, 0, 8, 8), image);
  EXPECT_EQ(at(plain, 0, 0), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(at(plain, 7, 0), (Pixel{0, 255, 0, 255}));
  EXPECT_EQ(at(plain, 0, 7), (Pixel{0, 0, 255, 255}));
  EXPECT_EQ(at(plain, 7, 7), (Pixel{255, 255, 255, 255}));
  expectNear(at(plain, 4, 4), {135, 159, 159, 255}, 2, "3/8 of red and blue, 5/8 of green and white");
  expectNear(at(plain, 4, 0), {96, 159, 0, 255}, 2, "3/8 red, 5/8 green");
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(at(mirrored, x, y), at(plain, 7 - x, y)) << x << "," << y;
  // Only pixels whose centres are inside the rectangle, within the clip.
  CGContext small(8, 8);
  small.clipToRect(CGRectMake(0, 0, 8, 3));
  small.setAlpha(0.5);
  small.drawImage(CGRectMake(1.4, 1.6, 2, 4), image);
  EXPECT_NEAR(inkArea(small), 2 * 0.5, 0.01);  // x 1 ... 2, y 2 only, at half alpha
}

TEST(CGContextTest, DrawImageReadsEveryLayout) {
  struct Case {
    CGImagePixelLayout layout;
    std::array<std::uint8_t, 8> bytes;  // two pixels
    Pixel left, right, quarter;         // quarter: 3/4 left, 1/4 right
  } cases[] = {
      {CGImagePixelLayout::bgraOpaque, {0, 0, 255, 7, 255, 0, 0, 7}, {255, 0, 0, 255}, {0, 0, 255, 255},
       {191, 0, 64, 255}},
      {CGImagePixelLayout::rgbaOpaque, {255, 0, 0, 7, 0, 0, 255, 7}, {255, 0, 0, 255}, {0, 0, 255, 255},
       {191, 0, 64, 255}},
      // A transparent pixel's colour does not bleed into its neighbour.
      {CGImagePixelLayout::rgbaStraight, {255, 0, 0, 0, 0, 255, 0, 255}, {0, 0, 0, 0}, {0, 255, 0, 255},
       {0, 64, 0, 64}},
      {CGImagePixelLayout::rgbaPremultiplied, {0, 0, 0, 0, 0, 128, 0, 128}, {0, 0, 0, 0}, {0, 128, 0, 128},
       {0, 32, 0, 32}},
  };
  for (const auto& c : cases) {
    const CGImage image(2, 1, 8, c.layout, c.bytes.data());
    CGContext context(4, 1);
    context.drawImage(CGRectMake(0, 0, 4, 1), image);  // samples at texel 0 (clamped), 0.25, 0.75, 1 (clamped)
    const std::string what = "layout " + std::to_string(static_cast<int>(c.layout));
    expectNear(at(context, 0, 0), c.left, 0, what + ", left");
    expectNear(at(context, 3, 0), c.right, 0, what + ", right");
    expectNear(at(context, 1, 0), c.quarter, 1, what + ", a quarter of the way");
  }
}

// Where ink is: its bounding box, in pixels, and whether any lies outside `r`.
struct Ink {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  bool outside = false;
};
Ink inkOf(const CGContext& c, CGRect r) {
  Ink ink;
  for (int y = 0; y < c.height(); ++y)
    for (int x = 0; x < c.width(); ++x) {
      if (at(c, x, y)[3] == 0) continue;
      ink = {std::min(ink.x0, x), std::min(ink.y0, y), std::max(ink.x1, x), std::max(ink.y1, y),
             ink.outside || !r.contains({x + 0.5, y + 0.5})};
    }
  return ink;
}

TEST(CGTextTest, MeasuresWrapsAndDrawsInsideItsRect) {
  if (!CGContextFontsAvailable()) GTEST_SKIP() << "no sans-serif font installed";
  const CGTextStyle regular{20, CGFontWeight::regular, {0, 0, 0, 1}};
  const CGTextStyle bold{20, CGFontWeight::bold, {0, 0, 0, 1}};
  const CGSize hello = CGContext::sizeOfText("Hello", regular, 1000);
  EXPECT_GT(hello.width, 40);
  EXPECT_LT(hello.width, 80);
  EXPECT_GT(hello.height, 20);
  EXPECT_LT(hello.height, 30);
  EXPECT_GT(CGContext::sizeOfText("Hello", bold, 1000).width, hello.width);
  EXPECT_EQ(CGContext::sizeOfText("Hello\nHello", regular, 1000), (CGSize{hello.width, 2 * hello.height}));
  EXPECT_EQ(CGContext::sizeOfText("Hello Hello", regular, hello.width * 1.5), (CGSize{hello.width, 2 * hello.height}));
  const CGSize broken = CGContext::sizeOfText("WWWWWWWWWW", regular, 50);  // no space: broken between letters
  EXPECT_LE(broken.width, 50);
  EXPECT_GE(broken.height, 3 * hello.height);
  EXPECT_EQ(CGContext::sizeOfText("\xff\xc3", regular, 1000), CGContext::sizeOfText("\uFFFD\uFFFD", regular, 1000));
  EXPECT_EQ(CGContext::sizeOfText("", regular, 1000), (CGSize{0, 0}));

  struct Case {
    double scale;
    std::string text;
    int lines;
  } cases[] = {{1, "Hello", 1}, {2, "Hello", 1}, {1, "Hello there, wide world", 3}, {2, "Hello\xff there", 2}};
  for (const auto& c : cases) {
    const CGRect rect = CGRectMake(20, 10, 100, 90);
    CGContext context(static_cast<int>(160 * c.scale), static_cast<int>(120 * c.scale));
    context.scaleCTM(c.scale, c.scale);
    const double height = context.drawText(c.text, rect, regular);
    EXPECT_EQ(height, CGContext::sizeOfText(c.text, regular, rect.width()).height) << c.text;
    EXPECT_GE(height, c.lines * hello.height - 1e-9) << c.text;
    const Ink ink = inkOf(context, CGRectMake(20 * c.scale, 10 * c.scale, 100 * c.scale, 90 * c.scale));
    EXPECT_FALSE(ink.outside) << c.text;
    EXPECT_GT((ink.y1 - ink.y0) / c.scale, height - hello.height * 0.6) << c.text;
    EXPECT_NEAR((ink.x0 + ink.x1 + 1) / 2.0 / c.scale, 70, 3) << c.text << ": centred";
  }
}

TEST(CGTextTest, ThreadsDrawTheSameGlyphsAsOneThreadAlone) {
  if (!CGContextFontsAvailable()) GTEST_SKIP() << "no sans-serif font installed";
  const auto render = [](int size) {
    CGContext c(120, 30);
    c.drawText("Glyphs 0123", CGRectMake(0, 0, 120, 30), {CGFloat(size), CGFontWeight::bold, {0, 0, 0, 1}});
    return std::vector<std::uint8_t>(c.data(), c.data() + c.bytesPerRow() * 30);
  };
  std::vector<std::vector<std::uint8_t>> alone;
  for (int k = 0; k < 4; ++k) alone.push_back(render(9 + k));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) mismatches += render(9 + (t + i) % 4) != alone[(t + i) % 4];
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

TEST(CGPNGTest, EncodesOpaquePicturesAsRGBAndOthersAsStraightRGBA) {
  for (const bool opaque : {true, false}) {
    CGContext context(5, 3);
    context.setFillColor(kBlue);
    if (opaque) context.fillRect(CGRectMake(0, 0, 5, 3));
    context.setFillColor({1, 0.5, 0, 0.5});
    context.fillRect(CGRectMake(1, 0, 2.5, 2));
    const auto png = CGBitmapContextCreatePNGData(context);
    ASSERT_TRUE(png.has_value());
    ASSERT_GT(png->size(), 26u);
    EXPECT_EQ((*png)[25], opaque ? 2 : 6) << "IHDR colour type";
    const auto decoded = UIImage::imageWithData(*png);
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(decoded->pixelWidth(), 5u);
    ASSERT_EQ(decoded->pixelHeight(), 3u);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const Pixel p = at(context, x, y);
        const std::uint8_t* q = decoded->rgbaPixels().data() + (y * 5 + x) * 4;
        EXPECT_EQ(q[3], p[3]) << x << "," << y;
        for (int k = 0; k < 3; ++k)
          EXPECT_NEAR(q[k], p[3] ? std::lround(p[k] * 255.0 / p[3]) : 0, 1) << x << "," << y << " channel " << k;
      }
  }
}

// Flat areas come back within a few levels at full quality; sizes the pixels
// cannot fill, and bytes that are no JPEG, give nothing.
TEST(CGJPEGTest, RoundTripsAPictureAndRefusesWhatItCannotCarry) {
  CGRGBPicture picture{32, 16, std::vector<std::uint8_t>(32 * 16 * 3)};
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 32; ++x) {
      std::uint8_t* p = &picture.pixels[(static_cast<std::size_t>(y) * 32 + x) * 3];
      p[0] = x < 16 ? 220 : 20, p[1] = y < 8 ? 200 : 40, p[2] = 90;
    }
  const auto jpeg = CGJPEGEncodeRGB(picture.pixels, 32, 16, 100);
  ASSERT_TRUE(jpeg.has_value());
  const auto decoded = CGJPEGDecodeRGB(*jpeg);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->width, 32);
  ASSERT_EQ(decoded->height, 16);
  for (const auto& [x, y] : {std::pair{3, 3}, {28, 3}, {3, 12}, {28, 12}})
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(decoded->at(x, y)[k], picture.at(x, y)[k], 6) << x << "," << y;

  EXPECT_FALSE(CGJPEGEncodeRGB(picture.pixels, 32, 17, 90)) << "more rows than the pixels hold";
  EXPECT_FALSE(CGJPEGEncodeRGB(picture.pixels, 0, 16, 90));
  EXPECT_FALSE(CGJPEGDecodeRGB(Data{}));
  EXPECT_FALSE(CGJPEGDecodeRGB(Data{0x89, 'P', 'N', 'G', 0, 1, 2, 3}));
}

TEST(CGImageTest, RejectsImpossibleImages) {
  const std::uint8_t pixel[4] = {};
  EXPECT_THROW(CGImage(0, 1, 4, CGImagePixelLayout::rgbaOpaque, pixel), std::invalid_argument);
  EXPECT_THROW(CGImage(1, 16385, 4, CGImagePixelLayout::rgbaOpaque, pixel), std::invalid_argument);
  EXPECT_THROW(CGImage(2, 1, 4, CGImagePixelLayout::rgbaOpaque, pixel), std::invalid_argument);
  EXPECT_THROW(CGImage(1, 1, 4, CGImagePixelLayout::rgbaOpaque, nullptr), std::invalid_argument);
  EXPECT_THROW(CGContext(1, 0), std::invalid_argument);
  EXPECT_NO_THROW(CGImage(1, 1, 4, CGImagePixelLayout::rgbaOpaque, pixel));
}

}  // namespace
