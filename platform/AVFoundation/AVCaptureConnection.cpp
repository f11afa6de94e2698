#include "AVFoundation/AVCaptureConnection.h"

#include "AVFoundation/AVTrace.h"
#include "Foundation/TraceFormat.h"

std::shared_ptr<AVCaptureConnection> AVCaptureConnection::create(std::string traceName) {
  return std::make_shared<AVCaptureConnection>(std::move(traceName));
}

void AVCaptureConnection::setVideoOrientation(AVCaptureVideoOrientation orientation) {
  if (!traceName_.empty()) {
    av_detail::traceCall(traceName_, "setVideoOrientation:", [&] { return formatInteger(rawValue(orientation)); });
  }
  orientation_.store(orientation, std::memory_order_relaxed);
}
