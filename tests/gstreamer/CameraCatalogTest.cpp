// Discovery: which records are one camera, names, positions, modes, presets,
// access, and the live catalog (without cameras, and with a test provider's).
//
// The property sets below are written for these tests in the providers'
// formats (v4l2's, PipeWire's, libcamera's); none was recorded from a device.

#include <fcntl.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "CameraCatalog.h"

// A device provider whose cameras a test adds and removes, to drive the live
// catalog's monitor without hardware.
struct KivoTestDevice {
  GstDevice parent;
};
struct KivoTestDeviceClass {
  GstDeviceClass parent;
};
G_DEFINE_TYPE(KivoTestDevice, kivo_test_device, GST_TYPE_DEVICE)
static void kivo_test_device_init(KivoTestDevice*) {}
static void kivo_test_device_class_init(KivoTestDeviceClass* klass) {
  GST_DEVICE_CLASS(klass)->create_element = [](GstDevice*, const gchar* name) {
    return gst_element_factory_make("videotestsrc", name);
  };
}
struct KivoTestProvider {
  GstDeviceProvider parent;
};
struct KivoTestProviderClass {
  GstDeviceProviderClass parent;
};
G_DEFINE_TYPE(KivoTestProvider, kivo_test_provider, GST_TYPE_DEVICE_PROVIDER)
static void kivo_test_provider_init(KivoTestProvider*) {}
static void kivo_test_provider_class_init(KivoTestProviderClass* klass) {
  GST_DEVICE_PROVIDER_CLASS(klass)->start = [](GstDeviceProvider*) -> gboolean { return TRUE; };
  gst_device_provider_class_set_static_metadata(GST_DEVICE_PROVIDER_CLASS(klass), "Test cameras", "Video/Source",
                                                "Cameras a test adds", "KivoCamera");
}

namespace gstcam {
namespace {

using Pos = AVCaptureDevicePosition;

const std::vector<VideoMode> kVga{{640, 480, 30, false}};

DeviceRecord v4l2(std::string node, std::string card, std::string busPath, std::vector<VideoMode> modes = kVga) {
  return {"v4l2", card, {{"device.api", "v4l2"}, {"device.path", node}, {"v4l2.device.card", card},
                         {"device.bus_path", busPath}, {"device.vendor.id", "046d"}, {"device.product.id", "082d"},
                         {"udev-probed", "true"}},
          modes};
}
DeviceRecord pipewireV4l2(std::string node, std::string card) {
  return {"pipewire", card + " (V4L2)", {{"object.path", "v4l2:" + node}, {"api.v4l2.path", node},
                                         {"api.v4l2.cap.card", card}, {"device.api", "v4l2"},
                                         {"media.class", "Video/Source"}},
          kVga};
}
DeviceRecord libcamera(std::string id) { return {"libcamera", id, {}, kVga}; }
DeviceRecord pipewireLibcamera(std::string id, std::string location) {
  return {"pipewire", "Built-in Front Camera", {{"object.path", "libcamera:" + id}, {"device.api", "libcamera"},
                                                {"api.libcamera.location", location}},
          kVga};
}

// Name, provider, position, kept record.
using Expected = std::tuple<std::string, std::string, Pos, std::size_t>;

struct DescribeCase {
  const char* label;
  std::vector<DeviceRecord> records;
  CameraPlacements placements;
  std::vector<Expected> cameras;
};

const char* kUsb = "pci-0000:00:14.0-usb-0:2.4:1.0";
const char* kUsbId = "\\_SB_.PCI0.XHC_.RHUB.HS02-2.4:1.0-046d:082d";

TEST(CameraCatalogTest, DescribesEachCameraOnce) {
  const DescribeCase cases[] = {
      {"one webcam from three providers keeps v4l2's record",
       {pipewireV4l2("/dev/video0", "HD Pro Webcam C920"), libcamera(kUsbId),
        v4l2("/dev/video0", "HD Pro Webcam C920", kUsb)},
       {},
       {{"hd-pro-webcam-c920", "v4l2", Pos::back, 2}}},
      {"libcamera's record before PipeWire's, whose location stands",
       {pipewireLibcamera("/base/soc/i2c0mux/i2c@1/ov5647@36", "front"), libcamera("/base/soc/i2c0mux/i2c@1/ov5647@36")},
       {},
       {{"ov5647-36", "libcamera", Pos::front, 1}}},
      {"two cameras: back then front, a third is back",
       {v4l2("/dev/video0", "Integrated Camera: Integrated C", "pci-0000:00:14.0-usb-0:8:1.0"),
        v4l2("/dev/video2", "Integrated IR: Integrated I", "pci-0000:00:14.0-usb-0:8:1.2"),
        v4l2("/dev/video4", "USB Cam", kUsb)},
       {},
       {{"integrated-camera-integrated-c", "v4l2", Pos::back, 0},
        {"integrated-ir-integrated-i", "v4l2", Pos::front, 1},
        {"usb-cam", "v4l2", Pos::back, 2}}},
      {"a stated front location is kept; the other camera takes the back",
       {pipewireLibcamera("/base/soc/i2c0mux/i2c@1/ov5647@36", "front"), v4l2("/dev/video0", "USB Cam", kUsb)},
       {},
       {{"built-in-front-camera", "pipewire", Pos::front, 0}, {"usb-cam", "v4l2", Pos::back, 1}}},
      {"names are one lower-case word; placements override",
       {v4l2("/dev/video0", "  Caméra (USB) 2.0 ", kUsb), v4l2("/dev/video1", "-_.", "pci-0000:00:14.0-usb-0:3:1.0")},
       {{"cam-ra-usb-2.0", {Pos::front, std::string(AVCaptureDeviceTypeBuiltInWideAngleCamera)}}},
       {{"cam-ra-usb-2.0", "v4l2", Pos::front, 0}, {"camera", "v4l2", Pos::front, 1}}},
      {"twins are numbered by where they are plugged; 'test' stays the test camera's",
       {v4l2("/dev/video2", "Twin", "pci-0000:00:14.0-usb-0:3:1.0"), v4l2("/dev/video0", "Twin", kUsb),
        v4l2("/dev/video4", "Test", "pci-0000:00:14.0-usb-0:4:1.0"), libcamera("/base/i2c@1/Ov5647@36"),
        libcamera("/base/i2c@2/ov5647@36")},
       {},
       {{"twin-2", "v4l2", Pos::back, 0}, {"twin", "v4l2", Pos::front, 1}, {"test-2", "v4l2", Pos::back, 2},
        {"ov5647-36", "libcamera", Pos::back, 3}, {"ov5647-36-2", "libcamera", Pos::back, 4}}},
      {"a node with no usable mode is no camera",
       {v4l2("/dev/video0", "unicam", "platform-fe801000.csi", {}), libcamera("/base/soc/i2c0mux/i2c@1/imx219@10")},
       {},
       {{"imx219-10", "libcamera", Pos::back, 1}}},
  };
  for (const auto& c : cases) {
    std::vector<Expected> got;
    for (const auto& camera : describeCameras(c.records, c.placements)) {
      got.push_back({camera.name, camera.provider, camera.position, camera.record});
    }
    EXPECT_EQ(got, c.cameras) << c.label;
  }
}

TEST(CameraCatalogTest, KeepsUsableModesOnce) {
  DeviceRecord jpegOnly = v4l2("/dev/video0", "Cam", kUsb,
                               {{1280, 720, 30, true}, {640, 480, 30, true}, {1280, 720, 30, true}, {0, 0, 30, false}});
  std::vector<VideoMode> expected{{640, 480, 30, true}, {1280, 720, 30, true}};
  EXPECT_EQ(describeCameras({jpegOnly})[0].modes, expected);

  ASSERT_TRUE(ensureGStreamer());
  GstCaps* caps = gst_caps_from_string(
      "image/jpeg, width=1280, height=720, framerate={ 30/1, 15/1 }; "
      "video/x-raw, format=YUY2, width=640, height=480, framerate=30/1; "
      "video/x-bayer, format=rggb, width=3280, height=2464, framerate=15/1; "
      "video/x-raw(memory:DMABuf), format=NV12, width=1920, height=1080, framerate=30/1; "
      "video/x-raw, format=NV12, width=[ 16, 1920 ], height=[ 16, 1080 ], framerate=[ 0/1, 60/1 ]");
  ASSERT_NE(caps, nullptr);
  std::vector<VideoMode> fromCaps{{1280, 720, 30, true},   {1280, 720, 15, true},   {640, 480, 30, false},
                                  {320, 240, 60, false},   {352, 288, 60, false},   {640, 480, 60, false},
                                  {960, 540, 60, false},   {1280, 720, 60, false},  {1920, 1080, 60, false}};
  EXPECT_EQ(modesOfCaps(caps), fromCaps);
  gst_caps_unref(caps);
}

TEST(CameraCatalogTest, PresetsTakeTheNearestModeAboveAndTheLargestForPhoto) {
  const std::vector<VideoMode> webcam{{320, 240, 30, false},  {640, 480, 30, false},  {640, 480, 30, true},
                                      {1280, 720, 10, false}, {1280, 720, 30, true},  {1280, 720, 60, true},
                                      {1920, 1080, 30, true}, {2592, 1944, 15, true}, {1280, 960, 30, true}};
  struct Case {
    AVCaptureSessionPreset preset;
    std::optional<VideoMode> mode;
  };
  const Case cases[] = {
      {AVCaptureSessionPreset352x288, VideoMode{640, 480, 30, false}},
      {AVCaptureSessionPreset640x480, VideoMode{640, 480, 30, false}},
      {AVCaptureSessionPreset1280x720, VideoMode{1280, 720, 30, true}},
      {AVCaptureSessionPresetiFrame960x540, VideoMode{1280, 720, 30, true}},
      {AVCaptureSessionPreset3840x2160, std::nullopt},
      {AVCaptureSessionPresetPhoto, VideoMode{2592, 1944, 15, true}},
      {AVCaptureSessionPresetHigh, VideoMode{1920, 1080, 30, true}},
      {AVCaptureSessionPresetMedium, VideoMode{640, 480, 30, false}},
      {AVCaptureSessionPresetLow, VideoMode{320, 240, 30, false}},
      {AVCaptureSessionPresetInputPriority, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(modeForPreset(webcam, c.preset), c.mode) << c.preset;

  EXPECT_EQ(modeForPreset({{1280, 960, 30, true}}, AVCaptureSessionPresetHigh), (VideoMode{1280, 960, 30, true}))
      << "no 16:9 mode";
  // A faster rate when the device asks for it; the raw mode when every rate is above the limit.
  EXPECT_EQ(modeForPreset(webcam, AVCaptureSessionPreset1280x720, 60), (VideoMode{1280, 720, 60, true}));
  EXPECT_EQ(modeForPreset(webcam, AVCaptureSessionPreset1280x720, 5), (VideoMode{1280, 720, 10, false}));
  std::vector<std::string> small;
  for (auto preset : {AVCaptureSessionPresetPhoto, AVCaptureSessionPresetHigh, AVCaptureSessionPresetMedium,
                      AVCaptureSessionPresetLow}) {
    small.emplace_back(preset);
  }
  EXPECT_EQ(supportedPresets({{320, 240, 30, false}}), small);
  EXPECT_TRUE(supportedPresets({}).empty());
}

TEST(CameraCatalogTest, ProbesOnlyTheNodesASourceOpens) {
  char dir[] = "/tmp/kivo-probe-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string locked = std::string(dir) + "/locked", missing = std::string(dir) + "/video9";
  close(open(locked.c_str(), O_CREAT | O_WRONLY, 0));
  const std::tuple<const char*, std::string, Access> cases[] = {
      {"v4l2", "/dev/null", Access::granted},
      {"v4l2", missing, Access::gone},
      {"v4l2", dir, Access::busy},  // fails for another reason than permission or absence
      {"v4l2", locked, geteuid() == 0 ? Access::granted : Access::denied},
      {"pipewire", missing, Access::granted},
      {"test", "", Access::granted},
  };
  for (const auto& [provider, path, access] : cases) {
    CameraDescription camera;
    camera.provider = provider;
    if (!path.empty()) camera.devicePath = path;
    EXPECT_EQ(probeAccess(camera), access) << provider << " " << path;
  }
  unlink(locked.c_str());
  rmdir(dir);
}

TEST(CameraCatalogTest, LiveCatalogListsTheTestCameraLastAndMakesItsSource) {
  for (bool includeDevices : {false, true}) {
    CameraCatalog catalog(includeDevices, {}, {});
    auto cameras = catalog.cameras();
    ASSERT_FALSE(cameras.empty());
    EXPECT_EQ(cameras.back().name, "test");
    if (!includeDevices) {
      EXPECT_EQ(cameras.size(), 1u);
    }

    GstElement* source = catalog.createSource("test");
    ASSERT_NE(source, nullptr);
    gst_object_ref_sink(source);
    GstElementFactory* factory = gst_element_get_factory(source);
    EXPECT_STREQ(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), "videotestsrc");
    gboolean live = FALSE;
    g_object_get(source, "is-live", &live, nullptr);
    EXPECT_TRUE(live);
    gst_object_unref(source);
    EXPECT_EQ(catalog.createSource("no-such-camera"), nullptr);
  }
}

TEST(CameraCatalogTest, LiveCatalogFollowsCamerasComingAndGoing) {
  ASSERT_TRUE(ensureGStreamer());
  static bool registered = gst_device_provider_register(nullptr, "kivotestprovider", GST_RANK_PRIMARY,
                                                        kivo_test_provider_get_type());
  ASSERT_TRUE(registered);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> removed;
  CameraCatalog catalog(true, {}, [&](const std::string& name) {
    std::lock_guard lock(mutex);
    removed.push_back(name);
    changed.notify_all();
  });
  GstDeviceProvider* provider = gst_device_provider_factory_get_by_name("kivotestprovider");
  ASSERT_NE(provider, nullptr);
  // Twins. Alone, the first to come is "desk-cam"; a fresh listing would
  // give that name to the other one (port 2.4 sorts first), which comes next.
  GstCaps* caps = gst_caps_from_string("video/x-raw, width=640, height=480, framerate=30/1");
  auto twin = [&](const char* node, const char* busPath) {
    GstStructure* properties = gst_structure_new("props", "device.path", G_TYPE_STRING, node, "device.bus_path",
                                                 G_TYPE_STRING, busPath, nullptr);
    auto* device = GST_DEVICE(g_object_ref_sink(g_object_new(kivo_test_device_get_type(), "display-name",
                                                             "Desk Cam", "device-class", "Video/Source", "caps",
                                                             caps, "properties", properties, nullptr)));
    gst_structure_free(properties);
    gst_device_provider_device_add(provider, GST_DEVICE(gst_object_ref(device)));
    return device;
  };
  GstDevice* second = twin("/dev/video78", "pci-0000:00:14.0-usb-0:3:1.0");
  GstDevice* first = twin("/dev/video77", kUsb);
  gst_caps_unref(caps);

  auto names = [&] {
    std::vector<std::string> names;
    for (const auto& camera : catalog.cameras()) names.push_back(camera.name);
    return names;
  };
  auto removedAfter = [&](GstDevice* device, std::size_t count) {
    gst_device_provider_device_remove(provider, device);
    gst_object_unref(device);
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return removed.size() >= count; });
    return removed;
  };
  for (int i = 0; i < 500 && names().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(names(), (std::vector<std::string>{"desk-cam", "desk-cam-2", "test"}));
  if (GstElement* source = catalog.createSource("desk-cam-2")) {
    gst_object_unref(gst_object_ref_sink(source));
  } else {
    ADD_FAILURE() << "no source for a listed camera";
  }
  EXPECT_EQ(removedAfter(second, 1), std::vector<std::string>{"desk-cam"});
  EXPECT_EQ(names(), (std::vector<std::string>{"desk-cam-2", "test"})) << "the twin keeps its name";
  EXPECT_EQ(catalog.createSource("desk-cam"), nullptr);
  EXPECT_EQ(removedAfter(first, 2), (std::vector<std::string>{"desk-cam", "desk-cam-2"}));
  gst_object_unref(provider);
}

}  // namespace
}  // namespace gstcam
