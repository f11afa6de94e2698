#pragma once
// Sample buffers: one media sample (a video frame or an encoded photo) with
// its presentation time. Shared by reference; thread-safe (validity is an
// atomic flag, everything else is fixed at creation).

#include <atomic>
#include <memory>
#include <optional>

#include "CoreMedia/CMFormatDescription.h"
#include "CoreMedia/CMTime.h"
#include "Foundation/Data.h"

class CMSampleBuffer {
 public:
  /// A buffer of `mediaSubType` (a pixel format, or kCMVideoCodecType_JPEG for
  /// encoded photos) shown at `presentationTimeStamp`, optionally carrying its
  /// encoded bytes.
  static std::shared_ptr<CMSampleBuffer> create(CMTime presentationTimeStamp, OSType mediaSubType,
                                                std::optional<Data> dataBuffer = std::nullopt);

  CMSampleBuffer(CMTime presentationTimeStamp, OSType mediaSubType, std::optional<Data> dataBuffer);

  bool isValid() const { return valid_.load(std::memory_order_acquire); }
  /// Marks the buffer invalid for good (its producer has taken it back).
  void invalidate() { valid_.store(false, std::memory_order_release); }

  CMTime presentationTimeStamp() const { return presentationTimeStamp_; }
  OSType mediaSubType() const { return mediaSubType_; }
  const std::optional<Data>& dataBuffer() const { return dataBuffer_; }

 private:
  const CMTime presentationTimeStamp_;
  const OSType mediaSubType_;
  const std::optional<Data> dataBuffer_;
  std::atomic<bool> valid_{true};
};

using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

/// False for none and for invalidated buffers.
bool CMSampleBufferIsValid(const CMSampleBufferRef& buffer);

/// kCMTimeInvalid for none.
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& buffer);
