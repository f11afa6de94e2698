#include "KivoCameraAuthorization.h"

#include "AVFoundation/AVCaptureDevice.h"
#include "Dispatch/Dispatch.h"
#include "Kivo/KivoResource.h"
#include "KivoCameraLocalizableKey.h"
#include "UIKit/UIAlertController.h"
#include "UIKit/UIApplication.h"

namespace {
constexpr const char* kOwner = "KivoCameraAuthorization";

std::string text(std::string_view key) { return localizedOrMain(key, kOwner); }
}  // namespace

bool KivoCameraAuthorization::isAuthorized() {
  return AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) == AVAuthorizationStatus::authorized;
}

void KivoCameraAuthorization::isAuthorizedWithBlock(std::function<void(bool authorized)> block) {
  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [block = std::move(block)](bool granted) {
    DispatchQueue::main().asyncAfter(0.1, [block, granted] {
      if (block) block(granted);
    });
  });
}

void KivoCameraAuthorization::promptToAppSettings(const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  DispatchQueue::main().async([controller] {
    auto alert = UIAlertController::alertControllerWithTitle(text(TEXT_AUTH_ERROR), text("text_auth_error_detail"),
                                                             UIAlertControllerStyle::alert);
    alert->addAction(UIAlertAction::actionWithTitle(text(TEXT_OK), UIAlertActionStyle::cancel, nullptr));
    alert->addAction(UIAlertAction::actionWithTitle(text(TEXT_SETTING), UIAlertActionStyle::defaultStyle,
                                                    [](UIAlertAction&) {
                                                      UIApplication::shared().openURL(
                                                          UIApplicationOpenSettingsURLString, {}, nullptr);
                                                    }));
    controller->presentViewController(alert, true, nullptr);
  });
}
