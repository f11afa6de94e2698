#include "AVFoundation/AVCaptureVideoDataOutput.h"

#include <algorithm>
#include <cmath>

#include "AVFoundation/AVCaptureSession.h"
#include "AVFoundation/AVTrace.h"
#include "Foundation/TraceFormat.h"

std::shared_ptr<AVCaptureVideoDataOutput> AVCaptureVideoDataOutput::create() {
  return std::make_shared<AVCaptureVideoDataOutput>();
}

AVCaptureVideoDataOutput::AVCaptureVideoDataOutput()
    : AVCaptureOutput(std::string()),
      captureQueue_("com.kivocamera.platform.video-capture") {}

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
  const auto formats = availableVideoPixelFormatTypes();
  if (std::find(formats.begin(), formats.end(), entry->second) == formats.end()) return;
  pixelFormat_.store(static_cast<OSType>(entry->second));
}

void AVCaptureVideoDataOutput::setSampleBufferDelegate(
    const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate, std::optional<DispatchQueue> queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = delegate;
  delegateQueue_ = std::move(queue);
}

std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> AVCaptureVideoDataOutput::sampleBufferDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void AVCaptureVideoDataOutput::sessionDidStartRunning(const std::shared_ptr<AVCaptureSession>& session) {
  const std::uint64_t run = run_.fetch_add(1) + 1;
  auto device = session->videoDevice();
  const double fps = device ? device->activeFormat().maxFrameRate : 0;
  // Without a camera there is nothing to deliver until the next start.
  if (!(fps > 0) || !std::isfinite(fps)) return;
  scheduleFrame(run, CACurrentMediaTime(), 1.0 / fps, 1);
}

void AVCaptureVideoDataOutput::sessionDidStopRunning() { run_.fetch_add(1); }

void AVCaptureVideoDataOutput::scheduleFrame(std::uint64_t run, double start, double interval, std::uint64_t index) {
  // Due times are counted from the start so the cadence does not drift.
  const double due = start + interval * static_cast<double>(index);
  std::weak_ptr<AVCaptureVideoDataOutput> weakSelf =
      std::static_pointer_cast<AVCaptureVideoDataOutput>(shared_from_this());
  captureQueue_.asyncAfter(due - CACurrentMediaTime(), [weakSelf, run, start, interval, index] {
    auto self = weakSelf.lock();
    if (!self || self->run_.load() != run || !self->session()) return;
    self->deliverFrame();
    self->scheduleFrame(run, start, interval, index + 1);
  });
}

void AVCaptureVideoDataOutput::deliverFrame() {
  std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate;
  std::optional<DispatchQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate = delegate_.lock();
    queue = delegateQueue_;
  }
  if (!delegate || !queue || !sourceDevice()) return;
  auto frame = CMSampleBuffer::create(CMTimeMakeWithSeconds(CACurrentMediaTime(), kCMTimeMaxTimescale),
                                      pixelFormat_.load());
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
