#pragma once
// Video frame delivery. While its session runs, the output streams the
// session's camera (opened when the session starts, or when the output joins
// a running session) and hands each frame, with its picture in the output's
// pixel format, to its sample-buffer delegate on the queue given with the
// delegate. The delegate is held weakly.
// Thread-safe

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureOutput.h"
#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "Dispatch/Dispatch.h"
#include "Foundation/ThreadSafety.h"

class AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
  /// captureOutput:didOutputSampleBuffer:fromConnection:
  virtual void captureOutput(AVCaptureOutput& output, const CMSampleBufferRef& sampleBuffer,
                             AVCaptureConnection& connection) = 0;
};

class AVCaptureVideoDataOutput final : public AVCaptureOutput, public AVCaptureStreamSink {
 public:
  static std::shared_ptr<AVCaptureVideoDataOutput> create();
  AVCaptureVideoDataOutput();

  std::string_view kindName() const override { return "video"; }
  AVCaptureOutputKind kind() const override { return AVCaptureOutputKind::video; }

  /// '420v', '420f' and 'BGRA'.
  std::vector<OSType> availableVideoPixelFormatTypes() const;
  /// The pixel format of delivered frames ('420v' until set).
  OSType pixelFormatType() const { return pixelFormat_.load(); }
  CVPixelBufferAttributes videoSettings() const;
  /// Takes kCVPixelBufferPixelFormatTypeKey when it names an available format
  /// (later frames come in it); anything else leaves the settings as they
  /// were (the call is traced).
  void setVideoSettings(const CVPixelBufferAttributes& settings);

  /// The delegate (held weakly) and the queue its frames arrive on; a null
  /// delegate or no queue stops delivery.
  void setSampleBufferDelegate(const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate,
                               std::optional<DispatchQueue> queue);
  std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> sampleBufferDelegate() const;

  /// Frames handed to a delegate queue so far.
  std::uint64_t framesDelivered() const { return framesDelivered_.load(); }

 protected:
  void sessionDidStartRunning(const std::shared_ptr<AVCaptureSession>& session) override;
  void sessionDidStopRunning() override;

 private:
  // AVCaptureStreamSink: a frame from the camera hops to the delegate's queue.
  void streamDidOutputFrame(const CMSampleBufferRef& frame) override;

  std::atomic<OSType> pixelFormat_{kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange};
  std::atomic<std::uint64_t> framesDelivered_{0};
  mutable kivo::Mutex mutex_;
  std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate_ KIVO_GUARDED_BY(mutex_);
  std::optional<DispatchQueue> delegateQueue_ KIVO_GUARDED_BY(mutex_);
  // Replaced at every start and stop; destroyed outside mutex_.
  std::unique_ptr<AVCaptureStream> stream_ KIVO_GUARDED_BY(mutex_);
};
