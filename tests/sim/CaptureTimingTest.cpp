// The capture world's timing knobs: the photo timetable (down to every
// callback at the request), prepared photo bytes in place of a rendering, the
// real-time cost of opening a camera, and the session's start and commit
// costs. Costs are paid through an injected wait, so nothing here sleeps.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AVFoundation/AVFoundation.h"
#include "Dispatch/Dispatch.h"
#include "Dispatch/Executor.h"
#include "sim/capture/CaptureSimulation.h"
#include "sim/capture/SessionCosts.h"
#include "sim/capture/TestChart.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One photo capture's callbacks: name, virtual time after the request, and
// the photo bytes of the processed callback.
class TimedRecorder : public AVCapturePhotoCaptureDelegate {
 public:
  explicit TimedRecorder(double start) : start_(start) {}

  struct Call {
    std::string name;
    double at;
  };
  std::vector<Call> calls;
  std::optional<Data> photo;

  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { record("willBegin"); }
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&, const Resolved&) override { record("willCapture"); }
  void didFinishProcessingPhoto(AVCapturePhotoOutput&, const std::shared_ptr<AVCapturePhoto>& captured,
                                const std::optional<NSError>&) override {
    record("processed");
    photo = captured->fileDataRepresentation();
  }
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&, const Resolved&,
                                           const std::optional<NSError>&) override {
    record("finished");
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& call : calls) out.push_back(call.name);
    return out;
  }

 private:
  void record(std::string name) { calls.push_back({std::move(name), CACurrentMediaTime() - start_}); }
  double start_;
};

class CaptureTimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session->addInput(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide")));
    session->addOutput(output);
    session->startRunning();
  }

  std::shared_ptr<TimedRecorder> capture() {
    auto recorder = std::make_shared<TimedRecorder>(executor.now());
    output->capturePhotoWithSettings(AVCapturePhotoSettings::create(), recorder);
    return recorder;
  }

  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  std::shared_ptr<AVCaptureSession> session = AVCaptureSession::create();
  std::shared_ptr<AVCapturePhotoOutput> output = AVCapturePhotoOutput::create();
};

// --- Photo timetable ----------------------------------------------------------

TEST_F(CaptureTimingTest, AllZeroTimetableRunsTheWholeCaptureWithoutTimePassing) {
  world.setPhotoTimetable({0, 0, 0});
  auto recorder = capture();
  executor.runUntilIdle();
  EXPECT_THAT(recorder->names(), ElementsAre("willBegin", "willCapture", "processed", "finished"));
  for (const auto& call : recorder->calls) EXPECT_EQ(call.at, 0) << call.name;
  EXPECT_EQ(output->capturesInFlight(), 0u);
}

TEST_F(CaptureTimingTest, ACustomTimetableMovesEachCallback) {
  world.setPhotoTimetable({0.1, 0.4, 0.5});
  auto recorder = capture();
  executor.advance(0.399);
  EXPECT_THAT(recorder->names(), ElementsAre("willBegin", "willCapture"));
  executor.advance(0.2);
  ASSERT_THAT(recorder->names(), ElementsAre("willBegin", "willCapture", "processed", "finished"));
  const double expected[] = {0, 0.1, 0.4, 0.5};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(recorder->calls[i].at, expected[i], 1e-9) << recorder->calls[i].name;
}

TEST_F(CaptureTimingTest, AFaultStillAppliesUnderACustomTimetable) {
  world.setPhotoTimetable({0, 0, 0});
  world.failNextPhoto(sim::PhotoFault::neverFinishes);
  auto recorder = capture();
  executor.advance(1);
  EXPECT_THAT(recorder->names(), ElementsAre("willBegin", "willCapture"));
  EXPECT_EQ(output->capturesInFlight(), 1u);
}

struct BadTimetable {
  const char* name;
  sim::PhotoTimetable timetable;
};

void PrintTo(const BadTimetable& c, std::ostream* os) { *os << c.name; }

class CaptureTimetableRejectTest : public CaptureTimingTest, public ::testing::WithParamInterface<BadTimetable> {};

TEST_P(CaptureTimetableRejectTest, NonsenseIsRejectedAndChangesNothing) {
  world.setPhotoTimetable({0.01, 0.02, 0.03});
  EXPECT_THROW(world.setPhotoTimetable(GetParam().timetable), std::invalid_argument);
  const auto kept = world.photoTimetable();
  EXPECT_EQ(kept.willCapture, 0.01);
  EXPECT_EQ(kept.processed, 0.02);
  EXPECT_EQ(kept.finished, 0.03);
}

INSTANTIATE_TEST_SUITE_P(Timetables, CaptureTimetableRejectTest,
                         ::testing::Values(BadTimetable{"negative", {-0.1, 0, 0}},
                                           BadTimetable{"processedBeforeExposure", {0.2, 0.1, 0.3}},
                                           BadTimetable{"finishedBeforeProcessed", {0, 0.3, 0.2}},
                                           BadTimetable{"nan", {0, kNaN, 1}},
                                           BadTimetable{"infinite", {0, 0, kInf}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Prepared photo bytes -----------------------------------------------------

TEST_F(CaptureTimingTest, PreparedBytesAreDeliveredAsTheyAreUntilCleared) {
  world.setPhotoTimetable({0, 0, 0});
  const Data prepared{0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
  world.setPreparedPhotoData(prepared);
  auto first = capture();
  executor.runUntilIdle();
  ASSERT_TRUE(first->photo);
  EXPECT_EQ(*first->photo, prepared);

  world.setPreparedPhotoData(std::nullopt);
  auto second = capture();
  executor.runUntilIdle();
  ASSERT_TRUE(second->photo);
  EXPECT_NE(*second->photo, prepared);
  // Back to a rendering of the scene: a real picture of the default size.
  const auto decoded = sim::decodeJPEG(*second->photo);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width * decoded->height, 640 * 480);
}

TEST_F(CaptureTimingTest, AFaultWithoutDataWinsOverPreparedBytes) {
  world.setPhotoTimetable({0, 0, 0});
  world.setPreparedPhotoData(Data{0xFF, 0xD8});
  world.failNextPhoto(sim::PhotoFault::noData);
  auto recorder = capture();
  executor.runUntilIdle();
  ASSERT_THAT(recorder->names(), ElementsAre("willBegin", "willCapture", "processed", "finished"));
  EXPECT_FALSE(recorder->photo);
}

// --- Opening a camera ---------------------------------------------------------

struct PaidCost {
  double seconds;
  std::string queue;
};

TEST_F(CaptureTimingTest, OpeningAnInputPaysItsCostOnTheCallingQueue) {
  std::vector<PaidCost> paid;
  world.setRealTimeWait([&paid](double seconds) { paid.push_back({seconds, DispatchQueue::currentLabel()}); });
  auto camera = world.camera("front-wide");

  EXPECT_TRUE(AVCaptureDeviceInput::createWithDevice(camera));
  EXPECT_THAT(paid, IsEmpty());  // free until a cost is set

  world.setDeviceInputOpenSeconds(0.2);
  DispatchQueue queue("test.configuration");
  std::shared_ptr<AVCaptureDeviceInput> opened;
  queue.async([&] { opened = AVCaptureDeviceInput::createWithDevice(camera); });
  executor.runUntilIdle();
  EXPECT_TRUE(opened);
  ASSERT_EQ(paid.size(), 1u);
  EXPECT_EQ(paid[0].seconds, 0.2);
  EXPECT_EQ(paid[0].queue, "test.configuration");
  EXPECT_EQ(executor.now(), DeterministicExecutor::kStartTime);  // real time only
}

TEST_F(CaptureTimingTest, AnInputThatFailsToOpenStillPaysAndTheFaultIsConsumedOnce) {
  std::vector<PaidCost> paid;
  world.setRealTimeWait([&paid](double seconds) { paid.push_back({seconds, DispatchQueue::currentLabel()}); });
  world.setDeviceInputOpenSeconds(0.05);
  world.failNextDeviceInput();
  NSError error;
  EXPECT_FALSE(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide"), &error));
  EXPECT_TRUE(AVCaptureDeviceInput::createWithDevice(world.camera("back-wide")));
  EXPECT_EQ(paid.size(), 2u);
}

TEST_F(CaptureTimingTest, AnOpenCostMustBeFiniteAndNotNegative) {
  EXPECT_THROW(world.setDeviceInputOpenSeconds(-1), std::invalid_argument);
  EXPECT_THROW(world.setDeviceInputOpenSeconds(kNaN), std::invalid_argument);
  EXPECT_THROW(world.setDeviceInputOpenSeconds(kInf), std::invalid_argument);
}

// --- Session start and commit -------------------------------------------------

struct Reported {
  std::string receiver;
  std::string selector;
};

class SessionCostsTest : public ::testing::Test {
 protected:
  DeterministicExecutor executor;
  sim::CaptureSimulation world;
  std::vector<PaidCost> paid;
  std::vector<Reported> reported;

  sim::ScopedSessionCosts::Wait recordWait() {
    return [this](double seconds) { paid.push_back({seconds, DispatchQueue::currentLabel()}); };
  }
  PlatformCallSink recordReports() {
    return [this](std::string_view receiver, std::string_view selector, std::string_view) {
      reported.push_back({std::string(receiver), std::string(selector)});
    };
  }
};

TEST_F(SessionCostsTest, StartAndCommitPayTheirCostsOnTheQueueThatCallsThem) {
  sim::ScopedSessionCosts costs({0.3, 0.2}, {}, recordWait());
  auto session = AVCaptureSession::create();
  DispatchQueue queue("test.session");
  queue.async([session] {
    session->beginConfiguration();
    session->setSessionPreset(AVCaptureSessionPresetPhoto);
    session->commitConfiguration();
    session->startRunning();
    session->stopRunning();
  });
  executor.runUntilIdle();
  ASSERT_EQ(paid.size(), 2u);
  EXPECT_EQ(paid[0].seconds, 0.2);
  EXPECT_EQ(paid[1].seconds, 0.3);
  EXPECT_EQ(paid[0].queue, "test.session");
  EXPECT_EQ(paid[1].queue, "test.session");
  EXPECT_FALSE(session->isRunning());
}

TEST_F(SessionCostsTest, OtherCallsAndZeroCostsAreFree) {
  sim::ScopedSessionCosts costs({0, 0.2}, {}, recordWait());
  auto session = AVCaptureSession::create();
  session->startRunning();  // no start cost configured
  auto device = world.camera("back-wide");
  ASSERT_TRUE(device->lockForConfiguration());
  device->unlockForConfiguration();
  EXPECT_THAT(paid, IsEmpty());
  session->commitConfiguration();
  EXPECT_EQ(paid.size(), 1u);
}

TEST_F(SessionCostsTest, EveryReportIsForwardedBeforeItsCostIsPaid) {
  std::vector<std::string> order;
  sim::ScopedSessionCosts costs(
      {0.3, 0},
      [&order](std::string_view receiver, std::string_view selector, std::string_view) {
        order.push_back(std::string(receiver) + " " + std::string(selector));
      },
      [&order](double) { order.push_back("paid"); });
  auto session = AVCaptureSession::create();
  session->beginConfiguration();
  session->startRunning();
  EXPECT_THAT(order, ElementsAre("session beginConfiguration", "session startRunning", "paid"));
}

TEST_F(SessionCostsTest, EndingTheCostsRestoresTheSinkBefore) {
  {
    ScopedPlatformCallSink outer(recordReports());
    {
      sim::ScopedSessionCosts costs({0.3, 0.3}, {}, recordWait());
      AVCaptureSession::create()->startRunning();
    }
    AVCaptureSession::create()->startRunning();
  }
  EXPECT_EQ(paid.size(), 1u);
  // Only the call made after the costs ended reached the outer sink.
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].selector, "startRunning");
}

TEST_F(SessionCostsTest, CostsMustBeFiniteAndNotNegative) {
  EXPECT_THROW({ sim::ScopedSessionCosts costs({-0.1, 0}); }, std::invalid_argument);
  EXPECT_THROW({ sim::ScopedSessionCosts costs({0, kNaN}); }, std::invalid_argument);
  EXPECT_THROW({ sim::ScopedSessionCosts costs({kInf, 0}); }, std::invalid_argument);
}

}  // namespace
