#pragma once
// The cameras GStreamer finds, as the real device layer sees them.
//
// Discovery reads GStreamer's device monitor (class "Video/Source"). Each
// device a provider offers (v4l2, libcamera, PipeWire) comes as a record: its
// display name, its property set and the video modes of its caps. Several
// providers may offer the same camera; `describeCameras` keeps one of each
// and gives every camera a stable one-word name, a device type and a
// position. That mapping is a pure function of the records, so it is tested
// on property sets without GStreamer.
//
// Which record stands for a camera offered several times: the v4l2 one, then
// libcamera's, then PipeWire's (see describeCameras in CameraCatalog.cpp).
//
// How cameras map to positions: a camera whose provider states a location
// ("api.libcamera.location" front or back) takes it; the others are placed in
// discovery order in the positions still free: the back one first, then the
// front one; any further ones are back cameras too. Every camera is a
// wide-angle camera. A host overrides any of this by name.
//
// Thread-safe
// The catalog's methods may be called from any thread; the records and
// descriptions are plain values.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AVFoundation/AVCaptureTypes.h"

typedef struct _GstCaps GstCaps;
typedef struct _GstElement GstElement;

namespace gstcam {

/// One way a camera can deliver: a size, a frame rate and whether the
/// frames come compressed as JPEG (most USB webcams above 640 x 480).
struct VideoMode {
  int width = 0;
  int height = 0;
  double frameRate = 0;
  bool jpeg = false;
  friend bool operator==(const VideoMode&, const VideoMode&) = default;
};

/// A device as a provider offers it: the property set as text, key to value.
struct DeviceRecord {
  /// Who offered it: "v4l2", "libcamera", "pipewire" (known by the device's
  /// GObject type), or another provider's name, which ranks after those.
  std::string provider;
  std::string displayName;
  std::map<std::string, std::string> properties;
  std::vector<VideoMode> modes;
};

/// A host's choice for one camera, by name.
struct CameraPlacement {
  AVCaptureDevicePosition position = AVCaptureDevicePosition::back;
  std::string deviceType{AVCaptureDeviceTypeBuiltInWideAngleCamera};
};
using CameraPlacements = std::map<std::string, CameraPlacement, std::less<>>;

/// One camera after deduplication.
struct CameraDescription {
  /// Stable, one word: letters, digits, '-', '_' and '.'.
  std::string name;
  std::string displayName;
  AVCaptureDevicePosition position = AVCaptureDevicePosition::back;
  std::string deviceType{AVCaptureDeviceTypeBuiltInWideAngleCamera};
  /// "v4l2", "libcamera", "pipewire", or "test" for the built-in test source.
  std::string provider;
  /// The kernel device node (/dev/videoN) when the provider names one (the
  /// source opens it itself only when the provider is v4l2).
  std::optional<std::string> devicePath;
  std::vector<VideoMode> modes;
  /// Which of the records given to `describeCameras` it came from (the
  /// record kept for it); in a live catalog's listing, of the catalog's own.
  std::size_t record = 0;
};

/// Deduplicates, names and places the cameras of `records` (see above), in
/// the order of the records kept. A record without a mode the pipeline can
/// use (a raw Bayer node behind an image processor) is no camera.
std::vector<CameraDescription> describeCameras(const std::vector<DeviceRecord>& records,
                                               const CameraPlacements& placements = {});

/// The modes of a device's caps the pipeline can take: raw video and JPEG in
/// system memory. Fixed sizes as listed; a range of sizes gives the common
/// sizes within it and its largest. Each listed frame rate, the top of a
/// range; 0 when the caps state none.
std::vector<VideoMode> modesOfCaps(const GstCaps* caps);

/// The built-in test camera: GStreamer's videotestsrc showing the SMPTE
/// colour bars, named "test", a back wide-angle camera.
CameraDescription testCamera();

/// The session presets a camera's modes support, and the mode each one uses.
///   352x288, 640x480, 1280x720, 1920x1080, 3840x2160, iFrame960x540,
///   iFrame1280x720: a mode at least that wide and that tall, the one of that
///     exact size when there is one, otherwise the smallest above it;
///   Photo: the largest mode (by area);
///   High: the largest 16:9 mode, or the largest when none is 16:9;
///   Medium, Low: the mode nearest in area (by ratio) to 480x360 and 192x144.
/// Among modes of the chosen size: the highest frame rate up to `maxRate`
/// (30 unless the device was told otherwise), then raw before JPEG (no
/// decoding), then the lower rate. No modes: no presets. Unknown presets and
/// the input-priority marker have no mode.
inline constexpr double kDefaultFrameRate = 30;
std::vector<std::string> supportedPresets(const std::vector<VideoMode>& modes);
std::optional<VideoMode> modeForPreset(const std::vector<VideoMode>& modes, std::string_view preset,
                                       double maxRate = kDefaultFrameRate);

/// The live list of cameras: starts GStreamer's device monitor, keeps the
/// cameras it finds up to date from the monitor's bus (added, removed), and
/// makes a source element for a camera. A camera keeps its name and position
/// while it is there, whatever comes and goes meanwhile; a camera that comes
/// takes the name a fresh listing would give it, suffixed when that is taken.
class CameraCatalog {
 public:
  using Removed = std::function<void(const std::string& name)>;

  /// `includeDevices` false: only the test camera (no monitor is started).
  /// `onRemoved` is called, from the catalog's own thread, when a camera
  /// goes away; it must not destroy the catalog. Throws std::runtime_error
  /// naming the reason when GStreamer cannot be initialised. A monitor that
  /// cannot start (no provider) leaves only the test camera.
  CameraCatalog(bool includeDevices, CameraPlacements placements, Removed onRemoved);
  ~CameraCatalog();
  CameraCatalog(const CameraCatalog&) = delete;
  CameraCatalog& operator=(const CameraCatalog&) = delete;

  /// The cameras now, the test camera last.
  std::vector<CameraDescription> cameras() const;
  /// A new source element for the camera (floating reference), or null when
  /// it is gone.
  GstElement* createSource(const std::string& name) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

/// Whether the camera can be opened now, for permission and open errors.
enum class Access { granted, denied, busy, gone };

/// Opens the camera's device node (read-write, non-blocking) and closes it
/// again when its source would open the node itself (provider v4l2): refused
/// (EACCES, EPERM) is denied, EBUSY busy, a node that is not there (ENOENT,
/// ENODEV, ENXIO) gone, any other failure busy. Cameras reached through a
/// service or a library (libcamera, PipeWire) and the test camera: granted.
/// Blocks only as long as open() does.
Access probeAccess(const CameraDescription& camera);

/// GStreamer initialised once per process (gst_init without arguments).
/// Returns false, with the reason, when it cannot be.
bool ensureGStreamer(std::string* reason = nullptr);

}  // namespace gstcam
