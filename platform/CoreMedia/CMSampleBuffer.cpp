#include "CoreMedia/CMSampleBuffer.h"

#include <utility>

CMSampleBuffer::CMSampleBuffer(CMTime presentationTimeStamp, OSType mediaSubType,
                               std::optional<Data> dataBuffer)
    : presentationTimeStamp_(presentationTimeStamp),
      mediaSubType_(mediaSubType),
      dataBuffer_(std::move(dataBuffer)) {}

std::shared_ptr<CMSampleBuffer> CMSampleBuffer::create(CMTime presentationTimeStamp, OSType mediaSubType,
                                                       std::optional<Data> dataBuffer) {
  return std::make_shared<CMSampleBuffer>(presentationTimeStamp, mediaSubType, std::move(dataBuffer));
}

bool CMSampleBufferIsValid(const CMSampleBufferRef& buffer) { return buffer && buffer->isValid(); }

CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& buffer) {
  return buffer ? buffer->presentationTimeStamp() : kCMTimeInvalid;
}
