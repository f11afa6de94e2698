#include "AVFoundation/AVCaptureSession.h"

#include <algorithm>
#include <utility>

#include "AVFoundation/AVCaptureBackend.h"
#include "AVFoundation/AVTrace.h"
#include "Foundation/ThreadSafety.h"

using av_detail::traceCall;

namespace {
constexpr std::string_view kReceiver = "session";

std::string deviceName(const std::shared_ptr<AVCaptureDeviceInput>& input) {
  return input && input->device() ? input->device()->uniqueID() : std::string("nil");
}
}  // namespace

std::shared_ptr<AVCaptureSession> AVCaptureSession::create() {
  auto session = std::make_shared<AVCaptureSession>();
  AVCaptureCurrentBackend()->sessionCreated(session);
  return session;
}

AVCaptureSession::~AVCaptureSession() {
  if (!running_) return;
  for (const auto& output : outputs_) output->sessionDidStopRunning();
}

bool AVCaptureSession::updatePreviewStream() {
  std::unique_ptr<AVCaptureStream> replaced;
  kivo::MutexLock preview(previewMutex_);
  std::shared_ptr<AVCaptureDevice> device;
  {
    kivo::MutexLock lock(mutex_);
    if (running_) device = videoDeviceLocked();
  }
  if (device == previewDevice_) return false;
  replaced = std::move(previewStream_);
  previewDevice_ = device;
  if (!device) return true;
  AVCaptureStreamRequest request;
  request.pixelFormat = kCVPixelFormatType_32BGRA;
  request.everyFrame = false;
  previewStream_ = AVCaptureCurrentBackend()->startStream(device, request, {});
  return true;
}

void AVCaptureSession::inputsDidChange() {
  if (!updatePreviewStream()) return;
  // A running session's outputs follow its camera: their streams restart
  // from the new one (or end when none is left).
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  {
    kivo::MutexLock lock(mutex_);
    if (!running_) return;
    outputs = outputs_;
  }
  for (const auto& output : outputs) output->sessionDidStartRunning(shared_from_this());
}

CVPixelBufferRef AVCaptureSession::currentFrame() const {
  kivo::MutexLock preview(previewMutex_);
  return previewStream_ ? previewStream_->currentFrame() : nullptr;
}

CVPixelBufferRef AVCaptureSession::currentFrame(AVCaptureDevicePosition& position) const {
  kivo::MutexLock preview(previewMutex_);
  CVPixelBufferRef frame = previewStream_ ? previewStream_->currentFrame() : nullptr;
  position = frame && previewDevice_ ? previewDevice_->position() : AVCaptureDevicePosition::unspecified;
  return frame;
}

// ---------------------------------------------------------------------------
// Configuration

void AVCaptureSession::beginConfiguration() {
  traceCall(kReceiver, "beginConfiguration", [] { return std::string(); });
  kivo::MutexLock lock(mutex_);
  ++configurationDepth_;
}

void AVCaptureSession::commitConfiguration() {
  traceCall(kReceiver, "commitConfiguration", [] { return std::string(); });
  kivo::MutexLock lock(mutex_);
  if (configurationDepth_ > 0) --configurationDepth_;
}

bool AVCaptureSession::isConfiguring() const {
  kivo::MutexLock lock(mutex_);
  return configurationDepth_ > 0;
}

std::string AVCaptureSession::sessionPreset() const {
  kivo::MutexLock lock(mutex_);
  return preset_;
}

bool AVCaptureSession::canSetSessionPreset(AVCaptureSessionPreset preset) const {
  if (!AVCaptureSessionPresetIsKnown(preset)) return false;
  auto device = videoDevice();
  return !device || preset == AVCaptureSessionPresetInputPriority || device->supportsAVCaptureSessionPreset(preset);
}

void AVCaptureSession::setSessionPreset(AVCaptureSessionPreset preset) {
  traceCall(kReceiver, "setSessionPreset:", [&] { return std::string(preset); });
  if (!AVCaptureSessionPresetIsKnown(preset)) return;
  kivo::MutexLock lock(mutex_);
  preset_ = std::string(preset);
}

// ---------------------------------------------------------------------------
// Inputs

bool AVCaptureSession::canAddInputLocked(const std::shared_ptr<AVCaptureDeviceInput>& input) const {
  if (!input || !input->device()) return false;
  if (std::find(inputs_.begin(), inputs_.end(), input) != inputs_.end()) return false;
  // One camera per session.
  return std::none_of(inputs_.begin(), inputs_.end(), [](const auto& existing) {
    return existing->device() && existing->device()->hasMediaType(AVMediaTypeVideo);
  });
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureDeviceInput>& input) const {
  if (!input || !input->device() || !AVCaptureCurrentBackend()->acceptsInput(*input->device())) return false;
  kivo::MutexLock lock(mutex_);
  return canAddInputLocked(input);
}

void AVCaptureSession::addInput(const std::shared_ptr<AVCaptureDeviceInput>& input) {
  traceCall(kReceiver, "addInput:", [&] { return deviceName(input); });
  if (!input || !input->device() || !AVCaptureCurrentBackend()->acceptsInput(*input->device())) return;
  {
    kivo::MutexLock lock(mutex_);
    if (!canAddInputLocked(input)) return;
    inputs_.push_back(input);
  }
  inputsDidChange();
}

void AVCaptureSession::removeInput(const std::shared_ptr<AVCaptureDeviceInput>& input) {
  traceCall(kReceiver, "removeInput:", [&] { return deviceName(input); });
  {
    kivo::MutexLock lock(mutex_);
    std::erase(inputs_, input);
  }
  inputsDidChange();
}

std::vector<std::shared_ptr<AVCaptureDeviceInput>> AVCaptureSession::inputs() const {
  kivo::MutexLock lock(mutex_);
  return inputs_;
}

std::shared_ptr<AVCaptureDevice> AVCaptureSession::videoDevice() const {
  kivo::MutexLock lock(mutex_);
  return videoDeviceLocked();
}

std::shared_ptr<AVCaptureDevice> AVCaptureSession::videoDeviceLocked() const {
  for (const auto& input : inputs_)
    if (input->device() && input->device()->hasMediaType(AVMediaTypeVideo)) return input->device();
  return nullptr;
}

// ---------------------------------------------------------------------------
// Outputs

bool AVCaptureSession::canAddOutputLocked(const std::shared_ptr<AVCaptureOutput>& output) const {
  if (!output || output->session()) return false;
  return std::none_of(outputs_.begin(), outputs_.end(),
                      [&](const auto& existing) { return existing->kind() == output->kind(); });
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
  if (!output || !AVCaptureCurrentBackend()->acceptsOutput(output->kind())) return false;
  kivo::MutexLock lock(mutex_);
  return canAddOutputLocked(output);
}

void AVCaptureSession::addOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  traceCall(kReceiver, "addOutput:", [&] { return output ? std::string(output->kindName()) : std::string("nil"); });
  if (!canAddOutput(output)) return;
  bool running = false;
  {
    kivo::MutexLock lock(mutex_);
    if (!canAddOutputLocked(output)) return;
    outputs_.push_back(output);
    running = running_;
  }
  output->attach(shared_from_this());
  if (running) output->sessionDidStartRunning(shared_from_this());
}

void AVCaptureSession::removeOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  {
    kivo::MutexLock lock(mutex_);
    if (std::erase(outputs_, output) == 0) return;
  }
  output->sessionDidStopRunning();
  output->attach(nullptr);
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  kivo::MutexLock lock(mutex_);
  return outputs_;
}

// ---------------------------------------------------------------------------
// Running

void AVCaptureSession::startRunning() {
  traceCall(kReceiver, "startRunning", [] { return std::string(); });
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  {
    kivo::MutexLock lock(mutex_);
    if (running_) return;
    running_ = true;
    outputs = outputs_;
  }
  updatePreviewStream();
  for (const auto& output : outputs) output->sessionDidStartRunning(shared_from_this());
}

void AVCaptureSession::stopRunning() {
  traceCall(kReceiver, "stopRunning", [] { return std::string(); });
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  {
    kivo::MutexLock lock(mutex_);
    if (!running_) return;
    running_ = false;
    outputs = outputs_;
  }
  updatePreviewStream();
  for (const auto& output : outputs) output->sessionDidStopRunning();
}

bool AVCaptureSession::isRunning() const {
  kivo::MutexLock lock(mutex_);
  return running_;
}

void AVCaptureSession::postNotification(std::string_view name, std::optional<UserInfo> userInfo) {
  NotificationCenter::defaultCenter().post(std::string(name), this, std::move(userInfo));
}
