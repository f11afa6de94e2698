// Pixel buffers: the plane layout of each format, pixels painted once on
// first access, colours surviving each format's encoding, and sizes or
// formats a buffer cannot have.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CoreVideo/CVPixelBuffer.h"

namespace {

constexpr OSType k420v = kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
constexpr OSType k420f = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
constexpr OSType kBGRA = kCVPixelFormatType_32BGRA;

struct Plane {
  int width, height;
  std::size_t bytesPerRow;
  bool operator==(const Plane&) const = default;
};

TEST(CVPixelBuffer, PlanesFollowTheFormat) {
  const struct {
    OSType format;
    int width, height;
    std::vector<Plane> planes;
    std::size_t dataSize;
  } cases[] = {{kBGRA, 5, 3, {{5, 3, 20}}, 60},
               {k420v, 5, 3, {{5, 3, 5}, {3, 2, 6}}, 27},
               {k420f, 4, 2, {{4, 2, 4}, {2, 1, 4}}, 12}};
  for (const auto& c : cases) {
    CVPixelBuffer buffer(c.width, c.height, c.format, CVPixelBuffer::Painter{});
    std::vector<Plane> planes;
    for (std::size_t i = 0; i < buffer.planeCount(); ++i)
      planes.push_back({buffer.widthOfPlane(i), buffer.heightOfPlane(i), buffer.bytesPerRowOfPlane(i)});
    EXPECT_EQ(planes, c.planes) << c.format;
    EXPECT_EQ(buffer.dataSize(), c.dataSize) << c.format;
    EXPECT_EQ(buffer.baseAddressOfPlane(planes.size()), nullptr) << c.format;
    if (planes.size() == 2) {  // chroma follows luma directly
      EXPECT_EQ(buffer.baseAddressOfPlane(1) - buffer.baseAddressOfPlane(0), c.width * c.height) << c.format;
    }
  }
}

TEST(CVPixelBuffer, PaintsOnFirstAccessOnceEvenFromTwoThreads) {
  std::atomic<int> paints{0};
  CVPixelBuffer buffer(64, 48, kBGRA, [&](const CVPixelBuffer&, std::uint8_t* const* p) { p[0][0] = 7 + paints++; });
  EXPECT_EQ(buffer.bytesPerRowOfPlane(0), 256u);  // the geometry alone paints nothing
  EXPECT_FALSE(buffer.isPainted());
  const std::uint8_t* seen[2] = {};
  std::thread a([&] { seen[0] = buffer.baseAddressOfPlane(0); }), b([&] { seen[1] = buffer.baseAddressOfPlane(0); });
  a.join();
  b.join();
  buffer.rgbAt(1, 1);
  EXPECT_EQ(paints, 1);
  EXPECT_TRUE(buffer.isPainted());
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0][0], 7);
}

class CVPixelBufferColourTest : public ::testing::TestWithParam<OSType> {};

TEST_P(CVPixelBufferColourTest, RGBWrittenReadsBackWithinASmallTolerance) {
  // Four 2 x 2 blocks (one chroma sample each) of saturated and mid colours.
  const std::array<std::array<std::uint8_t, 3>, 4> colours{{{255, 0, 0}, {20, 200, 90}, {0, 0, 255}, {128, 128, 128}}};
  std::vector<std::uint8_t> rgb(4 * 4 * 3);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      for (int k = 0; k < 3; ++k) rgb[(y * 4 + x) * 3 + k] = colours[(y / 2) * 2 + x / 2][k];
  CVPixelBuffer buffer(4, 4, GetParam(), [&](const CVPixelBuffer& b, std::uint8_t* const* planes) {
    CVPixelBufferWriteRGB(b, planes, rgb.data());
  });
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      const auto read = buffer.rgbAt(x, y);
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(read[k], rgb[(y * 4 + x) * 3 + k], 3) << x << "," << y << " #" << k;
    }
  EXPECT_EQ(buffer.rgbAt(4, 0), (std::array<std::uint8_t, 3>{0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Formats, CVPixelBufferColourTest, ::testing::Values(k420v, k420f, kBGRA));

#ifndef NDEBUG
TEST(CVPixelBufferDeathTest, SizesAndFormatsABufferCannotHaveAreProgrammingErrors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(CVPixelBuffer(0, 4, kBGRA, CVPixelBuffer::Painter{}), "width and height");
  EXPECT_DEATH(CVPixelBuffer(4, 16385, k420v, CVPixelBuffer::Painter{}), "width and height");
  EXPECT_DEATH(CVPixelBuffer(4, 4, kCMVideoCodecType_JPEG, CVPixelBuffer::Painter{}), "unsupported pixel format");
  EXPECT_DEATH(CVPixelBuffer(4, 4, k420f, std::vector<std::uint8_t>(4 * 4 * 4)), "do not match");
}
#endif

}  // namespace
