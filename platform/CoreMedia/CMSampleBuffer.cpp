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

std::shared_ptr<CMSampleBuffer> CMSampleBuffer::createWithPainter(CMTime presentationTimeStamp, int width, int height,
                                                                  OSType pixelFormat,
                                                                  CVPixelBuffer::Painter painter) {
  return std::make_shared<CMSampleBuffer>(presentationTimeStamp, width, height, pixelFormat, std::move(painter));
}

std::shared_ptr<CMSampleBuffer> CMSampleBuffer::createWithPixels(CMTime presentationTimeStamp, int width, int height,
                                                                 OSType pixelFormat, std::vector<std::uint8_t> bytes) {
  return std::make_shared<CMSampleBuffer>(presentationTimeStamp, width, height, pixelFormat, std::move(bytes));
}

bool CMSampleBufferIsValid(const CMSampleBufferRef& buffer) { return buffer && buffer->isValid(); }

CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& buffer) {
  return buffer ? buffer->presentationTimeStamp() : kCMTimeInvalid;
}

CVImageBufferRef CMSampleBufferGetImageBuffer(const CMSampleBufferRef& buffer) {
  if (!buffer || !buffer->imageBuffer()) return nullptr;
  return CVImageBufferRef(buffer, buffer->imageBuffer());
}
