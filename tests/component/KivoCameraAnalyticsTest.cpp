// Analytics parameters the trace cannot tell apart: numbers as integers or
// doubles, the capture position left out when unknown, and a colour-space
// report that cannot be encoded as JSON.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Kivo/KivoCore.h"
#include "KivoCameraAnalytics.h"

using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

class RecordingTracker : public KivoCore {
 public:
  void Tracking_Event(const std::string&, const TrackingParameters& parameters) override {
    std::vector<std::pair<std::string, std::string>> described;
    for (const auto& [key, value] : parameters) {
      const auto* text = std::get_if<std::string>(&value.value());
      const auto* number = std::get_if<NSNumber>(&value.value());
      described.emplace_back(key, text ? "text:" + *text
                                  : number->isFloatingPoint() ? "double:" + std::to_string(number->doubleValue())
                                                              : "int:" + std::to_string(number->integerValue()));
    }
    events.push_back(described);
  }
  std::vector<std::vector<std::pair<std::string, std::string>>> events;
};

TEST(KivoCameraAnalyticsTest, TimingsCarryTypedNumbersAndOnlyTheKnownPosition) {
  const auto tracker = std::make_shared<RecordingTracker>();
  ScopedKivoHost host{tracker};
  KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::capture, 0.5, "p", 2, 0);
  KivoCameraAnalytics::analytics(KivoCameraPerfomanceStep::capture, 0, "p", std::nullopt, 1);
  KivoCameraAnalytics::analyticsColorSpacesError({"\xFF"}, "0");  // not UTF-8: no JSON, no event
  EXPECT_THAT(tracker->events,
              ElementsAre(ElementsAre(Pair("integer1", "int:2"), Pair("integer2", "int:0"), Pair("mode", "text:p"),
                                      Pair("step", "text:capture"), Pair("time", "double:0.500000")),
                          ElementsAre(Pair("integer2", "int:1"), Pair("mode", "text:p"), Pair("step", "text:capture"),
                                      Pair("time", "double:0.000000"))));
}

}  // namespace
