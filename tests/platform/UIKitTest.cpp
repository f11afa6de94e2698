// The minimal view-system services: images from bytes, the shared
// application (idle timer, open-URL, active state), device and screen.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/PlatformTrace.h"
#include "Kivo/KivoResource.h"
#include "UIKit/UIApplication.h"
#include "UIKit/UIDevice.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"

using ::testing::ElementsAre;

namespace {

/// Records platform calls as "receiver selector arguments".
class UIKitTest : public ::testing::Test {
 protected:
  void TearDown() override {
    UIApplication::shared().resetToDefaults();
    UIDevice::current().resetToDefaults();
    UIScreen::main().resetToDefaults();
    NotificationCenter::defaultCenter().removeAllObservers();
  }
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

TEST_F(UIKitTest, EveryIdleTimerSetIsTracedEvenWithoutChange) {
  auto& application = UIApplication::shared();
  application.setIdleTimerDisabled(true);
  application.setIdleTimerDisabled(true);
  EXPECT_TRUE(application.isIdleTimerDisabled());
  application.setIdleTimerDisabled(false);
  EXPECT_FALSE(application.isIdleTimerDisabled());
  application.setIdleTimerDisabledSilently(true);  // the world's own setting
  EXPECT_TRUE(application.isIdleTimerDisabled());
  EXPECT_THAT(calls, ElementsAre("application setIdleTimerDisabled: true", "application setIdleTimerDisabled: true",
                                 "application setIdleTimerDisabled: false"));
}

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

TEST_F(UIKitTest, ActivationNotificationsComeFromTheApplicationAroundTheStateChange) {
  auto& application = UIApplication::shared();
  auto observer = std::make_shared<int>(0);
  std::vector<std::pair<std::string, UIApplicationState>> seen;
  for (const char* name : {UIApplicationWillResignActiveNotification, UIApplicationDidBecomeActiveNotification}) {
    NotificationCenter::defaultCenter().addObserver(
        observer,
        [&](const Notification& note) {
          EXPECT_EQ(note.object, &application);
          seen.emplace_back(note.name, application.applicationState());
        },
        name, nullptr);
  }
  application.resignActive();
  EXPECT_EQ(application.applicationState(), UIApplicationState::inactive);
  application.becomeActive();
  EXPECT_THAT(seen, ElementsAre(std::pair{std::string(UIApplicationWillResignActiveNotification), UIApplicationState::active},
                                std::pair{std::string(UIApplicationDidBecomeActiveNotification), UIApplicationState::active}));
}

// --- Device and screen -------------------------------------------------------------

}  // namespace
