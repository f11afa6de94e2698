// The permission calls the scenario traces cannot make: a request without a
// block, and the settings prompt without a controller to present it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "KivoCameraAuthorization.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace {

TEST(KivoCameraAuthorizationTest, WithoutABlockTheRequestIsStillMade) {
  sim::World world;
  world.capture().setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
  KivoCameraAuthorization::isAuthorizedWithBlock(nullptr);
  world.runUntilIdle();
  ASSERT_TRUE(world.capture().hasOpenPermissionRequest());
  world.capture().answerPermissionRequest(true);
  world.advance(1);
  EXPECT_TRUE(KivoCameraAuthorization::isAuthorized());
}

TEST(KivoCameraAuthorizationTest, NoControllerNoPrompt) {
  sim::World world;
  KivoCameraAuthorization::promptToAppSettings(nullptr);
  world.runUntilIdle();
  EXPECT_THAT(world.trace().take(), ::testing::IsEmpty());
}

}  // namespace
