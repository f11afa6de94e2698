#pragma once
// Sample buffers: one media sample (a video frame or an encoded photo) with
// its presentation time. Shared by reference.
// Thread-safe
// Validity is an atomic flag, the image buffer paints itself once, everything
// else is fixed at creation.

#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMTime.h"
#include "CoreVideo/CVPixelBuffer.h"
#include "Foundation/Data.h"

class CMSampleBuffer {
 public:
  /// A buffer of `mediaSubType` (a pixel format, or kCMVideoCodecType_JPEG for
  /// encoded photos) shown at `presentationTimeStamp`, optionally carrying its
  /// encoded bytes, without a picture.
  static std::shared_ptr<CMSampleBuffer> create(CMTime presentationTimeStamp, OSType mediaSubType,
                                                std::optional<Data> dataBuffer = std::nullopt);
  /// A video frame whose picture is made by `painter` on first access (see
  /// CVPixelBuffer). The picture lives inside the sample buffer: one
  /// allocation for both.
  static std::shared_ptr<CMSampleBuffer> createWithPainter(CMTime presentationTimeStamp, int width, int height,
                                                           OSType pixelFormat, CVPixelBuffer::Painter painter);
  /// A video frame with its pixels already made.
  static std::shared_ptr<CMSampleBuffer> createWithPixels(CMTime presentationTimeStamp, int width, int height,
                                                          OSType pixelFormat, std::vector<std::uint8_t> bytes);

  CMSampleBuffer(CMTime presentationTimeStamp, OSType mediaSubType, std::optional<Data> dataBuffer);
  template <class... Picture>
  CMSampleBuffer(CMTime presentationTimeStamp, int width, int height, OSType pixelFormat, Picture&&... picture)
      : presentationTimeStamp_(presentationTimeStamp), mediaSubType_(pixelFormat) {
    imageBuffer_.emplace(width, height, pixelFormat, std::forward<Picture>(picture)...);
  }
  CMSampleBuffer(const CMSampleBuffer&) = delete;
  CMSampleBuffer& operator=(const CMSampleBuffer&) = delete;

  bool isValid() const { return valid_.load(std::memory_order_acquire); }
  /// Marks the buffer invalid for good (its producer has taken it back).
  void invalidate() { valid_.store(false, std::memory_order_release); }

  CMTime presentationTimeStamp() const { return presentationTimeStamp_; }
  OSType mediaSubType() const { return mediaSubType_; }
  const std::optional<Data>& dataBuffer() const { return dataBuffer_; }
  /// The picture, when the buffer is a video frame.
  const CVPixelBuffer* imageBuffer() const { return imageBuffer_ ? &*imageBuffer_ : nullptr; }

 private:
  const CMTime presentationTimeStamp_;
  const OSType mediaSubType_;
  const std::optional<Data> dataBuffer_;
  std::optional<CVPixelBuffer> imageBuffer_;
  std::atomic<bool> valid_{true};
};

using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

/// False for none and for invalidated buffers.
bool CMSampleBufferIsValid(const CMSampleBufferRef& buffer);

/// kCMTimeInvalid for none.
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& buffer);

/// The frame's picture (sharing the sample buffer's lifetime), or none for a
/// buffer without one.
CVImageBufferRef CMSampleBufferGetImageBuffer(const CMSampleBufferRef& buffer);
