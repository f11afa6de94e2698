// Permission queries and the settings prompt, on the simulated platform.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AVFoundation/AVCaptureDevice.h"
#include "Kivo/KivoResource.h"
#include "KivoCameraAuthorization.h"
#include "UIKit/UIAlertController.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class KivoCameraAuthorizationTest : public ::testing::Test {
 protected:
  sim::World world;
  void SetUp() override { setPreferredKivoLanguage("en"); }
  void TearDown() override { setPreferredKivoLanguage(std::nullopt); }
};

TEST_F(KivoCameraAuthorizationTest, OnlyAuthorisedCountsAsAuthorised) {
  const std::vector<std::pair<AVAuthorizationStatus, bool>> cases = {
      {AVAuthorizationStatus::notDetermined, false},
      {AVAuthorizationStatus::restricted, false},
      {AVAuthorizationStatus::denied, false},
      {AVAuthorizationStatus::authorized, true}};
  for (const auto& [status, expected] : cases) {
    world.capture().setAuthorizationStatus(status);
    EXPECT_EQ(KivoCameraAuthorization::isAuthorized(), expected) << static_cast<int>(status);
  }
}

TEST_F(KivoCameraAuthorizationTest, WithoutABlockTheRequestIsStillMade) {
  world.capture().setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
  KivoCameraAuthorization::isAuthorizedWithBlock(nullptr);
  world.runUntilIdle();
  EXPECT_TRUE(world.capture().hasOpenPermissionRequest());
  world.capture().answerPermissionRequest(false);
  world.advance(1);
  EXPECT_FALSE(KivoCameraAuthorization::isAuthorized());
}

TEST_F(KivoCameraAuthorizationTest, ThePromptOffersCancelThenSettingsAndOpensTheSettingsPage) {
  auto presenter = UIViewController::create();
  KivoCameraAuthorization::promptToAppSettings(presenter);
  EXPECT_EQ(presenter->presentedViewController(), nullptr) << "queued on the main queue";
  world.runUntilIdle();
  auto alert = std::dynamic_pointer_cast<UIAlertController>(presenter->presentedViewController());
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->preferredStyle(), UIAlertControllerStyle::alert);
  ASSERT_EQ(alert->actions().size(), 2u);
  EXPECT_EQ(alert->actions()[0]->style(), UIAlertActionStyle::cancel);
  EXPECT_EQ(alert->actions()[0]->title(), localizedOrMain("text_ok", "test"));
  EXPECT_EQ(alert->actions()[1]->style(), UIAlertActionStyle::defaultStyle);
  EXPECT_THAT(world.trace().take(),
              ElementsAre("platform UIViewController presentViewController: alert \"Camera access is off\" "
                          "\"To take photos, allow this app to use the camera in Settings.\" cancel \"OK\" default "
                          "\"Settings\" @main"));
  EXPECT_TRUE(alert->tapActionWithStyle(UIAlertActionStyle::defaultStyle));
  EXPECT_THAT(world.trace().take(), ElementsAre("platform application openURL: app-settings: @main"));
}

TEST_F(KivoCameraAuthorizationTest, NoControllerNoPrompt) {
  KivoCameraAuthorization::promptToAppSettings(nullptr);
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(), IsEmpty());
}

}  // namespace
