// The screen in pixels through the scenario runner: snapshots of moments
// where a fault would show, against images reviewed by hand, and how the
// animated parts of the screen change over time.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <ostream>
#include <set>
#include <sstream>
#include <string>

#include "CoreGraphics/CGContext.h"
#include "KivoCamera.h"
#include "KivoFocusView.h"
#include "Runner.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"
#include "sim/HostScreen.h"
#include "support/ShownByRunner.h"

namespace kivocam {
namespace {

namespace fs = std::filesystem;

// The largest difference of a channel (0-255) allowed between a snapshot and
// its reviewed image: filtering and glyph rasterisation may round a step
// differently between builds, while anything misplaced, missing or of the
// wrong opacity differs by far more.
constexpr int kTolerance = 2;

fs::path scenariosDir() {
  const char* root = std::getenv("KIVO_TEST_SOURCE_DIR");
  return root ? fs::path(root) / "tests" / "scenarios" : fs::path();
}

std::string readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Where `actual` differs from `expected` by more than the tolerance; empty
// when it does not.
std::string compareImages(const UIImage& expected, const UIImage& actual) {
  if (expected.pixelWidth() != actual.pixelWidth() || expected.pixelHeight() != actual.pixelHeight())
    return "size " + std::to_string(actual.pixelWidth()) + "x" + std::to_string(actual.pixelHeight()) +
           ", expected " + std::to_string(expected.pixelWidth()) + "x" + std::to_string(expected.pixelHeight());
  const auto& a = actual.rgbaPixels();
  const auto& e = expected.rgbaPixels();
  std::size_t count = 0, first = 0;
  int largest = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int d = std::abs(int{a[i]} - int{e[i]});
    if (d <= kTolerance) continue;
    if (count++ == 0) first = i / 4;
    largest = std::max(largest, d);
  }
  if (count == 0) return {};
  return std::to_string(count) + " channels differ by up to " + std::to_string(largest) + ", the first at (" +
         std::to_string(first % actual.pixelWidth()) + ", " + std::to_string(first / actual.pixelWidth()) + ")";
}

// Each pixels-*.kvs scenario writes its snapshots; images/SCENARIO/ holds the
// reviewed ones. Every snapshot must have its reviewed image and match it.
TEST(ScreenSnapshots, MatchTheReviewedImages) {
  const fs::path dir = scenariosDir();
  if (dir.empty()) GTEST_SKIP() << "KIVO_TEST_SOURCE_DIR is not set (ctest sets it)";
  const fs::path scratch = fs::temp_directory_path() / ("kivo-snapshots-" + std::to_string(::getpid()));
  std::set<std::string> scenarios;
  for (const auto& entry : fs::directory_iterator(dir / "images")) scenarios.insert(entry.path().filename());
  ASSERT_FALSE(scenarios.empty());
  for (const std::string& scenario : scenarios) {
    SCOPED_TRACE(scenario);
    const fs::path written = scratch / scenario;
    fs::create_directories(written);
    RunnerOptions options;
    options.recordTrace = false;
    options.snapshotsDirectory = written;
    std::ostream discard(nullptr);
    const ScenarioResult result = runScenario(readText(dir / (scenario + ".kvs")), options, discard);
    ASSERT_EQ(result.status, 0) << result.message;

    std::set<std::string> reviewed;
    for (const auto& entry : fs::directory_iterator(dir / "images" / scenario)) reviewed.insert(entry.path().filename());
    std::set<std::string> made;
    for (const auto& entry : fs::directory_iterator(written)) made.insert(entry.path().filename());
    EXPECT_EQ(made, reviewed) << "every snapshot needs a reviewed image, and every reviewed image a snapshot";
    for (const std::string& name : made) {
      const auto expected = UIImage::imageWithContentsOfFile(dir / "images" / scenario / name);
      const auto actual = UIImage::imageWithContentsOfFile(written / name);
      if (!expected || !actual) continue;  // the set comparison above has failed already
      EXPECT_EQ(compareImages(*expected, *actual), "") << name << " (written to " << (written / name) << ")";
    }
  }
  if (!HasFailure()) fs::remove_all(scratch);
}

// A name is a plain file name in the snapshot directory; a screen too large
// to draw is refused before any drawing.
TEST(ScreenSnapshots, NamesAndSizesOutsideTheLimitsAreWrongLines) {
  const std::string longest(kMaxSnapshotNameLength, 'n');
  const std::vector<std::pair<std::string, bool>> names = {
      {"a", true},          {"A-b_c.9", true}, {"x.png", true},   {longest, true}, {longest + "n", false},
      {".hidden", false},   {"..", false},     {"a/b", false},    {"../a", false}, {"caf\xC3\xA9", false},
      {"a\\b", false},    {"~", false},      {"*", false},      {"%2e", false},
  };
  for (const auto& [name, valid] : names) {
    std::ostream discard(nullptr);
    Runner runner({}, discard);
    bool accepted = true;
    try {
      runner.run("snapshot " + name);
    } catch (const ScenarioError&) {
      accepted = false;
    }
    EXPECT_EQ(accepted, valid) << name;
  }
  std::ostream discard(nullptr);
  Runner runner({}, discard);
  runner.run("world screen 6000 6000");
  runner.run("world screen-scale 1");
  EXPECT_THROW(runner.run("snapshot big"), ScenarioError) << "36 million pixels";
}

// --- Animations over time ----------------------------------------------------------

class ScreenOverTime : public ShownByRunner {
 protected:
  // The screen now, one pixel a point.
  const CGContext& render() {
    const CGRect bounds = UIScreen::main().bounds();
    context_.emplace(static_cast<int>(bounds.width()), static_cast<int>(bounds.height()));
    runner_.host().renderInContext(*context_);
    return *context_;
  }

  std::optional<CGContext> context_;
};

struct Box {
  int minX = 1 << 30, minY = 1 << 30, maxX = -1, maxY = -1;
  bool empty() const { return maxX < 0; }
  double width() const { return maxX - minX + 1; }
  double centreX() const { return (minX + maxX + 1) / 2.0; }
  double centreY() const { return (minY + maxY + 1) / 2.0; }
};

// The pixels of the reticle's yellow, which nothing else on the screen has.
Box yellowPixels(const CGContext& c) {
  Box box;
  for (int y = 0; y < c.height(); ++y)
    for (int x = 0; x < c.width(); ++x) {
      const std::uint8_t* p = c.data() + (static_cast<std::size_t>(y) * c.width() + x) * 4;
      if (p[0] > 180 && p[1] > 130 && p[2] < 90) {
        box.minX = std::min(box.minX, x), box.maxX = std::max(box.maxX, x);
        box.minY = std::min(box.minY, y), box.maxY = std::max(box.maxY, y);
      }
    }
  return box;
}

double meanBrightness(const CGContext& c) {
  double sum = 0;
  const std::size_t n = static_cast<std::size_t>(c.width()) * c.height();
  for (std::size_t i = 0; i < n; ++i) sum += c.data()[i * 4] + c.data()[i * 4 + 1] + c.data()[i * 4 + 2];
  return sum / (3.0 * n);
}

// The reticle appears around the tap point, larger than its view at first,
// shrinks towards it, and is gone once the camera has focused.
TEST_F(ScreenOverTime, ReticleCentredOnTheTapShrinksThenGoes) {
  run({"tap 100 200", "advance 0.05"});
  const Box early = yellowPixels(render());
  run({"advance 0.15"});
  const Box later = yellowPixels(render());
  ASSERT_FALSE(early.empty());
  ASSERT_FALSE(later.empty());
  for (const Box& box : {early, later}) {
    EXPECT_NEAR(box.centreX(), 100, 1.5);
    EXPECT_NEAR(box.centreY(), 200, 1.5);
  }
  const double side = runner_.camera()->focusView()->frame().size.width;
  EXPECT_GT(early.width(), later.width());
  EXPECT_GT(later.width(), side);
  EXPECT_LT(early.width(), 1.5 * side + 2);
  run({"advance 0.2"});
  EXPECT_TRUE(yellowPixels(render()).empty()) << "the reticle stays after the camera focused";
}

// The shutter turns the screen black at once and fades back to the preview.
TEST_F(ScreenOverTime, ShutterOverlayFadesBackToThePreview) {
  const double before = meanBrightness(render());
  ASSERT_GT(before, 40);
  run({"call capturePhoto", "advance 0.05"});
  std::vector<double> brightness{meanBrightness(render())};
  for (int step = 0; step < 5; ++step) {
    run({"advance 0.06"});
    brightness.push_back(meanBrightness(render()));
  }
  EXPECT_LT(brightness.front(), 0.05 * before);
  for (std::size_t i = 1; i < brightness.size(); ++i) EXPECT_GT(brightness[i], brightness[i - 1]) << "step " << i;
  EXPECT_NEAR(brightness.back(), before, 0.5);
}

}  // namespace
}  // namespace kivocam
