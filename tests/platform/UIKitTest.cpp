// The minimal view-system services: images from bytes and the shared
// application's open-URL. The idle timer and the activation notifications are
// checked through the controller by the scenario traces.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/PlatformTrace.h"
#include "Kivo/KivoResource.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIImage.h"

using ::testing::ElementsAre;

namespace {

/// Records platform calls as "receiver selector arguments".
class UIKitTest : public ::testing::Test {
 protected:
  void TearDown() override { UIApplication::shared().resetToDefaults(); }
  DeterministicExecutor executor;
  std::vector<std::string> calls;
  ScopedPlatformCallSink sink{[this](std::string_view receiver, std::string_view selector, std::string_view arguments) {
    std::string line(receiver);
    line.push_back(' ');
    line.append(selector);
    line.push_back(' ');
    line.append(arguments);
    calls.push_back(std::move(line));
  }};
};

// --- Images ------------------------------------------------------------------

Data reticleBytes() {
  // The shipped reticle, found through the same lookup the component uses.
  for (const auto& directory : kivoResourceSearchDirectories()) {
    std::ifstream in(directory / "KivoCameraFocusDefault.png", std::ios::binary);
    if (in) return Data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  return {};
}

TEST(UIImageTest, DecodesPNGBytesAndRejectsEverythingElse) {
  const Data good = reticleBytes();
  ASSERT_FALSE(good.empty());
  auto image = UIImage::imageWithData(good);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->rgbaPixels().size(), std::size_t{image->pixelWidth()} * image->pixelHeight() * 4);

  const Data signatureOnly(good.begin(), good.begin() + 8);
  const Data truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  Data corrupted = good;
  corrupted[good.size() / 2] ^= 0xFF;  // breaks the compressed data's checksum
  for (const Data& bad : {Data{}, Data{'G', 'I', 'F', '8', '9', 'a'}, signatureOnly, truncated, corrupted})
    EXPECT_EQ(UIImage::imageWithData(bad), nullptr) << bad.size() << " bytes";
  EXPECT_EQ(UIImage::imageWithContentsOfFile("/nonexistent/image.png"), nullptr);
}

TEST(UIImageTest, PixelImagesNeedMatchingSizes) {
  EXPECT_NE(UIImage::imageWithPixels(2, 1, std::vector<std::uint8_t>(8)), nullptr);
  EXPECT_EQ(UIImage::imageWithPixels(2, 2, std::vector<std::uint8_t>(8)), nullptr);
  EXPECT_EQ(UIImage::imageWithPixels(0, 0, {}), nullptr);
}

// --- Application ---------------------------------------------------------------

TEST_F(UIKitTest, OpenURLIsTracedAndCompletesLaterOnTheMainQueue) {
  std::vector<std::pair<bool, std::string>> completions;
  auto record = [&](bool ok) { completions.emplace_back(ok, DispatchQueue::currentLabel()); };
  auto& application = UIApplication::shared();
  application.openURL(UIApplicationOpenSettingsURLString, {}, record);
  application.openURL("no scheme here", {}, record);
  application.openURL("app-settings:", {}, nullptr);
  EXPECT_TRUE(completions.empty()) << "completions never run inside the call";
  executor.runUntilIdle();
  EXPECT_THAT(completions, ElementsAre(std::pair{true, std::string("main")}, std::pair{false, std::string("main")}));
  EXPECT_THAT(calls, ElementsAre("application openURL: app-settings:", "application openURL: no scheme here",
                                 "application openURL: app-settings:"));
}

}  // namespace
