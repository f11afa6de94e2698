// The pure part of discovery: which records are one camera, its name, its
// place and its modes; the session presets' modes; probing a device node.
// The live catalog over GStreamer's device monitor is CameraCatalogMonitor.cpp.

#include "CameraCatalog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>
#include <tuple>

namespace gstcam {
namespace {

std::string property(const DeviceRecord& record, const std::string& key) {
  auto it = record.properties.find(key);
  return it == record.properties.end() ? std::string() : it->second;
}

std::string firstProperty(const DeviceRecord& record, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (auto value = property(record, key); !value.empty()) return value;
  }
  return {};
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// When one camera comes from several providers, the v4l2 record is kept: its
// source opens the node itself (no service in between, and the node can be
// probed for access), and it lists the camera's JPEG modes. libcamera comes
// next: it drives sensors that need an image processor, which a bare node
// cannot. PipeWire last: it goes through a service that may be absent or
// may share the camera with other clients.
int providerRank(const std::string& provider) {
  if (provider == "v4l2") return 0;
  if (provider == "libcamera") return 1;
  if (provider == "pipewire") return 2;
  return 3;
}

// The kernel node a record names: v4l2's "device.path", PipeWire's
// "api.v4l2.path" or its "object.path" ("v4l2:/dev/video0").
std::optional<std::string> deviceNode(const DeviceRecord& record) {
  for (const char* key : {"device.path", "api.v4l2.path"}) {
    if (auto value = property(record, key); startsWith(value, "/dev/")) return value;
  }
  if (auto path = property(record, "object.path"); startsWith(path, "v4l2:/dev/")) return path.substr(5);
  return std::nullopt;
}

// libcamera's camera id: the display name of its own records, the rest of
// "object.path" ("libcamera:ID") in PipeWire's.
std::string libcameraId(const DeviceRecord& record) {
  if (auto path = property(record, "object.path"); startsWith(path, "libcamera:")) return path.substr(10);
  if (record.provider == "libcamera") return record.displayName;
  return {};
}

bool isDigits(std::string_view text, std::string_view also) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [&](char c) { return (c >= '0' && c <= '9') || also.find(c) != also.npos; });
}

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A USB camera's place and model, "PORTS:CONFIG.INTERFACE VENDOR:PRODUCT"
// ("2.4:1.0 046d:082d"), which both sides of a USB camera can tell: libcamera
// ends its id with "-PORTS:CONFIG.INTERFACE-VENDOR:PRODUCT"; udev's bus path
// ("pci-0000:00:14.0-usb-0:2.4:1.0") and ids come with v4l2's and PipeWire's
// records. It lets a libcamera record meet the v4l2 record of the same node.
std::string usbIdentity(const DeviceRecord& record) {
  if (auto id = libcameraId(record); !id.empty()) {
    auto model = id.rfind('-');
    if (model == std::string::npos || model == 0) return {};
    auto place = id.rfind('-', model - 1);
    if (place == std::string::npos) return {};
    std::string ports = id.substr(place + 1, model - place - 1);
    std::string ids = id.substr(model + 1);
    if (!isDigits(ports, ".:") || ids.size() != 9 || ids[4] != ':') return {};
    return ports + " " + lower(ids);
  }
  std::string busPath = firstProperty(record, {"device.bus_path", "device.bus-path"});
  std::string vendor = property(record, "device.vendor.id");
  std::string product = property(record, "device.product.id");
  auto usb = busPath.rfind("-usb-");
  if (usb == std::string::npos || vendor.empty() || product.empty()) return {};
  std::string ports = busPath.substr(usb + 5);
  auto colon = ports.find(':');  // drops the bus number ("0:")
  if (colon == std::string::npos) return {};
  ports = ports.substr(colon + 1);
  if (!isDigits(ports, ".:")) return {};
  return ports + " " + lower(vendor) + ":" + lower(product);
}

std::vector<std::string> identityKeys(const DeviceRecord& record) {
  std::vector<std::string> keys;
  if (auto node = deviceNode(record)) keys.push_back("node " + *node);
  if (auto id = libcameraId(record); !id.empty()) keys.push_back("libcamera " + id);
  if (auto usb = usbIdentity(record); !usb.empty()) keys.push_back("usb " + usb);
  return keys;
}

// Letters, digits, '-', '_' and '.', lower case; any other run of characters
// becomes one '-'; no punctuation at either end.
std::string sanitisedName(std::string_view text) {
  std::string name;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (kept) {
      name += c;
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  auto punctuation = [](char c) { return c == '-' || c == '_' || c == '.'; };
  while (!name.empty() && punctuation(name.back())) name.pop_back();
  auto first = std::find_if_not(name.begin(), name.end(), punctuation);
  name.erase(name.begin(), first);
  return name.empty() ? std::string("camera") : name;
}

std::vector<VideoMode> usableModes(std::vector<VideoMode> modes) {
  std::erase_if(modes, [](const VideoMode& m) { return m.width <= 0 || m.height <= 0 || !(m.frameRate >= 0); });
  auto key = [](const VideoMode& m) { return std::tuple(m.width, m.height, m.frameRate, m.jpeg); };
  std::sort(modes.begin(), modes.end(), [&](const VideoMode& a, const VideoMode& b) { return key(a) < key(b); });
  modes.erase(std::unique(modes.begin(), modes.end()), modes.end());
  return modes;
}

struct Camera {
  std::vector<std::size_t> records;  // the kept record first
  std::set<std::string> keys;
  std::set<std::string> providers;
};

// The word a camera is named from: the card name the driver reports, else
// the product name, else the last part of the kept record's display name
// (libcamera's ids are paths).
std::string baseName(const std::vector<DeviceRecord>& records, const Camera& camera) {
  for (const char* key : {"v4l2.device.card", "api.v4l2.cap.card", "device.product.name"}) {
    for (std::size_t index : camera.records) {
      if (auto value = property(records[index], key); !value.empty()) return sanitisedName(value);
    }
  }
  std::string display = records[camera.records.front()].displayName;
  if (auto slash = display.find_last_of("/\\"); slash != std::string::npos && slash + 1 < display.size()) {
    display = display.substr(slash + 1);
  }
  return sanitisedName(display);
}

// What orders cameras that would share a name: where they are plugged in.
std::string placeKey(const std::vector<DeviceRecord>& records, const Camera& camera) {
  for (const char* key : {"device.bus_path", "device.bus-path", "v4l2.device.bus_info", "api.v4l2.cap.bus_info"}) {
    for (std::size_t index : camera.records) {
      if (auto value = property(records[index], key); !value.empty()) return value;
    }
  }
  const DeviceRecord& kept = records[camera.records.front()];
  if (auto node = deviceNode(kept)) return *node;
  return kept.displayName;
}

std::optional<AVCaptureDevicePosition> statedPosition(const std::vector<DeviceRecord>& records, const Camera& camera) {
  for (std::size_t index : camera.records) {
    auto location = property(records[index], "api.libcamera.location");
    if (location == "front") return AVCaptureDevicePosition::front;
    if (location == "back") return AVCaptureDevicePosition::back;
  }
  return std::nullopt;
}

}  // namespace

std::vector<CameraDescription> describeCameras(const std::vector<DeviceRecord>& records,
                                               const CameraPlacements& placements) {
  // Records in order of preference; each joins the first camera it shares an
  // identity with that has no record from its provider yet (a provider lists
  // a camera once), else starts a camera of its own. A record with no mode
  // the pipeline can use (a raw Bayer node) is no camera.
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!usableModes(records[i].modes).empty()) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return providerRank(records[a].provider) < providerRank(records[b].provider);
  });
  std::vector<Camera> cameras;
  for (std::size_t index : order) {
    auto keys = identityKeys(records[index]);
    auto same = std::find_if(cameras.begin(), cameras.end(), [&](const Camera& camera) {
      return !camera.providers.contains(records[index].provider) &&
             std::any_of(keys.begin(), keys.end(), [&](const std::string& key) { return camera.keys.contains(key); });
    });
    if (same == cameras.end()) same = cameras.insert(cameras.end(), Camera{});
    same->records.push_back(index);
    same->keys.insert(keys.begin(), keys.end());
    same->providers.insert(records[index].provider);
  }
  // Discovery order: the order of the kept records.
  std::sort(cameras.begin(), cameras.end(),
            [](const Camera& a, const Camera& b) { return a.records.front() < b.records.front(); });

  // Names: a name only one camera would take is its own; cameras that would
  // share one take it, then "-2", "-3"… in the order of where they are
  // plugged in, skipping names already taken ("test" is always taken).
  std::vector<std::string> bases;
  std::map<std::string, int> counts;
  for (const Camera& camera : cameras) ++counts[bases.emplace_back(baseName(records, camera))];
  std::set<std::string> taken{"test"};
  for (const auto& [base, count] : counts) {
    if (count == 1) taken.insert(base);
  }
  std::vector<std::size_t> byPlace(cameras.size());
  for (std::size_t i = 0; i < byPlace.size(); ++i) byPlace[i] = i;
  std::sort(byPlace.begin(), byPlace.end(), [&](std::size_t a, std::size_t b) {
    return std::tuple(bases[a], placeKey(records, cameras[a]), cameras[a].records.front()) <
           std::tuple(bases[b], placeKey(records, cameras[b]), cameras[b].records.front());
  });
  std::vector<std::string> names(cameras.size());
  for (std::size_t i : byPlace) {
    if (counts[bases[i]] == 1 && bases[i] != "test") {
      names[i] = bases[i];
      continue;
    }
    std::string name = bases[i];
    for (int suffix = 2; taken.contains(name); ++suffix) name = bases[i] + "-" + std::to_string(suffix);
    taken.insert(name);
    names[i] = name;
  }

  std::vector<CameraDescription> described;
  bool backTaken = false;
  bool frontTaken = false;
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const DeviceRecord& kept = records[cameras[i].records.front()];
    CameraDescription camera;
    camera.name = names[i];
    camera.displayName = kept.displayName.empty() ? names[i] : kept.displayName;
    camera.provider = kept.provider;
    camera.devicePath = deviceNode(kept);
    camera.modes = usableModes(kept.modes);
    camera.record = cameras[i].records.front();
    if (auto stated = statedPosition(records, cameras[i])) {
      camera.position = *stated;
      (camera.position == AVCaptureDevicePosition::front ? frontTaken : backTaken) = true;
    }
    described.push_back(std::move(camera));
  }
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    if (statedPosition(records, cameras[i])) continue;
    if (!backTaken) {
      described[i].position = AVCaptureDevicePosition::back;
      backTaken = true;
    } else if (!frontTaken) {
      described[i].position = AVCaptureDevicePosition::front;
      frontTaken = true;
    } else {
      described[i].position = AVCaptureDevicePosition::back;
    }
  }
  for (CameraDescription& camera : described) {
    if (auto placement = placements.find(camera.name); placement != placements.end()) {
      camera.position = placement->second.position;
      camera.deviceType = placement->second.deviceType;
    }
  }
  return described;
}

CameraDescription testCamera() {
  CameraDescription camera;
  camera.name = "test";
  camera.displayName = "Test source (SMPTE colour bars)";
  camera.provider = "test";
  camera.position = AVCaptureDevicePosition::back;
  for (auto [width, height] : {std::pair{320, 240}, {352, 288}, {640, 480}, {960, 540}, {1280, 720}, {1920, 1080}}) {
    for (double rate : {30.0, 60.0}) camera.modes.push_back(VideoMode{width, height, rate, false});
  }
  return camera;
}

// ---------------------------------------------------------------------------
// Session presets

namespace {

struct FixedPreset {
  AVCaptureSessionPreset preset;
  int width;
  int height;
};
constexpr FixedPreset kFixedPresets[] = {
    {AVCaptureSessionPreset352x288, 352, 288},         {AVCaptureSessionPreset640x480, 640, 480},
    {AVCaptureSessionPreset1280x720, 1280, 720},       {AVCaptureSessionPreset1920x1080, 1920, 1080},
    {AVCaptureSessionPreset3840x2160, 3840, 2160},     {AVCaptureSessionPresetiFrame960x540, 960, 540},
    {AVCaptureSessionPresetiFrame1280x720, 1280, 720},
};

double area(const VideoMode& m) { return static_cast<double>(m.width) * m.height; }

// Among modes of one size: the highest rate up to `maxRate` (more only
// costs work), then raw before JPEG (no decoding), then the lower rate.
std::optional<VideoMode> bestOfSize(const std::vector<VideoMode>& modes, const VideoMode& size, double maxRate) {
  auto key = [maxRate](const VideoMode& m) { return std::tuple(-std::min(m.frameRate, maxRate), m.jpeg, m.frameRate); };
  std::optional<VideoMode> best;
  for (const VideoMode& m : modes) {
    if (m.width != size.width || m.height != size.height) continue;
    if (!best || key(m) < key(*best)) best = m;
  }
  return best;
}

// The mode that minimises `cost` (a tuple), then its best of that size.
template <class Cost>
std::optional<VideoMode> pick(const std::vector<VideoMode>& modes, double maxRate, Cost cost) {
  const VideoMode* chosen = nullptr;
  for (const VideoMode& m : modes) {
    auto c = cost(m);
    if (!c) continue;
    if (!chosen || *c < *cost(*chosen)) chosen = &m;
  }
  if (!chosen) return std::nullopt;
  return bestOfSize(modes, *chosen, maxRate);
}

std::optional<VideoMode> largest(const std::vector<VideoMode>& modes, double maxRate, bool widescreenOnly) {
  return pick(modes, maxRate, [&](const VideoMode& m) -> std::optional<std::tuple<double, int>> {
    if (widescreenOnly && static_cast<long>(m.width) * 9 != static_cast<long>(m.height) * 16) return std::nullopt;
    return std::tuple(-area(m), -m.width);
  });
}

std::optional<VideoMode> nearest(const std::vector<VideoMode>& modes, double maxRate, int width, int height) {
  double target = static_cast<double>(width) * height;
  return pick(modes, maxRate, [&](const VideoMode& m) -> std::optional<std::tuple<double, double>> {
    return std::tuple(std::abs(std::log(area(m) / target)), -area(m));
  });
}

}  // namespace

std::optional<VideoMode> modeForPreset(const std::vector<VideoMode>& given, std::string_view preset,
                                       double maxRate) {
  auto modes = usableModes(given);
  if (modes.empty()) return std::nullopt;
  for (const FixedPreset& fixed : kFixedPresets) {
    if (preset != fixed.preset) continue;
    double aspect = static_cast<double>(fixed.width) / fixed.height;
    return pick(modes, maxRate, [&](const VideoMode& m) -> std::optional<std::tuple<double, double, int>> {
      if (m.width < fixed.width || m.height < fixed.height) return std::nullopt;
      return std::tuple(area(m), std::abs(static_cast<double>(m.width) / m.height - aspect), m.width);
    });
  }
  if (preset == AVCaptureSessionPresetPhoto) return largest(modes, maxRate, false);
  if (preset == AVCaptureSessionPresetHigh) {
    auto widescreen = largest(modes, maxRate, true);
    return widescreen ? widescreen : largest(modes, maxRate, false);
  }
  if (preset == AVCaptureSessionPresetMedium) return nearest(modes, maxRate, 480, 360);
  if (preset == AVCaptureSessionPresetLow) return nearest(modes, maxRate, 192, 144);
  return std::nullopt;
}

std::vector<std::string> supportedPresets(const std::vector<VideoMode>& modes) {
  std::vector<std::string> presets;
  for (AVCaptureSessionPreset preset : AVCaptureSessionPresetsAll) {
    if (modeForPreset(modes, preset)) presets.emplace_back(preset);
  }
  return presets;
}

// ---------------------------------------------------------------------------
// Access

Access probeAccess(const CameraDescription& camera) {
  if (camera.provider != "v4l2" || !camera.devicePath) return Access::granted;
  int fd = -1;
  do {
    fd = ::open(camera.devicePath->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    ::close(fd);
    return Access::granted;
  }
  switch (errno) {
    case EACCES:
    case EPERM:
      return Access::denied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return Access::gone;
    default:
      return Access::busy;
  }
}

}  // namespace gstcam
