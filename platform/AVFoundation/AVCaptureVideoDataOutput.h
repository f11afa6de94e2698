#pragma once
// Video frame delivery. While its session runs, the output hands a frame to
// its sample-buffer delegate every 1/fps seconds of the session's camera, the
// first one frame interval after startRunning, on the queue given with the
// delegate. The delegate is held weakly. Thread-safe.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "AVFoundation/AVCaptureConnection.h"
#include "AVFoundation/AVCaptureOutput.h"
#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMSampleBuffer.h"
#include "Dispatch/Dispatch.h"

class AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
  /// captureOutput:didOutputSampleBuffer:fromConnection:
  virtual void captureOutput(AVCaptureOutput& output, const CMSampleBufferRef& sampleBuffer,
                             AVCaptureConnection& connection) = 0;
};

class AVCaptureVideoDataOutput final : public AVCaptureOutput {
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
  /// Takes kCVPixelBufferPixelFormatTypeKey when it names an available format;
  /// anything else leaves the settings as they were (the call is traced).
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
  void scheduleFrame(std::uint64_t run, double start, double interval, std::uint64_t index);
  void deliverFrame();

  // Ticks of the camera's clock; frames then hop to the delegate's queue.
  const DispatchQueue captureQueue_;
  std::atomic<OSType> pixelFormat_{kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange};
  std::atomic<std::uint64_t> run_{0};  // changes at every start and stop
  std::atomic<std::uint64_t> framesDelivered_{0};
  mutable std::mutex mutex_;
  std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate_;
  std::optional<DispatchQueue> delegateQueue_;
};
