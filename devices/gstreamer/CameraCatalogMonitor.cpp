// The live catalog: GStreamer's device monitor, its records, and the thread
// that follows the monitor's bus.

#include <gst/gst.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <thread>

#include "CameraCatalog.h"
#include "Foundation/ThreadSafety.h"

namespace gstcam {

bool ensureGStreamer(std::string* reason) {
  static std::once_flag once;
  static bool initialised = false;
  static std::string failure;
  std::call_once(once, [] {
    GError* error = nullptr;
    initialised = gst_init_check(nullptr, nullptr, &error);
    if (!initialised) failure = error ? error->message : "GStreamer could not be initialised";
    g_clear_error(&error);
  });
  if (!initialised && reason) *reason = failure;
  return initialised;
}

namespace {

constexpr const char* kStopMessage = "kivo-camera-catalog-stop";

// Sizes tried within a range of widths and heights (providers that scale
// offer ranges), besides the largest.
constexpr std::pair<int, int> kCommonSizes[] = {{320, 240},  {352, 288},   {640, 480},   {960, 540},
                                                {1280, 720}, {1920, 1080}, {3840, 2160}};

// The values a caps field allows: a fixed int, a list of them, or a range.
struct IntSet {
  std::vector<int> values;
  int min = 0, max = -1, step = 1;  // a range when max >= min
  bool contains(int v) const {
    if (max >= min) return v >= min && v <= max && (step <= 1 || (v - min) % step == 0);
    return std::find(values.begin(), values.end(), v) != values.end();
  }
  int largest() const { return max >= min ? max : (values.empty() ? 0 : *std::max_element(values.begin(), values.end())); }
};

IntSet intsOf(const GValue* value) {
  IntSet set;
  if (!value) return set;
  if (G_VALUE_HOLDS_INT(value)) {
    set.values.push_back(g_value_get_int(value));
  } else if (GST_VALUE_HOLDS_INT_RANGE(value)) {
    set.min = gst_value_get_int_range_min(value);
    set.max = gst_value_get_int_range_max(value);
    set.step = gst_value_get_int_range_step(value);
  } else if (GST_VALUE_HOLDS_LIST(value)) {
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
      const GValue* item = gst_value_list_get_value(value, i);
      if (G_VALUE_HOLDS_INT(item)) set.values.push_back(g_value_get_int(item));
    }
  }
  return set;
}

double rateOf(const GValue* fraction) {
  int n = gst_value_get_fraction_numerator(fraction);
  int d = gst_value_get_fraction_denominator(fraction);
  double rate = d > 0 ? static_cast<double>(n) / d : 0;
  // An open range ends at G_MAXINT: the camera does not say.
  return rate > 1000 ? 0 : rate;
}

// The frame rates a caps field allows; the top of a range; 0 when unstated.
std::vector<double> ratesOf(const GValue* value) {
  std::vector<double> rates;
  auto add = [&](const GValue* v) {
    if (GST_VALUE_HOLDS_FRACTION(v)) rates.push_back(rateOf(v));
    if (GST_VALUE_HOLDS_FRACTION_RANGE(v)) rates.push_back(rateOf(gst_value_get_fraction_range_max(v)));
  };
  if (value && GST_VALUE_HOLDS_LIST(value)) {
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) add(gst_value_list_get_value(value, i));
  } else if (value) {
    add(value);
  }
  if (rates.empty()) rates.push_back(0);
  return rates;
}

}  // namespace

std::vector<VideoMode> modesOfCaps(const GstCaps* caps) {
  std::vector<VideoMode> modes;
  if (!caps || gst_caps_is_any(caps)) return modes;
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    GstCapsFeatures* features = gst_caps_get_features(caps, i);
    if (features && !gst_caps_features_is_equal(features, GST_CAPS_FEATURES_MEMORY_SYSTEM_MEMORY)) continue;
    const GstStructure* s = gst_caps_get_structure(caps, i);
    bool jpeg = gst_structure_has_name(s, "image/jpeg");
    if (!jpeg && !gst_structure_has_name(s, "video/x-raw")) continue;
    IntSet widths = intsOf(gst_structure_get_value(s, "width"));
    IntSet heights = intsOf(gst_structure_get_value(s, "height"));
    std::vector<std::pair<int, int>> sizes;
    if (widths.max < widths.min && heights.max < heights.min) {
      for (int w : widths.values) {
        for (int h : heights.values) sizes.emplace_back(w, h);
      }
    } else {
      for (auto [w, h] : kCommonSizes) {
        if (widths.contains(w) && heights.contains(h)) sizes.emplace_back(w, h);
      }
      std::pair largest{widths.largest(), heights.largest()};
      if (std::find(sizes.begin(), sizes.end(), largest) == sizes.end()) sizes.push_back(largest);
    }
    for (double rate : ratesOf(gst_structure_get_value(s, "framerate"))) {
      for (auto [w, h] : sizes) modes.push_back(VideoMode{w, h, rate, jpeg});
    }
  }
  return modes;
}

namespace {

std::string providerOf(GstDevice* device) {
  std::string type = G_OBJECT_TYPE_NAME(device);
  if (type == "GstV4l2Device") return "v4l2";
  if (type == "GstLibcameraDevice") return "libcamera";
  if (type == "GstPipeWireDevice") return "pipewire";
  return type;
}

gboolean addProperty(GQuark field, const GValue* value, gpointer user) {
  auto& properties = *static_cast<std::map<std::string, std::string>*>(user);
  std::string text;
  if (G_VALUE_HOLDS_STRING(value)) {
    if (const char* s = g_value_get_string(value)) text = s;
  } else if (gchar* serialised = gst_value_serialize(value)) {
    text = serialised;
    g_free(serialised);
  }
  properties[g_quark_to_string(field)] = std::move(text);
  return TRUE;
}

DeviceRecord recordOf(GstDevice* device) {
  DeviceRecord record;
  record.provider = providerOf(device);
  if (gchar* name = gst_device_get_display_name(device)) {
    record.displayName = name;
    g_free(name);
  }
  if (GstStructure* properties = gst_device_get_properties(device)) {
    gst_structure_foreach(properties, addProperty, &record.properties);
    gst_structure_free(properties);
  }
  if (GstCaps* caps = gst_device_get_caps(device)) {
    record.modes = modesOfCaps(caps);
    gst_caps_unref(caps);
  }
  return record;
}

}  // namespace

struct CameraCatalog::State {
  CameraPlacements placements;
  Removed onRemoved;
  GstDeviceMonitor* monitor = nullptr;
  GstBus* bus = nullptr;
  bool started = false;
  std::thread watcher;

  mutable kivo::Mutex mutex;
  // One reference each; records[i] is devices[i]'s.
  std::vector<GstDevice*> devices KIVO_GUARDED_BY(mutex);
  std::vector<DeviceRecord> records KIVO_GUARDED_BY(mutex);
  std::vector<CameraDescription> cameras KIVO_GUARDED_BY(mutex);
  // One reference each; kept[i] is cameras[i]'s device.
  std::vector<GstDevice*> kept KIVO_GUARDED_BY(mutex);

  ~State() {
    if (watcher.joinable()) {
      gst_bus_post(bus, gst_message_new_application(nullptr, gst_structure_new_empty(kStopMessage)));
      watcher.join();
    }
    if (monitor) {
      if (started) gst_device_monitor_stop(monitor);
      gst_object_unref(monitor);
    }
    if (bus) gst_object_unref(bus);
    for (GstDevice* device : devices) gst_object_unref(device);
    for (GstDevice* device : kept) gst_object_unref(device);
  }

  void add(GstDevice* device) KIVO_REQUIRES(mutex) {
    if (std::find(devices.begin(), devices.end(), device) != devices.end()) return;
    devices.push_back(GST_DEVICE(gst_object_ref(device)));
    records.push_back(recordOf(device));
  }
  void remove(GstDevice* device) KIVO_REQUIRES(mutex) {
    auto it = std::find(devices.begin(), devices.end(), device);
    if (it == devices.end()) return;
    records.erase(records.begin() + (it - devices.begin()));
    gst_object_unref(*it);
    devices.erase(it);
  }

  // Describes the cameras again after a change and returns the names of
  // those that are gone. A camera still there keeps its
  // name and place while the catalog lives, so that a camera going away
  // never renames (or moves) another one; a new camera takes the name it
  // would have in a fresh listing, or that name with the next free suffix.
  std::vector<std::string> describe() KIVO_REQUIRES(mutex) {
    auto fresh = describeCameras(records, placements);
    std::set<std::string> taken{"test"};
    std::vector<bool> known(fresh.size(), false);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      for (std::size_t j = 0; j < cameras.size(); ++j) {
        if (kept[j] != devices[fresh[i].record] || taken.contains(cameras[j].name)) continue;
        fresh[i].name = cameras[j].name;
        fresh[i].position = cameras[j].position;
        fresh[i].deviceType = cameras[j].deviceType;
        taken.insert(fresh[i].name);
        known[i] = true;
      }
    }
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      if (known[i]) continue;
      std::string name = fresh[i].name;
      for (int suffix = 2; taken.contains(name); ++suffix) name = fresh[i].name + "-" + std::to_string(suffix);
      if (name != fresh[i].name) {
        fresh[i].name = name;
        if (auto placement = placements.find(name); placement != placements.end()) {
          fresh[i].position = placement->second.position;
          fresh[i].deviceType = placement->second.deviceType;
        }
      }
      taken.insert(name);
    }
    std::vector<std::string> gone;
    for (const CameraDescription& camera : cameras) {
      if (!taken.contains(camera.name)) gone.push_back(camera.name);
    }
    for (GstDevice* device : kept) gst_object_unref(device);
    kept.clear();
    for (const CameraDescription& camera : fresh) kept.push_back(GST_DEVICE(gst_object_ref(devices[camera.record])));
    cameras = std::move(fresh);
    return gone;
  }

  // Follows the monitor's bus until told to stop; reports the cameras a
  // change took away, outside the lock.
  void watch() {
    for (;;) {
      GstMessage* message = gst_bus_timed_pop_filtered(
          bus, GST_CLOCK_TIME_NONE,
          static_cast<GstMessageType>(GST_MESSAGE_DEVICE_ADDED | GST_MESSAGE_DEVICE_REMOVED |
                                      GST_MESSAGE_DEVICE_CHANGED | GST_MESSAGE_APPLICATION));
      if (!message) continue;
      if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_APPLICATION) {
        bool stop = gst_structure_has_name(gst_message_get_structure(message), kStopMessage);
        gst_message_unref(message);
        if (stop) return;
        continue;
      }
      std::vector<std::string> gone;
      {
        kivo::MutexLock lock(mutex);
        GstDevice* device = nullptr;
        GstDevice* previous = nullptr;
        switch (GST_MESSAGE_TYPE(message)) {
          case GST_MESSAGE_DEVICE_ADDED:
            gst_message_parse_device_added(message, &device);
            add(device);
            break;
          case GST_MESSAGE_DEVICE_REMOVED:
            gst_message_parse_device_removed(message, &device);
            remove(device);
            break;
          case GST_MESSAGE_DEVICE_CHANGED:
            gst_message_parse_device_changed(message, &device, &previous);
            remove(previous);
            add(device);
            // The same camera, described anew: it keeps its name and place.
            for (GstDevice*& camera : kept) {
              if (camera != previous) continue;
              gst_object_unref(camera);
              camera = GST_DEVICE(gst_object_ref(device));
            }
            break;
          default:
            break;
        }
        if (device) gst_object_unref(device);
        if (previous) gst_object_unref(previous);
        gone = describe();
      }
      gst_message_unref(message);
      if (onRemoved) {
        for (const std::string& name : gone) onRemoved(name);
      }
    }
  }
};

CameraCatalog::CameraCatalog(bool includeDevices, CameraPlacements placements, Removed onRemoved)
    : state_(std::make_shared<State>()) {
  std::string reason;
  if (!ensureGStreamer(&reason)) throw std::runtime_error("GStreamer: " + reason);
  state_->placements = std::move(placements);
  state_->onRemoved = std::move(onRemoved);
  if (!includeDevices) return;

  State& state = *state_;
  state.monitor = gst_device_monitor_new();
  gst_device_monitor_add_filter(state.monitor, "Video/Source", nullptr);
  // Providers hide one another (PipeWire and libcamera hide v4l2); the
  // catalog sees every record and keeps one per camera itself.
  gst_device_monitor_set_show_all_devices(state.monitor, TRUE);
  state.bus = gst_device_monitor_get_bus(state.monitor);
  state.started = gst_device_monitor_start(state.monitor);
  if (!state.started) return;
  {
    kivo::MutexLock lock(state.mutex);
    GList* devices = gst_device_monitor_get_devices(state.monitor);
    for (GList* item = devices; item; item = item->next) state.add(GST_DEVICE(item->data));
    g_list_free_full(devices, gst_object_unref);
    state.describe();
  }
  // Devices added while the list was read are on the bus too; add() keeps
  // each device once.
  state.watcher = std::thread([&state] { state.watch(); });
}

CameraCatalog::~CameraCatalog() = default;

std::vector<CameraDescription> CameraCatalog::cameras() const {
  std::vector<CameraDescription> cameras;
  {
    kivo::MutexLock lock(state_->mutex);
    cameras = state_->cameras;
  }
  CameraDescription test = testCamera();
  if (auto placement = state_->placements.find(test.name); placement != state_->placements.end()) {
    test.position = placement->second.position;
    test.deviceType = placement->second.deviceType;
  }
  cameras.push_back(std::move(test));
  return cameras;
}

GstElement* CameraCatalog::createSource(const std::string& name) const {
  if (name == "test") {
    GstElement* source = gst_element_factory_make("videotestsrc", nullptr);
    if (source) {
      g_object_set(source, "is-live", TRUE, nullptr);
      gst_util_set_object_arg(G_OBJECT(source), "pattern", "smpte");
    }
    return source;
  }
  GstDevice* device = nullptr;
  {
    kivo::MutexLock lock(state_->mutex);
    for (const CameraDescription& camera : state_->cameras) {
      if (camera.name == name) device = GST_DEVICE(gst_object_ref(state_->devices[camera.record]));
    }
  }
  if (!device) return nullptr;
  GstElement* source = gst_device_create_element(device, nullptr);
  gst_object_unref(device);
  return source;
}

}  // namespace gstcam
