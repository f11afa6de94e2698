// Foundation stand-ins: notifications and key-value observation (weak
// observers, re-entrant handlers, posts from many threads), JSON that cannot
// be encoded, and numbers in the trace (the shortest text that reads back).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/JSONEncoder.h"
#include "Foundation/KeyValueObserving.h"
#include "Foundation/NSError.h"
#include "Foundation/NotificationCenter.h"
#include "Foundation/TraceFormat.h"

using ::testing::ElementsAre;

namespace {

// --- Notifications ---------------------------------------------------------

struct Listener {
  std::vector<std::string> heard;
  void onNotification(const Notification& n) { heard.push_back(n.name); }
  void onPlain() { heard.push_back("plain"); }
};

class NotificationCenterTest : public ::testing::Test {
 protected:
  NotificationCenter center;  // a private centre: tests do not share state
  int session = 0, otherSession = 0;
};

TEST_F(NotificationCenterTest, MatchesByNameAndObject) {
  auto listener = std::make_shared<Listener>();
  center.addObserver(listener, &Listener::onNotification, "runtime", &session);
  center.addObserver(listener, &Listener::onPlain, "active", nullptr);
  center.post("runtime", &otherSession);  // other object: ignored
  center.post("runtime", &session);
  center.post("active", &otherSession);  // any object
  center.post("unrelated", &session);
  EXPECT_THAT(listener->heard, ElementsAre("runtime", "plain"));
}

TEST_F(NotificationCenterTest, RemovingOrDroppingAnObserverEndsEveryRegistrationOfThatObserverOnly) {
  auto a = std::make_shared<Listener>();
  auto b = std::make_shared<Listener>();
  auto dropped = std::make_shared<Listener>();
  std::weak_ptr<Listener> watch = dropped;
  center.addObserver(a, &Listener::onNotification, "x", nullptr);
  center.addObserver(a, &Listener::onNotification, "y", &session);
  center.addObserver(b, &Listener::onNotification, "x", nullptr);
  center.addObserver(dropped, &Listener::onNotification, "x", nullptr);
  center.removeObserver(a.get());
  dropped.reset();
  EXPECT_TRUE(watch.expired()) << "observers are held weakly";
  center.post("x", nullptr);
  center.post("y", &session);
  EXPECT_TRUE(a->heard.empty());
  EXPECT_THAT(b->heard, ElementsAre("x"));
  EXPECT_EQ(center.registrationCount(), 1u);
}

TEST_F(NotificationCenterTest, AHandlerMayRemoveLaterObserversOfTheSamePost) {
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  std::vector<int> calls;
  center.addObserver(first, [&](const Notification&) {
    calls.push_back(1);
    center.removeObserver(second.get());
    center.post("nested", nullptr);  // re-entrant posting is allowed
  }, "x", nullptr);
  center.addObserver(second, [&](const Notification&) { calls.push_back(2); }, "x", nullptr);
  center.post("x", nullptr);
  EXPECT_THAT(calls, ElementsAre(1));
}

TEST_F(NotificationCenterTest, PostsFromManyThreadsWhileObserversComeAndGo) {
  std::atomic<int> delivered{0};
  auto stable = std::make_shared<int>(0);
  center.addObserver(stable, [&](const Notification&) { delivered.fetch_add(1); }, "tick", nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) center.post("tick", nullptr);
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 500; ++i) {
      auto transient = std::make_shared<int>(i);
      center.addObserver(transient, [](const Notification&) {}, "tick", nullptr);
      if (i % 2 == 0) center.removeObserver(transient.get());
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(delivered.load(), 1500);
}

// --- Key-value observation -------------------------------------------------

TEST(KeyValueObservingTest, ATokenOutlivingItsPropertyDoesNothing) {
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  KeyValueObservation token;
  {
    ObservableProperty<float> iso(1.0f);
    token = iso.observe(NSKeyValueObservingOptionNew, [captured](const KeyValueChange<float>&) {});
  }
  captured.reset();
  EXPECT_FALSE(watch.expired()) << "the handler lives with its token";
  token.invalidate();
  EXPECT_TRUE(watch.expired());
}

TEST(KeyValueObservingTest, AHandlerMayEndAnotherObservationWhileNotified) {
  ObservableProperty<int> value(0);
  std::vector<std::string> calls;
  std::optional<KeyValueObservation> second;
  auto first = value.observe(NSKeyValueObservingOptionNew, [&](const KeyValueChange<int>&) {
    calls.push_back("first");
    second.reset();
  });
  second = value.observe(NSKeyValueObservingOptionNew, [&](const KeyValueChange<int>&) { calls.push_back("second"); });
  value.set(1);
  EXPECT_THAT(calls, ElementsAre("first"));
}

// --- JSON ------------------------------------------------------------------

TEST(JSONEncoderTest, EscapesTextAndRejectsWhatJSONCannotCarry) {
  EXPECT_EQ(JSONEncoder::encode(JSONValue("a\"b\\c\n\x01 é")), "\"a\\\"b\\\\c\\n\\u0001 é\"");
  EXPECT_EQ(JSONEncoder::encode(JSONValue(std::numeric_limits<double>::quiet_NaN())), std::nullopt);
  EXPECT_EQ(JSONEncoder::encode(JSONValue(std::numeric_limits<double>::infinity())), std::nullopt);
  EXPECT_EQ(JSONEncoder::encode(JSONValue(std::string("\xC3"))), std::nullopt) << "truncated UTF-8";
  EXPECT_EQ(JSONEncoder::encode(JSONValue(std::string("\xC0\x80"))), std::nullopt) << "overlong UTF-8";
  EXPECT_EQ(JSONEncoder::encode(JSONValue(std::string("\xED\xA0\x80"))), std::nullopt) << "surrogate";
}

// --- Value format ----------------------------------------------------------

// Plain decimals up to 1e21 and from 1e-6, exponents outside; the scenario
// traces show the ordinary ones.
TEST(TraceFormatTest, NumbersUseTheShortestRoundTripText) {
  const std::vector<std::pair<double, std::string>> cases = {
      {-0.0, "-0"},  {1e21, "1e+21"}, {1e20, "100000000000000000000"}, {1e-7, "1e-7"}, {1.5e-6, "0.0000015"},
      {2.5e-10, "2.5e-10"}, {-1.25e22, "-1.25e+22"}, {std::numeric_limits<double>::infinity(), "inf"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(formatNumber(value), text) << text;
  EXPECT_EQ(formatNumber(0.1f), "0.1") << "32-bit values keep 32-bit precision";
}

TEST(TraceFormatTest, RandomNumbersReadBackExactly) {
  std::mt19937_64 random(20261206);
  std::uniform_int_distribution<std::uint64_t> bits;
  for (int i = 0; i < 20000; ++i) {
    double value;
    const std::uint64_t raw = bits(random);
    std::memcpy(&value, &raw, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = formatNumber(value);
    double back = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(result.ec, std::errc()) << text;
    ASSERT_EQ(result.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
  }
}

}  // namespace
