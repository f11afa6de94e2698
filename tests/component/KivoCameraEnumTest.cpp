// The raw values of the component's enumerations: exactly the listed ones map
// to a case and back, each case has its own name, and the performance steps'
// strings round-trip exactly.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "KivoCameraEnum.h"

namespace {

// Every raw value in [from, to] that names a case, checking that the case gives it back.
template <class E>
std::vector<std::int64_t> mappedRawValues(std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> mapped;
  for (std::int64_t raw = from; raw <= to; ++raw) {
    if (const auto value = fromRawValue<E>(raw)) {
      EXPECT_EQ(rawValue(*value), raw) << *value;
      mapped.push_back(raw);
    }
  }
  return mapped;
}

std::vector<std::int64_t> closedRange(std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> values;
  for (std::int64_t v = from; v <= to; ++v) values.push_back(v);
  return values;
}

static_assert(fromRawValue<KivoCameraError>(30000) == KivoCameraError::notSupportedActiveColorSpace);

TEST(KivoCodeEnums, OnlyTheListedRawValuesMap) {
  std::vector<std::int64_t> expected = closedRange(10000, 10015);
  for (std::int64_t raw : {20000, 20001, 20002, 30000}) expected.push_back(raw);
  const auto mapped = mappedRawValues<KivoCameraError>(-1, 40000);  // gaps such as 10016 and 29999 lie inside
  EXPECT_EQ(mapped, expected);
  for (const auto raw : {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()})
    EXPECT_EQ(fromRawValue<KivoCameraError>(raw), std::nullopt);
  std::unordered_set<std::string_view> names;  // distinct cases with distinct names
  for (const auto raw : mapped) names.insert(caseName(*fromRawValue<KivoCameraError>(raw)));
  EXPECT_EQ(names.size(), mapped.size());
  EXPECT_FALSE(names.contains(""));
  EXPECT_EQ(mappedRawValues<KivoCameraAuthorizationStatus>(-3, 10), closedRange(0, 1));
  EXPECT_EQ(mappedRawValues<SessionSetupResult>(-3, 10), closedRange(0, 2));
  EXPECT_EQ(mappedRawValues<KivoMotionState>(-3, 10), closedRange(0, 2));
}

TEST(KivoCameraPerfomanceStep, RawStringsRoundTripExactly) {
  for (const auto step :
       {KivoCameraPerfomanceStep::launch, KivoCameraPerfomanceStep::capture, KivoCameraPerfomanceStep::startSession})
    EXPECT_EQ(fromRawValue<KivoCameraPerfomanceStep>(rawValue(step)), step);
  for (const char* other : {"", "Capture", "launch ", "start", "0"})
    EXPECT_EQ(fromRawValue<KivoCameraPerfomanceStep>(other), std::nullopt) << '"' << other << '"';
}

}  // namespace
