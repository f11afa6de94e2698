#include "AVFoundation/AVCaptureOutput.h"

#include "AVFoundation/AVCaptureSession.h"
#include "Foundation/ThreadSafety.h"

AVCaptureOutput::AVCaptureOutput(std::string connectionTraceName)
    : connection_(AVCaptureConnection::create(std::move(connectionTraceName))) {}

std::shared_ptr<AVCaptureConnection> AVCaptureOutput::connectionWithMediaType(AVMediaType mediaType) const {
  if (mediaType != AVMediaTypeVideo) return nullptr;
  const auto device = sourceDevice();
  if (!device || !AVCaptureCurrentBackend()->connectsOutput(*device, kind())) return nullptr;
  return connection_;
}

std::shared_ptr<AVCaptureSession> AVCaptureOutput::session() const {
  kivo::MutexLock lock(sessionMutex_);
  return session_.lock();
}

std::shared_ptr<AVCaptureDevice> AVCaptureOutput::sourceDevice() const {
  auto owner = session();
  return owner ? owner->videoDevice() : nullptr;
}

void AVCaptureOutput::attach(const std::shared_ptr<AVCaptureSession>& session) {
  kivo::MutexLock lock(sessionMutex_);
  session_ = session;
}
