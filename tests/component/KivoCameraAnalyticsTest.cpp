// Every analytics builder: parameter keys, texts versus numbers, optional
// parameters, and the colour-space JSON.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "Kivo/KivoCore.h"
#include "KivoCameraAnalytics.h"

using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

class RecordingTracker : public KivoCore {
 public:
  void Tracking_Event(const std::string&, const TrackingParameters& parameters) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(parameters);
  }
  std::mutex mutex;
  std::vector<TrackingParameters> events;
};

// A parameter as "text:VALUE", "int:VALUE" or "double:VALUE".
std::string kindOf(const TrackingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value.value())) return "text:" + *text;
  const auto& number = std::get<NSNumber>(value.value());
  return number.isFloatingPoint() ? "double:" + std::to_string(number.doubleValue())
                                  : "int:" + std::to_string(number.integerValue());
}

std::vector<std::pair<std::string, std::string>> described(const TrackingParameters& parameters) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [key, value] : parameters) out.emplace_back(key, kindOf(value));
  return out;
}

class KivoCameraAnalyticsTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingTracker> tracker = std::make_shared<RecordingTracker>();
  ScopedKivoHost host{tracker};

  std::vector<std::pair<std::string, std::string>> last() {
    EXPECT_FALSE(tracker->events.empty());
    return tracker->events.empty() ? decltype(last()){} : described(tracker->events.back());
  }
};

TEST_F(KivoCameraAnalyticsTest, TimingsCarryNumbersAndOnlyCaptureCarriesPositionAndFlash) {
  KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::launch, 0.25, "AVCaptureSessionPresetPhoto", 1, 2);
  EXPECT_THAT(last(), ElementsAre(Pair("mode", "text:AVCaptureSessionPresetPhoto"), Pair("step", "text:launch"),
                                  Pair("time", "double:0.250000")));
  KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::capture, 0.5, "AVCaptureSessionPreset1920x1080", 2, 0);
  EXPECT_THAT(last(), ElementsAre(Pair("integer1", "int:2"), Pair("integer2", "int:0"),
                                  Pair("mode", "text:AVCaptureSessionPreset1920x1080"), Pair("step", "text:capture"),
                                  Pair("time", "double:0.500000")));
  KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::capture, 0, "p", std::nullopt, 1);
  EXPECT_THAT(last(), ElementsAre(Pair("integer2", "int:1"), Pair("mode", "text:p"), Pair("step", "text:capture"),
                                  Pair("time", "double:0.000000")));
}

TEST_F(KivoCameraAnalyticsTest, ColourSpacesGoAsJSONWithNULLForAnEmptyList) {
  KivoCameraAnalytics::analyticsColorSpacesError({"0", "1"}, "2");
  EXPECT_THAT(last(), ElementsAre(Pair("code", "text:30000"),
                                  Pair("content", R"(text:{"ActiveColorSpace":"2","SupportedColorSpaces":"0,1"})")));
  KivoCameraAnalytics::analyticsColorSpacesError({}, "0");
  EXPECT_THAT(last(), ElementsAre(Pair("code", "text:30000"),
                                  Pair("content", R"(text:{"ActiveColorSpace":"0","SupportedColorSpaces":"NULL"})")));
  const auto before = tracker->events.size();
  KivoCameraAnalytics::analyticsColorSpacesError({"\xFF"}, "0");  // not UTF-8: cannot be encoded
  EXPECT_EQ(tracker->events.size(), before) << "nothing is sent when the JSON cannot be made";
}

}  // namespace
