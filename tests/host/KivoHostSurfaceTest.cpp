// The host surface as a GUI host uses it, with a camera shown in it on the
// deterministic world: rendering into the host's own pixels in either byte
// order and at any size, when a redraw is due (a change, an animation, the
// camera's next frame, a picture that stops), and a redraw handler that is
// called no more than that and no faster than its rate.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "Runner.h"
#include "CoreGraphics/CGContext.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"
#include "support/ShownByRunner.h"

namespace kivocam {
namespace {

class KivoHostSurfaceTest : public ShownByRunner {
 protected:
  KivoHostSurface& surface() { return screen(); }

  // The screen one pixel a point, RGBA.
  std::vector<std::uint8_t> render() {
    const int w = static_cast<int>(surface().size().width), h = static_cast<int>(surface().size().height);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h * 4);
    surface().render(pixels.data(), w, h, static_cast<std::size_t>(w) * 4);
    return pixels;
  }
};

// The host's buffer holds what the screen renders into a context of that
// size, channels in the host's order, opaque; padding is left alone.
TEST_F(KivoHostSurfaceTest, RendersIntoTheHostsPixelsInEitherOrderAtAnySize) {
  const CGSize size = surface().size();
  struct Case {
    int scale;
    KivoHostSurface::PixelOrder order;
    std::size_t padding;
  };
  for (const Case c : {Case{1, KivoHostSurface::PixelOrder::rgba, 0}, Case{2, KivoHostSurface::PixelOrder::bgra, 12}}) {
    const int w = static_cast<int>(size.width) * c.scale, h = static_cast<int>(size.height) * c.scale;
    CGContext expected(w, h);
    expected.scaleCTM(c.scale, c.scale);
    surface().renderInContext(expected);

    const std::size_t row = static_cast<std::size_t>(w) * 4 + c.padding;
    std::vector<std::uint8_t> pixels(row * h, 0xAB);
    surface().render(pixels.data(), w, h, row, c.order);
    const bool swap = c.order == KivoHostSurface::PixelOrder::bgra;
    int wrong = 0;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* want = expected.data() + y * expected.bytesPerRow() + x * 4;
        const std::uint8_t* got = &pixels[y * row + x * 4];
        wrong += got[swap ? 2 : 0] != want[0] || got[1] != want[1] || got[swap ? 0 : 2] != want[2] || got[3] != 0xFF;
      }
      for (std::size_t pad = row - c.padding; pad < row; ++pad) wrong += pixels[y * row + pad] != 0xAB;
    }
    EXPECT_EQ(wrong, 0) << "at scale " << c.scale;
  }

  struct Bad {
    int width, height;
    std::size_t bytesPerRow;
  };
  std::uint8_t pixel[4];
  for (const Bad bad : {Bad{0, 1, 4}, Bad{1, -1, 4}, Bad{16385, 1, 65540}, Bad{8192, 8192, 32768}, Bad{2, 1, 7}})
    EXPECT_THROW(surface().render(pixel, bad.width, bad.height, bad.bytesPerRow), std::invalid_argument)
        << bad.width << " x " << bad.height << ", rows of " << bad.bytesPerRow;
  EXPECT_THROW(surface().render(nullptr, 1, 1, 4), std::invalid_argument);
}

TEST_F(KivoHostSurfaceTest, ARedrawIsDueWhenTheScreenCanHaveChanged) {
  EXPECT_TRUE(surface().needsRedraw()) << "never drawn";
  const auto first = render();
  // The camera runs at 30 frames a second.
  run({"advance 0.02"});
  EXPECT_FALSE(surface().needsRedraw()) << "before the camera's next frame";
  run({"advance 0.02"});
  EXPECT_TRUE(surface().needsRedraw()) << "after the camera's next frame";

  render();
  run({"pinch began 1", "pinch changed 2", "pinch ended 2", "advance 0.04"});
  EXPECT_TRUE(surface().needsRedraw()) << "the next frame, zoomed";
  EXPECT_NE(render(), first) << "the zoomed picture looks the same";

  run({"call stopSession", "advance 0.1"});
  EXPECT_TRUE(surface().needsRedraw()) << "the picture stopped";
  render();
  run({"advance 1"});
  EXPECT_FALSE(surface().needsRedraw()) << "nothing moves";

  // The reticle: due while it animates, once more when it is over.
  run({"tap 100 200"});
  for (const char* step : {"advance 0.05", "advance 0.1"}) {
    run({step});
    EXPECT_TRUE(surface().needsRedraw()) << "animating";
    render();
  }
  run({"advance 1"});
  EXPECT_TRUE(surface().needsRedraw()) << "the last frame of the animation";
  render();
  EXPECT_FALSE(surface().needsRedraw());

  surface().resize({300, 400});
  EXPECT_EQ(UIScreen::main().bounds().size.height, 400);
  EXPECT_TRUE(surface().needsRedraw()) << "resized";
  EXPECT_THROW(surface().resize({0, 400}), std::invalid_argument);
}

TEST_F(KivoHostSurfaceTest, TheRedrawHandlerIsCalledWhenDueAtMostAtItsRate) {
  int calls = 0;
  surface().setRedrawHandler([&] {
    ++calls;
    render();
  });
  const auto callsOver = [&](const char* advance) {
    calls = 0;
    run({advance});
    return calls;
  };
  EXPECT_NEAR(callsOver("advance 1"), 30, 1) << "the camera's frames";
  run({"call stopSession", "advance 0.1"});
  EXPECT_EQ(callsOver("advance 1"), 0) << "a still screen";
  run({"tap 100 200"});
  EXPECT_NEAR(callsOver("advance 0.25"), 15, 1) << "an animation, at the handler's 60 a second";
  surface().setRedrawHandler(nullptr);
  run({"tap 150 300"});
  EXPECT_EQ(callsOver("advance 0.5"), 0) << "stopped";
  EXPECT_THROW(surface().setRedrawHandler([] {}, 0), std::invalid_argument);
}

}  // namespace
}  // namespace kivocam
