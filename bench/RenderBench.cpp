// The screen in pixels: one render of the whole default screen (375 x 812
// points, scale 1) with the camera's 480 x 640 picture under aspect fill,
// the focus reticle mid-animation and the shutter overlay mid-fade, against
// a plain bilinear scale of the same frame to the same on-screen size.
//
// The world is deterministic, so virtual time stands still while the loop
// runs: every iteration draws the same moment.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "BenchSupport.h"
#include "CoreGraphics/CGContext.h"
#include "CoreVideo/CVPixelBuffer.h"
#include "Foundation/PlatformTrace.h"
#include "KivoCamera.h"
#include "KivoCameraInspector.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"
#include "sim/World.h"
#include "support/ShownCamera.h"

namespace {

// A shown camera at the moment the benchmark draws: the session running,
// the reticle 0.1 s into its animation after a tap, the shutter overlay
// 0.1 s into its fade.
class Screen {
 public:
  Screen() {
    world_.trace().setRecording(false);
    shown_.emplace(world_, kivotest::ShownCamera::Setup{.configure = [](KivoCamera& camera) {
      camera.setVideoGravity(std::string(AVLayerVideoGravityResizeAspectFill));
    }});
    world_.advance(0.5);
    // The photo's will-capture moment starts the shutter; the tap then starts
    // the reticle, so both are under way when the loop draws.
    shown_->camera().capturePhoto();
    world_.advance(0.05);
    host().tap({120, 300});
    world_.advance(0.1);
  }

  sim::HostScreen& host() { return shown_->screen(); }
  /// The preview's picture now.
  CVPixelBufferRef frame() { return KivoCameraInspector::session(shown_->camera())->currentFrame(); }

 private:
  sim::World world_{sim::World::Mode::deterministic};
  ScopedPlatformCallSink quiet_{[](std::string_view, std::string_view, std::string_view) {}};
  std::optional<kivotest::ShownCamera> shown_;
};

void BM_RenderScreen(benchmark::State& state) {
  Screen screen;
  const CGRect bounds = UIScreen::main().bounds();
  CGContext context(static_cast<int>(bounds.width()), static_cast<int>(bounds.height()));
  screen.host().renderInContext(context);  // the first frame may allocate
  const std::uint64_t before = bench::allocationCount();
  for (auto _ : state) {
    screen.host().renderInContext(context);
    benchmark::DoNotOptimize(context.data());
  }
  state.counters["allocs_per_render"] =
      static_cast<double>(bench::allocationCount() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RenderScreen)->Unit(benchmark::kMicrosecond);

// The floor: the same frame scaled bilinearly to cover the same screen, as
// aspect fill places it (centred, cropped), written opaque into an RGBA
// buffer of the screen's size. 16.16 fixed point, one pass, no blending.
void BM_ScaleFrame_Baseline(benchmark::State& state) {
  Screen screen;
  const CVPixelBufferRef frame = screen.frame();
  if (!frame) {
    state.SkipWithError("no preview frame");
    return;
  }
  const int srcW = frame->width();
  const int srcH = frame->height();
  const std::uint8_t* src = frame->baseAddressOfPlane(0);
  const std::size_t srcStride = frame->bytesPerRowOfPlane(0);
  const CGRect bounds = UIScreen::main().bounds();
  const int dstW = static_cast<int>(bounds.width());
  const int dstH = static_cast<int>(bounds.height());
  std::vector<std::uint8_t> dst(static_cast<std::size_t>(dstW) * dstH * 4);

  const double scale = std::max(dstW / static_cast<double>(srcW), dstH / static_cast<double>(srcH));
  const double offsetX = (srcW * scale - dstW) / 2;
  const double offsetY = (srcH * scale - dstH) / 2;
  const auto step = static_cast<std::int64_t>(65536 / scale);
  for (auto _ : state) {
    for (int y = 0; y < dstH; ++y) {
      const double sy = (y + 0.5 + offsetY) / scale - 0.5;
      const int y0 = std::clamp(static_cast<int>(std::floor(sy)), 0, srcH - 1);
      const int y1 = std::min(y0 + 1, srcH - 1);
      const auto fy = static_cast<std::uint32_t>((sy - std::floor(sy)) * 256);
      const std::uint8_t* row0 = src + y0 * srcStride;
      const std::uint8_t* row1 = src + y1 * srcStride;
      std::uint8_t* out = dst.data() + static_cast<std::size_t>(y) * dstW * 4;
      auto sx = static_cast<std::int64_t>(((0.5 + offsetX) / scale - 0.5) * 65536);
      for (int x = 0; x < dstW; ++x, sx += step) {
        const int x0 = std::clamp(static_cast<int>(sx >> 16), 0, srcW - 1);
        const int x1 = std::min(x0 + 1, srcW - 1);
        const auto fx = static_cast<std::uint32_t>((sx >> 8) & 0xFF);
        for (int c = 0; c < 3; ++c) {
          const std::uint32_t top = row0[x0 * 4 + c] * (256 - fx) + row0[x1 * 4 + c] * fx;
          const std::uint32_t bottom = row1[x0 * 4 + c] * (256 - fx) + row1[x1 * 4 + c] * fx;
          out[x * 4 + 2 - c] = static_cast<std::uint8_t>((top * (256 - fy) + bottom * fy) >> 16);
        }
        out[x * 4 + 3] = 255;
      }
    }
    benchmark::DoNotOptimize(dst.data());
  }
}
BENCHMARK(BM_ScaleFrame_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
