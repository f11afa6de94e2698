#pragma once
// The references of a KivoCamera that several queues read and replace
// whole: each behind its own small lock, so a reader always sees a whole
// pointer. Kept out of KivoCamera.h, which a host includes.
//
// Thread-safe

#include <memory>

#include "AVFoundation/AVCaptureDevice.h"
#include "KivoCamera.h"
#include "KivoCameraDelegate.h"
#include "KivoCameraLockedPointer.h"
#include "KivoMotionManager.h"
#include "KivoOrientation.h"

struct KivoCamera::Handles {
  KivoCameraLockedPointer<std::weak_ptr<KivoCameraDelegate>> delegate;
  KivoCameraLockedPointer<std::shared_ptr<KivoMotionManager>> motionManager{KivoMotionManager::create()};
  KivoCameraLockedPointer<std::shared_ptr<KivoOrientation>> orientation{KivoOrientation::create()};
  KivoCameraLockedPointer<std::shared_ptr<AVCaptureDevice>> videoDevice;
};
