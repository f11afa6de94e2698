// kivocam's runner in-process: the lexical layer, whole scenarios, wrong
// lines, the host's delegate variants and the end of a run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "KivoCamera.h"
#include "Runner.h"

namespace kivocam {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// --- Words and values ------------------------------------------------------------

TEST(ScenarioWords, SplitsAtAnyBlankAndSkipsCommentsAndBlankLines) {
  EXPECT_THAT(splitWords("  tap\t187.5   406\r"), ElementsAre("tap", "187.5", "406"));
  EXPECT_TRUE(splitWords("").empty());
  EXPECT_TRUE(splitWords(" \t \r").empty());
  EXPECT_TRUE(splitWords("   # a comment tap 1 2").empty());
  // Only a first word starting with # makes a comment.
  EXPECT_THAT(splitWords("delegate #x"), ElementsAre("delegate", "#x"));
  EXPECT_EQ(joinWords(splitWords("  call   zoomWithScale\t2  ")), "call zoomWithScale 2");
}

TEST(ScenarioValues, NumbersAreDecimalWithSignFractionAndExponent) {
  EXPECT_EQ(readNumber("2.5", "n"), 2.5);
  EXPECT_EQ(readNumber("-0.5", "n"), -0.5);
  EXPECT_EQ(readNumber("+3", "n"), 3);
  EXPECT_EQ(readNumber(".5", "n"), 0.5);
  EXPECT_EQ(readNumber("5.", "n"), 5);
  EXPECT_EQ(readNumber("1e3", "n"), 1000);
  EXPECT_EQ(readNumber("2.5E-1", "n"), 0.25);
  // Too small to represent reads as the nearest number; too large is refused.
  EXPECT_EQ(readNumber("1e-400", "n"), 0);
  EXPECT_EQ(readNumber("-1e-400", "n"), 0);
  EXPECT_EQ(readNumber("4.9e-324", "n"), std::numeric_limits<double>::denorm_min());
  for (const char* bad : {"", "abc", "1,5", "0x10", "inf", "-inf", "nan", "1e", "e5", ".", "-", "+-1", "1e999",
                          "2.5s", "1..2", "--1"}) {
    EXPECT_THROW(readNumber(bad, "n"), ScenarioError) << bad;
  }
}

TEST(ScenarioValues, WholeNumbersBooleansAndSwitches) {
  EXPECT_EQ(readInteger("-11800", "n"), -11800);
  EXPECT_EQ(readInteger("+7", "n"), 7);
  for (const char* bad : {"", "1.0", "1e3", "+-1", "12a", "99999999999999999999"})
    EXPECT_THROW(readInteger(bad, "n"), ScenarioError) << bad;
  EXPECT_EQ(readUnsigned32("875704438", "n"), 875704438u);
  EXPECT_EQ(readUnsigned32("4294967295", "n"), 4294967295u);
  EXPECT_THROW(readUnsigned32("4294967296", "n"), ScenarioError);
  EXPECT_THROW(readUnsigned32("-1", "n"), ScenarioError);
  EXPECT_TRUE(readBool("true", "b"));
  EXPECT_FALSE(readBool("false", "b"));
  EXPECT_THROW(readBool("yes", "b"), ScenarioError);
  EXPECT_THROW(readBool("True", "b"), ScenarioError);
  EXPECT_TRUE(readOnOff("on", "s"));
  EXPECT_FALSE(readOnOff("off", "s"));
  EXPECT_THROW(readOnOff("true", "s"), ScenarioError);
}

TEST(ScenarioValues, ErrorsNameTheArgumentAndTheWord) {
  try {
    readNumber("two", "zoomWithScale: scale");
    FAIL() << "accepted a word as a number";
  } catch (const ScenarioError& error) {
    EXPECT_STREQ(error.what(), "zoomWithScale: scale: expected a number, not \"two\"");
  }
}

// --- Whole scenarios ----------------------------------------------------------------

struct Run {
  ScenarioResult result;
  std::string trace;
};

Run runText(const std::string& text, RunnerOptions options = {}) {
  std::ostringstream out;
  Run run;
  run.result = runScenario(text, options, out);
  run.trace = out.str();
  return run;
}

TEST(KivocamRun, EchoesEachLineAndSkipsCommentsAndBlankLines) {
  const auto run = runText("# the default world\n\n  print   camera.zoomScale  \nprint app.idleTimerDisabled\n");
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.trace,
            "> print camera.zoomScale\ncamera.zoomScale = nil\n"
            "> print app.idleTimerDisabled\napp.idleTimerDisabled = false\n");
}

TEST(KivocamRun, AWrongLineStopsTheRunAfterTheTraceUpToIt) {
  const auto run = runText("create\nprint camera.zoomScale\nfrobnicate 1\nprint camera.zoomScale\n");
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.line, 3);
  EXPECT_EQ(run.result.message, "unknown command \"frobnicate\"");
  EXPECT_EQ(run.trace, "> create\n> print camera.zoomScale\ncamera.zoomScale = 1\n> frobnicate 1\n");
}

TEST(KivocamRun, TheControllerIsDestroyedWhenTheHostReleasesIt) {
  const auto run = runText("create\nattach\nappear\ndisappear\nrelease\nprint camera.zoomScale\n");
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_THAT(run.trace, HasSubstr("> release\ndealloc KivoCamera\n> print camera.zoomScale\ncamera.zoomScale = nil\n"));
}

TEST(KivocamRun, NothingIsPrintedAfterTheLastLineAndNothingOutlivesTheRun) {
  std::ostringstream out;
  std::weak_ptr<KivoCamera> camera;
  {
    Runner runner({}, out);
    for (const char* line : {"create", "attach", "appear", "call capturePhoto"}) runner.run(line);
    camera = runner.camera();
    ASSERT_FALSE(camera.expired());
    const auto printed = out.str().size();
    runner.finish();
    // The capture still in flight finishes silently during the drain.
    EXPECT_EQ(out.str().size(), printed);
    EXPECT_THROW(runner.run("print camera.zoomScale"), std::logic_error);
  }
  EXPECT_TRUE(camera.expired());
}

TEST(KivocamRun, DelegateVariantsDecideWhichCallbacksAreReceived) {
  // Only the listed selectors are answered.
  auto run = runText("delegate camera:didChangeTorch:\ncreate\nattach\nappear\ncall toggleTorch true\n"
                     "call toggleFlash 1\n");
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_THAT(run.trace, HasSubstr("delegate camera:didChangeTorch: true @main"));
  EXPECT_THAT(run.trace, Not(HasSubstr("camera:didChangeFlashMode:")));

  // A delegate the host let go of receives nothing; a new one set afterwards does.
  run = runText("create\nattach\nappear\ndelegate release\ncall toggleFlash 1\ndelegate all\ncall toggleFlash 2\n");
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_THAT(run.trace, Not(HasSubstr("camera:didChangeFlashMode: 1")));
  EXPECT_THAT(run.trace, HasSubstr("delegate camera:didChangeFlashMode: 2 @main"));

  run = runText("delegate camera:didFrobnicate:\n");
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.message, "unknown delegate selector \"camera:didFrobnicate:\"");
}

TEST(KivocamRun, ClassOperationsNeedNoController) {
  const auto run = runText("world permission not-determined\ncall isAuthorized\ncall isAuthorizedWithBlock\n"
                           "answer deny\nadvance 0.1\n");
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_THAT(run.trace, HasSubstr("> call isAuthorized\nresult isAuthorized false\n"));
  EXPECT_THAT(run.trace, HasSubstr("block isAuthorized false @main"));
}

TEST(KivocamRun, DeliveredPhotosAreWrittenAsNumberedJpegFiles) {
  const auto directory = std::filesystem::temp_directory_path() /
                         ("kivocam-photos-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  RunnerOptions options;
  options.photosDirectory = directory;
  const auto run = runText("create\nattach\nappear\ncall capturePhoto\nadvance 0.5\nfail photo no-data\n"
                           "call capturePhoto\nadvance 0.5\ncall capturePhoto\nadvance 0.5\n",
                           options);
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  // The photo without data is reported as nil and writes nothing.
  EXPECT_THAT(run.trace, HasSubstr("delegate camera:didCapturePhoto: nil @main"));
  for (const char* name : {"photo-1.jpg", "photo-2.jpg"}) {
    std::ifstream file(directory / name, std::ios::binary);
    ASSERT_TRUE(file) << name;
    unsigned char magic[3] = {};
    file.read(reinterpret_cast<char*>(magic), 3);
    EXPECT_EQ(magic[0], 0xFF);
    EXPECT_EQ(magic[1], 0xD8);
    EXPECT_EQ(magic[2], 0xFF);
  }
  EXPECT_FALSE(std::filesystem::exists(directory / "photo-3.jpg"));
  std::filesystem::remove_all(directory);
}

TEST(KivocamRun, APhotoThatCannotBeWrittenIsAWrongLine) {
  RunnerOptions options;
  options.photosDirectory = std::filesystem::path("/nonexistent-kivocam-dir/photos");
  const auto run = runText("create\nattach\nappear\ncall capturePhoto\nadvance 0.5\n", options);
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.line, 5);
  EXPECT_THAT(run.result.message, HasSubstr("cannot write the photo"));
}

TEST(KivocamRun, TheVirtualClockStopsShortOfLosingPrecision) {
  // Even with no bound on one advance, the clock cannot be pushed to where a
  // sensor's interval no longer moves it (or to infinity).
  RunnerOptions options;
  options.maxAdvanceSeconds = std::numeric_limits<double>::infinity();
  auto run = runText("advance 999990000\nadvance 9000\nadvance 1001\n", options);
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.line, 3);
  EXPECT_THAT(run.result.message, HasSubstr("the virtual clock cannot pass"));
  run = runText("advance 1e308\n", options);
  EXPECT_EQ(run.result.line, 1);
}

// --- Wrong lines ----------------------------------------------------------------------

struct WrongLine {
  const char* before;   // lines that run first
  const char* line;     // the wrong one
  const char* message;  // part of the message
};

void PrintTo(const WrongLine& wrong, std::ostream* os) { *os << '"' << wrong.line << '"'; }

class KivocamWrongLine : public ::testing::TestWithParam<WrongLine> {};

TEST_P(KivocamWrongLine, StopsWithAMessageNamingTheProblem) {
  const auto& wrong = GetParam();
  std::string text = wrong.before;
  const int line = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
  text += wrong.line;
  text += "\nprint camera.zoomScale\n";
  const auto run = runText(text);
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.line, line);
  EXPECT_THAT(run.result.message, HasSubstr(wrong.message));
  EXPECT_THAT(run.trace, Not(HasSubstr("camera.zoomScale =")));
}

const char* const kShown = "create\nattach\nappear\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, KivocamWrongLine,
    ::testing::Values(
        WrongLine{"", "zoom 2", "unknown command \"zoom\""},
        WrongLine{"", "world", "expected \"world SETTING VALUE\""},
        WrongLine{"", "world gravity 9.8", "unknown world setting \"gravity\""},
        WrongLine{"", "world screen 375", "expected \"world screen W H\""},
        WrongLine{"", "world screen 0 812", "width and height must be positive"},
        WrongLine{"", "world camera back", "expected \"world camera POSITION TYPE [OPTION...]\""},
        WrongLine{"", "world camera side wide", "side"},
        WrongLine{"", "world camera back wide +laser", "+laser"},
        WrongLine{"", "world permission maybe", "world permission"},
        WrongLine{"", "world memory -5", "world memory"},
        WrongLine{"", "world device-orientation 7", "0 to 6"},
        WrongLine{"", "world accelerometer yes", "expected on or off"},
        WrongLine{"create\n", "world platform-version 16", "before the controller is created"},
        WrongLine{"", "fail lock sometimes", "fail lock: count: expected a whole number"},
        WrongLine{"", "fail photo smudged", "smudged"},
        WrongLine{"", "fail gravity", "unknown fault \"gravity\""},
        WrongLine{"", "set zoomScale 2", "there is no controller"},
        WrongLine{"create\n", "set zoomScale two", "expected a number"},
        WrongLine{"create\n", "set colour red", "unknown property \"colour\""},
        WrongLine{"create\n", "set flashMode 3", "0 (off), 1 (on) or 2 (auto)"},
        WrongLine{"create\n", "set sessionPreset AVCaptureSessionPresetHuge", "unknown session preset"},
        WrongLine{"create\n", "set videoGravity stretch", "expected AVLayerVideoGravityResizeAspect"},
        WrongLine{"create\n", "create", "already holds a controller"},
        WrongLine{"create\n", "call zoomWithScale", "expected \"call zoomWithScale S [ANIMATED]\""},
        WrongLine{"create\n", "call warp 9", "unknown operation \"warp\""},
        WrongLine{"", "call startSession", "there is no controller"},
        WrongLine{"create\n", "call toggleFlash 5", "mode must be 0 (off), 1 (on) or 2 (auto)"},
        WrongLine{"create\n", "call setVideoOutputSettingFormatType -1", "from 0 to 4294967295"},
        WrongLine{"", "tap 10 10", "tap"},
        WrongLine{kShown, "pinch squeeze 2", "expected began, changed, ended, cancelled or failed"},
        WrongLine{kShown, "pinch began", "expected \"pinch STATE FACTOR [X Y]\""},
        WrongLine{"", "answer grant", "no open permission request"},
        WrongLine{"", "answer maybe", "expected grant or deny"},
        WrongLine{"", "alert cancel", "no alert is presented"},
        WrongLine{"", "accel 0 -1", "expected \"accel X Y Z\""},
        WrongLine{"", "notify runtime-error", "session"},
        WrongLine{kShown, "notify runtime-error code=1 code=2", "expected \"notify runtime-error"},
        WrongLine{kShown, "notify interrupted because", "expected \"notify interrupted [reason=V]\""},
        WrongLine{"", "notify earthquake", "unknown notification \"earthquake\""},
        WrongLine{kShown, "device back-tele iso 100", "back-tele"},
        WrongLine{kShown, "device iso loud", "expected a number"},
        WrongLine{kShown, "device colour red", "unknown device property \"colour\""},
        WrongLine{"", "advance -1", "cannot be negative"},
        WrongLine{"", "advance soon", "expected a number"},
        WrongLine{"", "advance 86400.5", "at most 86400 s in one step"},
        WrongLine{"", "print camera.colour", "unknown path \"camera.colour\""},
        WrongLine{"", "print weather", "unknown path \"weather\""},
        WrongLine{"", "print", "expected \"print PATH\""},
        WrongLine{"", "hide view true", "there is no controller"},
        WrongLine{"create\n", "hide window true", "expected view or preview"},
        WrongLine{"", "appear-end", "appear"},
        WrongLine{"", "release", "there is no controller"}));

}  // namespace
}  // namespace kivocam
