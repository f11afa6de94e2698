// kivocam's runner in-process: the lexical layer, the command table as the
// one source of forms, help and fuzzing words, whole scenarios, wrong lines
// and the end of a run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <streambuf>

#include "AVFoundation/AVCaptureDevice.h"
#include "Commands.h"
#include "Dispatch/Dispatch.h"
#include "KivoCamera.h"
#include "Runner.h"
#include "sim/World.h"
#include "sim/capture/CaptureSimulation.h"

namespace kivocam {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(ScenarioWords, SplitsAtAnyBlankAndStopsAtAWordBeginningWithAHash) {
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {"  tap\t187.5   406\r", {"tap", "187.5", "406"}},
      {" \t # a comment tap 1 2", {}},
      {"#tap 1 2", {}},
      {"delegate #x", {"delegate"}},
      {"tap 187.5 406\t#the user taps # twice", {"tap", "187.5", "406"}},
      {"snapshot a#b c# #", {"snapshot", "a#b", "c#"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(splitWords(line), words) << line;
}

TEST(ScenarioValues, DecimalAndWholeNumbers) {
  double number = 1;
  for (const auto& [word, value] : std::vector<std::pair<const char*, double>>{
           {"-0.5", -0.5}, {"+3", 3}, {".5", 0.5}, {"5.", 5}, {"2.5E-1", 0.25}, {"1e-400", 0},
           {"4.9e-324", std::numeric_limits<double>::denorm_min()}})
    EXPECT_TRUE(readDecimal(word, number) == NumberFit::fits && number == value) << word;
  for (const char* bad : {"", "abc", "1,5", "0x10", "inf", "nan", "1e", "e5", ".", "-", "+-1", "2.5s"})
    EXPECT_EQ(readDecimal(bad, number), NumberFit::notANumber) << bad;
  std::int64_t whole = 0;
  EXPECT_TRUE(readWhole("+7", whole) == NumberFit::fits && whole == 7);
  for (const char* bad : {"1.0", "1e3", "+-1", "12a", ""}) EXPECT_EQ(readWhole(bad, whole), NumberFit::notANumber);
}

// --- The command table ----------------------------------------------------------------

// A line with one word too many fits none of a command's forms, and is
// refused with the forms its entry states.
TEST(CommandTable, ALineThatFitsNoFormIsRefusedWithTheFormsOfItsEntry) {
  for (const Command* command : allCommands()) {
    EXPECT_TRUE(command->usage.starts_with(command->name)) << command->usage;
    EXPECT_FALSE(command->meaning.empty()) << command->usage;
    if (!command->args.empty() && command->args.back().repeated) continue;
    std::vector<std::string> words = splitWords(command->name);
    for (const Arg& arg : command->args) words.emplace_back(arg.kind == Arg::Kind::literal ? arg.name : "x");
    words.emplace_back("x");
    try {
      matchLine(words);
      ADD_FAILURE() << "accepted: " << joinWords(words);
    } catch (const ScenarioError& error) {
      EXPECT_THAT(error.what(), HasSubstr("\"" + std::string(command->usage) + "\"")) << command->usage;
    }
  }
}

// Every form is documented, and every word offered to the fuzzer.
TEST(CommandTable, HelpHasEveryFormAndTheFuzzDictionaryEveryWord) {
  for (const Command* command : allCommands())
    EXPECT_NE(helpText().find("  " + std::string(command->usage)), std::string::npos) << command->usage;
  const char* root = std::getenv("KIVO_TEST_SOURCE_DIR");
  if (!root) GTEST_SKIP() << "KIVO_TEST_SOURCE_DIR is not set (ctest sets it)";
  std::ifstream file(std::filesystem::path(root) / "fuzz" / "scenario.dict");
  const std::string dictionary((std::istreambuf_iterator<char>(file)), {});
  for (const auto& word : vocabulary())
    EXPECT_NE(dictionary.find("\"" + word + "\""), std::string::npos) << word << " is missing from fuzz/scenario.dict";
}

TEST(CommandTable, CameraOptionsReachTheDevice) {
  std::ostringstream out;
  Runner runner({}, out);
  runner.run("world camera front wide +torch +flash -poi -smooth-focus -low-light-boost -continuous-focus "
             "-continuous-exposure -continuous-wb min-focus=80 bias=-2.5..1 iso=640 fps=60 max-zoom=5 color-spaces= "
             "active-color-space=2 presets=AVCaptureSessionPresetPhoto,AVCaptureSessionPreset640x480");
  const auto d = runner.world().capture().camera("front-wide");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->isTorchAvailable() && d->isFlashAvailable());
  EXPECT_FALSE(d->isFocusPointOfInterestSupported() || d->isSmoothAutoFocusSupported() ||
               d->isLowLightBoostSupported() || d->isFocusModeSupported(AVCaptureFocusMode::continuousAutoFocus) ||
               d->isExposureModeSupported(AVCaptureExposureMode::continuousAutoExposure) ||
               d->isWhiteBalanceModeSupported(AVCaptureWhiteBalanceMode::continuousAutoWhiteBalance));
  EXPECT_EQ(d->minimumFocusDistance(), 80);
  EXPECT_EQ(std::pair(d->minExposureTargetBias(), d->maxExposureTargetBias()), std::pair(-2.5f, 1.0f));
  EXPECT_EQ(d->ISO(), 640.0f);
  EXPECT_EQ(std::pair(d->activeFormat().maxFrameRate, d->activeFormat().videoMaxZoomFactor), std::pair(60.0, 5.0));
  EXPECT_TRUE(d->activeFormat().supportedColorSpaces.empty());
  EXPECT_EQ(d->activeColorSpace(), 2);
  EXPECT_TRUE(d->supportsAVCaptureSessionPreset(AVCaptureSessionPreset640x480));
  EXPECT_FALSE(d->supportsAVCaptureSessionPreset(AVCaptureSessionPreset1920x1080));
}

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

TEST(KivocamRun, AWrongLineStopsTheRunAfterTheTraceUpToIt) {
  const auto run = runText("# c\n\n  create \nprint camera.zoomScale\nfrobnicate 1\nprint camera.zoomScale\n");
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.line, 5);
  EXPECT_EQ(run.result.message, "unknown command \"frobnicate\"");
  EXPECT_EQ(run.trace, "> create\n> print camera.zoomScale\ncamera.zoomScale = 1\n> frobnicate 1\n");
}

TEST(KivocamRun, NothingIsPrintedAfterTheLastLineAndNothingOutlivesTheRun) {
  std::ostringstream out;
  std::weak_ptr<KivoCamera> camera;
  {
    Runner runner({}, out);
    for (const char* line : {"create", "attach", "appear", "call capturePhoto"}) runner.run(line);
    camera = runner.camera();
    const auto printed = out.str().size();
    runner.finish();
    EXPECT_EQ(out.str().size(), printed) << "the capture in flight finishes silently during the drain";
    EXPECT_THROW(runner.run("print camera.zoomScale"), std::logic_error);
  }
  EXPECT_TRUE(camera.expired());
}

TEST(KivocamRun, DeliveredPhotosAreWrittenAsNumberedJpegFilesAndAFailedWriteEndsTheRun) {
  const auto directory = std::filesystem::temp_directory_path() /
                         ("kivocam-photos-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  RunnerOptions options;
  options.photosDirectory = directory;
  const std::string shots = "create\nattach\nappear\ncall capturePhoto\nadvance 0.5\n";
  auto run = runText(shots + "fail photo no-data\ncall capturePhoto\nadvance 0.5\ncall capturePhoto\nadvance 0.5\n",
                     options);
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_THAT(run.trace, HasSubstr("delegate camera:didCapturePhoto: nil @main")) << "and writes nothing";
  for (const char* name : {"photo-1.jpg", "photo-2.jpg"}) {
    std::ifstream file(directory / name, std::ios::binary);
    unsigned char magic[3] = {};
    file.read(reinterpret_cast<char*>(magic), 3);
    EXPECT_THAT(magic, ElementsAre(0xFF, 0xD8, 0xFF)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(directory / "photo-3.jpg"));
  std::filesystem::remove_all(directory);

  // A photo that cannot be written ends the run (after the trace up to it),
  // with the system's reason.
  options.photosDirectory = std::filesystem::path("/nonexistent-kivocam-dir/photos");
  std::ostringstream out;
  try {
    runScenario(shots + "print camera.zoomScale\n", options, out);
    ADD_FAILURE() << "the run went on without its photo";
  } catch (const RunFailure& failure) {
    EXPECT_THAT(failure.what(), HasSubstr("cannot write the photo /nonexistent-kivocam-dir/photos/photo-1.jpg: "
                                          "No such file or directory"));
  }
  EXPECT_THAT(out.str(), HasSubstr("delegate camera:didCapturePhoto:"));
  EXPECT_THAT(out.str(), Not(HasSubstr("print camera.zoomScale")));
}

TEST(KivocamRun, ACommentAfterACommandIsLeftOutOfTheEchoAndAByteOrderMarkIsSkipped) {
  const auto run = runText("\xEF\xBB\xBF" "create   # the host makes it\nprint camera.zoomScale #zoom\n#print x\n");
  ASSERT_EQ(run.result.status, 0) << run.result.message;
  EXPECT_EQ(run.trace, "> create\n> print camera.zoomScale\ncamera.zoomScale = 1\n");
}

// Records what was in the output each time it was flushed.
class FlushRecorder : public std::stringbuf {
 public:
  std::vector<std::string> flushed;

 protected:
  int sync() override {
    flushed.push_back(str());
    return 0;
  }
};

TEST(KivocamRun, TheTraceIsFlushedAtEachLine) {
  FlushRecorder buffer;
  std::ostream out(&buffer);
  const auto result = runScenario("create\nprint camera.zoomScale\n", {}, out);
  ASSERT_EQ(result.status, 0) << result.message;
  for (const char* upTo : {"> create\n", "> create\n> print camera.zoomScale\n",
                           "> create\n> print camera.zoomScale\ncamera.zoomScale = 1\n"})
    EXPECT_THAT(buffer.flushed, ::testing::Contains(std::string(upTo))) << "not flushed after: " << upTo;
}

// An output that takes `room` characters, then fails like a full disk.
class FullOutput : public std::streambuf {
 public:
  explicit FullOutput(std::size_t room) : room_(room) {}

 protected:
  int_type overflow(int_type c) override {
    if (room_ == 0) return traits_type::eof();
    --room_;
    return traits_type::not_eof(c);
  }

 private:
  std::size_t room_;
};

TEST(KivocamRun, AnOutputThatCannotBeWrittenEndsTheRunAndIsNoWrongLine) {
  // Full at once, full in the middle of the trace, full just as a wrong
  // line is echoed.
  for (const auto& [room, text] : std::vector<std::pair<std::size_t, std::string>>{
           {0, "create\n"}, {12, "create\nprint camera.zoomScale\nprint camera.zoomScale\n"}, {10, "create\nfrob\n"}}) {
    FullOutput buffer(room);
    std::ostream out(&buffer);
    try {
      const auto result = runScenario(text, {}, out);
      ADD_FAILURE() << "room " << room << ": the run ended with status " << result.status;
    } catch (const RunFailure& failure) {
      EXPECT_STREQ(failure.what(), "cannot write the trace") << "room " << room;
    }
  }
  // A stream without a buffer is no failing output: it discards the trace.
  std::ostream discard(nullptr);
  EXPECT_EQ(runScenario("create\nprint camera.zoomScale\n", {}, discard).status, 0);
}

// Out of memory while a line runs is the machine's failure, never a wrong
// line; any other exception out of the queued work is the line's.
TEST(KivocamRun, OutOfMemoryDuringALineIsNotAWrongLine) {
  std::ostringstream out;
  Runner runner({}, out);
  runner.run("create");
  DispatchQueue::main().async([] { throw std::bad_alloc(); });
  EXPECT_THROW(runner.run("print camera.zoomScale"), std::bad_alloc);
  DispatchQueue::main().async([] { throw std::runtime_error("refused"); });
  EXPECT_THROW(runner.run("print camera.zoomScale"), ScenarioError);
}

// The scenario in the README's "Writing a scenario" runs as printed.
TEST(KivocamRun, TheReadmeScenarioRunsAsPrinted) {
  const char* root = std::getenv("KIVO_TEST_SOURCE_DIR");
  if (!root) GTEST_SKIP() << "KIVO_TEST_SOURCE_DIR is not set (ctest sets it)";
  std::ifstream file(std::filesystem::path(root) / "README.md");
  const std::string readme((std::istreambuf_iterator<char>(file)), {});
  const auto start = readme.find("\n## Writing a scenario\n");
  ASSERT_NE(start, std::string::npos);
  const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
  std::istringstream lines(section);
  std::vector<std::string> scenarios;
  bool inBlock = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("```")) {
      if (!inBlock) scenarios.emplace_back();
      inBlock = !inBlock;
    } else if (inBlock) {
      scenarios.back() += line + "\n";
    }
  }
  EXPECT_FALSE(inBlock) << "an unclosed block";
  for (const auto& scenario : scenarios) {
    const auto run = runText(scenario);
    EXPECT_EQ(run.result.status, 0) << "line " << run.result.line << ": " << run.result.message << "\n" << scenario;
    EXPECT_THAT(run.trace, HasSubstr("\ndelegate camera:didCapturePhoto: ")) << scenario;
  }
  EXPECT_FALSE(scenarios.empty()) << "no scenario block in the README's \"Writing a scenario\"";
}

TEST(KivocamRun, TheVirtualClockStopsShortOfLosingPrecision) {
  RunnerOptions options;
  options.maxAdvanceSeconds = std::numeric_limits<double>::infinity();
  auto run = runText("advance 999990000\nadvance 9000\nadvance 1001\n", options);
  EXPECT_EQ(run.result.line, 3);
  EXPECT_THAT(run.result.message, HasSubstr("the virtual clock cannot pass"));
}

// --- Wrong lines ----------------------------------------------------------------------

struct WrongLine {
  const char* before;   // lines that run first
  const char* line;     // the wrong one
  const char* message;  // the message, or its start
};

void PrintTo(const WrongLine& wrong, std::ostream* os) { *os << '"' << wrong.line << '"'; }

class KivocamWrongLine : public ::testing::TestWithParam<WrongLine> {};

TEST_P(KivocamWrongLine, StopsWithAMessageNamingTheProblem) {
  const auto& wrong = GetParam();
  const std::string before = wrong.before;
  const auto run = runText(before + wrong.line + "\nprint camera.zoomScale\n");
  EXPECT_EQ(run.result.line, std::count(before.begin(), before.end(), '\n') + 1);
  EXPECT_THAT(run.result.message, ::testing::StartsWith(wrong.message));
  EXPECT_THAT(run.trace, Not(HasSubstr("camera.zoomScale =")));
}

const char* const kShown = "create\nattach\nappear\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, KivocamWrongLine,
    ::testing::Values(
        WrongLine{"", "world", "expected \"world SETTING VALUE\""},
        WrongLine{"", "world gravity 9.8", "unknown world setting \"gravity\""},
        WrongLine{"", "world camera side wide", "world camera: position: expected back or front"},
        WrongLine{"", "world camera back wide +laser", "world camera: unknown option \"+laser\""},
        WrongLine{"", "world camera back wide fps=0.5", "world camera: fps: \"0.5\" is out of range: expected a "
                                                        "number from 1 to 1000"},
        WrongLine{"", "world camera back wide bias=3..-3", "world camera: bias: expected MIN..MAX with MIN <= MAX"},
        WrongLine{"world camera back wide\n", "world camera back wide", "world camera: camera 'back-wide' is already"},
        WrongLine{"", "world memory 70368744177664", "world memory: \"70368744177664\" is out of range: expected a "
                                                     "whole number from 0 to 70368744177663 or unavailable"},
        WrongLine{"create\n", "world permission denied", "world permission: can only be set before the controller"},
        WrongLine{"", "fail lock sometimes", "fail lock: count: expected a whole number from 0 to 1000000"},
        WrongLine{"", "fail photo smudged", "fail photo: expected processing-error, finish-error"},
        WrongLine{"", "delegate release now", "expected \"delegate release\""},
        WrongLine{"", "delegate camera:didFrobnicate:", "delegate: unknown selector \"camera:didFrobnicate:\""},
        WrongLine{"", "set zoomScale 2", "set: there is no controller (create one first)"},
        WrongLine{"create\n", "set flashMode 3", "set flashMode: \"3\" is out of range: expected 0 (off), 1 (on)"},
        WrongLine{"create\n", "create-at 1 2", "create-at: the host already holds a controller"},
        WrongLine{"", "create-at 300 0", "create-at: x: \"300\" is out of range: expected a number < 187.5 (the view"},
        WrongLine{"", "create-at -1e308 0", "create-at: x: \"-1e308\" is out of range: expected a number >= -4.49"},
        WrongLine{"", "create-at 150 -100", "create-at: y: \"-100\" is out of range: expected a number > -100 and < "
                                            "812 (the view, 75 x 100, must overlap the screen)"},
        WrongLine{"create\n", "move-view 0 0 10 0", "move-view: height: \"0\" is out of range: expected a number > 0"},
        WrongLine{"", "call warp 9", "unknown operation \"warp\""},
        WrongLine{"", "call startSession", "call startSession: there is no controller"},
        WrongLine{"create\n", "hide preview true", "hide preview: the controller has no preview view yet"},
        WrongLine{"", "tap 10 10", "tap: nothing receives a tap"},
        WrongLine{"", "pinch began -5", "pinch: factor: \"-5\" is out of range: expected a number >= 0"},
        WrongLine{"", "answer grant", "answer: there is no open permission request"},
        WrongLine{"", "notify runtime-error", "notify runtime-error: there is no capture session"},
        WrongLine{"", "notify runtime-error code=99999999999999999999",
                  "notify runtime-error: code: \"99999999999999999999\" is out of range: expected a whole number "
                  "from -9223372036854775808 to 9223372036854775807"},
        WrongLine{kShown, "notify runtime-error code=1 code=2", "expected \"notify runtime-error [code=N]"},
        WrongLine{kShown, "notify runtime-error domain=", "notify runtime-error: domain: expected a word"},
        WrongLine{"", "device back-tele iso 100", "device iso: no camera named \"back-tele\""},
        WrongLine{"", "device iso 3.4028236e38", "device iso: \"3.4028236e38\" is out of range: expected a number "
                                                 "from 0 to 3.4028235e+38"},
        WrongLine{"", "device adjusting-focus true", "device adjusting-focus: there is no current camera"},
        WrongLine{"", "advance 1e999", "advance: \"1e999\" is out of range: expected a number from 0 to "
                                       "1.7976931348623157e+308"},
        WrongLine{"", "advance 86400.5", "advance: at most 86400 s in one step"},
        WrongLine{"", "appear-end", "appear-end: the host screen is not shown"}));

}  // namespace
}  // namespace kivocam
