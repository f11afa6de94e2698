#pragma once
// The capture framework in one include.

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureDevice.h"
#include "AVFoundation/AVCaptureInput.h"
#include "AVFoundation/AVCaptureOutput.h"
#include "AVFoundation/AVCapturePhotoOutput.h"
#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVCaptureTypes.h"
#include "AVFoundation/AVCaptureVideoDataOutput.h"
#include "AVFoundation/AVCaptureVideoPreviewLayer.h"
