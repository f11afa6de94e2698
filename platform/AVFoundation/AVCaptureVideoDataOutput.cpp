#include "AVFoundation/AVCaptureVideoDataOutput.h"

#include <algorithm>
#include <cmath>

#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVTrace.h"
#include "Foundation/ThreadSafety.h"
#include "Foundation/TraceFormat.h"

std::shared_ptr<AVCaptureVideoDataOutput> AVCaptureVideoDataOutput::create() {
  return std::make_shared<AVCaptureVideoDataOutput>();
}

AVCaptureVideoDataOutput::AVCaptureVideoDataOutput() : AVCaptureOutput(std::string()) {}

std::vector<OSType> AVCaptureVideoDataOutput::availableVideoPixelFormatTypes() const {
  return {kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
          kCVPixelFormatType_32BGRA};
}

CVPixelBufferAttributes AVCaptureVideoDataOutput::videoSettings() const {
  return CVPixelBufferAttributes{{std::string(kCVPixelBufferPixelFormatTypeKey), pixelFormat_.load()}};
}

void AVCaptureVideoDataOutput::setVideoSettings(const CVPixelBufferAttributes& settings) {
  const auto entry = settings.find(kCVPixelBufferPixelFormatTypeKey);
  av_detail::traceCall("video-output", "setVideoSettings:", [&] {
    return entry == settings.end() ? std::string("nil") : formatInteger(entry->second);
  });
  if (entry == settings.end()) return;
  const auto available = availableVideoPixelFormatTypes();
  if (std::find(available.begin(), available.end(), entry->second) == available.end()) return;
  const auto format = static_cast<OSType>(entry->second);
  pixelFormat_.store(format);
  kivo::MutexLock lock(mutex_);
  if (stream_) stream_->setPixelFormat(format);
}

void AVCaptureVideoDataOutput::setSampleBufferDelegate(
    const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate, std::optional<DispatchQueue> queue) {
  kivo::MutexLock lock(mutex_);
  delegate_ = delegate;
  delegateQueue_ = std::move(queue);
}

std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> AVCaptureVideoDataOutput::sampleBufferDelegate() const {
  kivo::MutexLock lock(mutex_);
  return delegate_.lock();
}

void AVCaptureVideoDataOutput::sessionDidStartRunning(const std::shared_ptr<AVCaptureSession>& session) {
  // Without a camera there is nothing to deliver until the next start.
  std::unique_ptr<AVCaptureStream> stream;
  if (auto device = session->videoDevice()) {
    AVCaptureStreamRequest request;
    request.pixelFormat = pixelFormat_.load();
    request.connection = videoConnection();
    stream = AVCaptureCurrentBackend()->startStream(
        device, request, std::static_pointer_cast<AVCaptureVideoDataOutput>(shared_from_this()));
  }
  kivo::MutexLock lock(mutex_);
  std::swap(stream_, stream);
}

void AVCaptureVideoDataOutput::sessionDidStopRunning() {
  std::unique_ptr<AVCaptureStream> stream;
  kivo::MutexLock lock(mutex_);
  std::swap(stream_, stream);
}

void AVCaptureVideoDataOutput::streamDidOutputFrame(const CMSampleBufferRef& frame) {
  std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate;
  std::optional<DispatchQueue> queue;
  {
    kivo::MutexLock lock(mutex_);
    if (!stream_) return;
    delegate = delegate_.lock();
    queue = delegateQueue_;
  }
  if (!delegate || !queue || !sourceDevice()) return;
  framesDelivered_.fetch_add(1);
  std::weak_ptr<AVCaptureVideoDataOutput> weakSelf =
      std::static_pointer_cast<AVCaptureVideoDataOutput>(shared_from_this());
  std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> weakDelegate = delegate;
  queue->async([weakSelf, weakDelegate, frame] {
    auto self = weakSelf.lock();
    auto delegate = weakDelegate.lock();
    if (self && delegate) delegate->captureOutput(*self, frame, *self->videoConnection());
  });
}
