// `kivocam live` in a real X window: the built kivocam runs on a private
// Xvfb display that each test starts and stops. Where Xvfb is not installed
// the tests that need it are skipped, saying so.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UIKit/UIImage.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Everything the tests wait for happens within a second or two; sanitizer
// builds are several times slower.
constexpr auto kTimeout = std::chrono::seconds(60);

std::string readText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::string> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (const auto candidate = fs::path(dir) / name; ::access(candidate.c_str(), X_OK) == 0) return candidate;
  return std::nullopt;
}

// A child process with its standard output and error in files (or thrown
// away), in the environment given.
pid_t spawn(const std::vector<std::string>& args, const std::map<std::string, std::optional<std::string>>& changes,
            const fs::path& out, const fs::path& err) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value)
      variables[name] = *value;
    else
      variables.erase(name);
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> copies = args;
  for (auto& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

// The child's exit status, or -1 when it did not end in time (it is then
// killed) or died of a signal.
int waitFor(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Outcome {
  int status = -1;
  std::string trace;
  std::string errors;
};

class LiveWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kivo-live-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const auto xvfb = findProgram("Xvfb");
    if (!xvfb) GTEST_SKIP() << "Xvfb is not installed: the window tests need it (apt-get install xvfb)";
    // Xvfb picks a free display and writes its number to the pipe.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    xvfb_ = spawn({*xvfb, "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                  {}, "/dev/null", dir_ / "xvfb.log");  // the pipe's end is inherited
    ::close(fds[1]);
    ASSERT_GT(xvfb_, 0);
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, static_cast<int>(kTimeout / std::chrono::milliseconds(1))) > 0 && ::read(fds[0], &c, 1) == 1 &&
           c != '\n')
      number += c;
    ::close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << readText(dir_ / "xvfb.log");
    display_ = ":" + number;
  }

  void TearDown() override {
    if (xvfb_ > 0) {
      ::kill(xvfb_, SIGTERM);
      ::waitpid(xvfb_, nullptr, 0);
    }
    if (!HasFailure()) fs::remove_all(dir_);
  }

  static std::string kivocam() { return KIVO_KIVOCAM; }

  // `kivocam live ARGS` with DISPLAY set to the test's display, until it ends.
  Outcome live(const std::vector<std::string>& args, const std::string& script = {}) {
    return waitForRun(start(args, script));
  }

  pid_t start(std::vector<std::string> args, const std::string& script) {
    if (!script.empty()) {
      std::ofstream(dir_ / "script.kvs") << script;
      args.insert(args.begin(), {"--script", (dir_ / "script.kvs").string()});
    }
    args.insert(args.begin(), {kivocam(), "live"});
    return spawn(args, {{"DISPLAY", display_}}, dir_ / "trace.txt", dir_ / "errors.txt");
  }

  Outcome waitForRun(pid_t pid) {
    Outcome run;
    if (pid > 0) run.status = waitFor(pid);
    run.trace = readText(dir_ / "trace.txt");
    run.errors = readText(dir_ / "errors.txt");
    return run;
  }

  fs::path dir_;
  pid_t xvfb_ = -1;
  std::string display_;
};

// The lines of `text` that `expected` are, in that order.
::testing::AssertionResult hasInOrder(const std::string& text, const std::vector<std::string>& expected) {
  std::size_t at = 0;
  for (const auto& line : expected) {
    at = text.find("\n" + line + "\n", at);
    if (at == std::string::npos) return ::testing::AssertionFailure() << "no \"" << line << "\" in order in:\n" << text;
    at += line.size() + 1;
  }
  return ::testing::AssertionSuccess();
}

// Once the focus animation after appearing is over nothing moves: the
// window's pixels, read back from the display, are the snapshot's.
TEST_F(LiveWindowTest, ScreenshotShowsWhatTheSnapshotShows) {
  const Outcome run = live({"--snapshots", dir_.string(), "--screenshot", (dir_ / "screenshot.png").string()},
                       "advance 2\nsnapshot still\n");
  ASSERT_EQ(run.status, 0) << run.errors;
  const auto snapshot = UIImage::imageWithContentsOfFile(dir_ / "still.png");
  const auto screenshot = UIImage::imageWithContentsOfFile(dir_ / "screenshot.png");
  ASSERT_TRUE(snapshot && screenshot);
  ASSERT_EQ(screenshot->pixelWidth(), snapshot->pixelWidth());
  ASSERT_EQ(screenshot->pixelHeight(), snapshot->pixelHeight());
  const auto& a = screenshot->rgbaPixels();
  const auto& b = snapshot->rgbaPixels();
  int largest = 0;
  for (std::size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(int{a[i]} - int{b[i]}));
  EXPECT_LE(largest, 2) << "the largest difference of a channel";
}

TEST_F(LiveWindowTest, ScriptedPhotoIsWritten) {
  const Outcome run = live({"--photos", (dir_ / "photos").string(), "--screenshot", (dir_ / "s.png").string()},
                       "call capturePhoto\nadvance 1\n");
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(readText(dir_ / "photos" / "photo-1.jpg").substr(0, 3), "\xFF\xD8\xFF");
}

// The run after the script's last line: the host releases the controller,
// which goes, in the trace, and kivocam ends well.
TEST_F(LiveWindowTest, QuitReleasesTheController) {
  const Outcome run = live({"--screenshot", (dir_ / "s.png").string()}, "advance 0.2\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_TRUE(hasInOrder(run.trace, {"> appear", "> advance 0.2", "> release", "dealloc KivoCamera"}));
  EXPECT_EQ(run.errors, "");
}

// A wrong script line: the trace up to it, FILE:LINE on standard error.
TEST_F(LiveWindowTest, WrongScriptLineEndsTheRun) {
  const Outcome run = live({}, "advance 0.1\njump 3\nadvance 0.2\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.errors, HasSubstr("script.kvs:2: unknown command \"jump\""));
  EXPECT_TRUE(hasInOrder(run.trace, {"> advance 0.1", "> jump 3"}));
  EXPECT_THAT(run.trace, Not(HasSubstr("> advance 0.2")));
}

// The user's input, sent to the window as the server would deliver it,
// becomes the lines a scenario would say for it; Q quits.
// The mapped top-level window named "kivocam" on `display`, or 0.
Window findKivocamWindow(Display* display) {
  Window root = 0, parent = 0, *children = nullptr, found = 0;
  unsigned count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  for (unsigned i = 0; i < count && !found; ++i) {
    XWindowAttributes attributes;
    char* name = nullptr;
    if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
        XFetchName(display, children[i], &name) && name && std::string(name) == "kivocam")
      found = children[i];
    if (name) XFree(name);
  }
  if (children) XFree(children);
  return found;
}

TEST_F(LiveWindowTest, InputBecomesLines) {
  const pid_t pid = start({}, {});
  ASSERT_GT(pid, 0);
  Display* display = nullptr;
  Window window = 0;
  for (auto deadline = std::chrono::steady_clock::now() + kTimeout;
       !window && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    if (!display) display = XOpenDisplay(display_.c_str());
    if (display) window = findKivocamWindow(display);
  }
  ASSERT_TRUE(window) << "the window did not show";

  const auto button = [&](unsigned number, int x, int y) {
    XEvent event{};
    event.xbutton = {ButtonPress, 0, True, display, window, DefaultRootWindow(display), 0, CurrentTime,
                     x, y, x, y, 0, number, True};
    XSendEvent(display, window, False, ButtonPressMask, &event);
  };
  const auto key = [&](KeySym symbol) {
    XEvent event{};
    event.xkey = {KeyPress, 0, True, display, window, DefaultRootWindow(display), 0, CurrentTime,
                  0, 0, 0, 0, 0, XKeysymToKeycode(display, symbol), True};
    XSendEvent(display, window, False, KeyPressMask, &event);
  };
  // Each gesture's lines come in order; the quit ends the pinch if the
  // wheel has not rested yet.
  const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> cases = {
      {[&] { button(Button1, 100, 300); }, {"> tap 100 300"}},
      {[&] {
         button(Button4, 187, 400);
         button(Button4, 187, 400);
         button(Button5, 180, 410);
       },
       {"> pinch began 1 187 400", "> pinch changed 1.1 187 400", "> pinch changed 1.21 187 400",
        "> pinch changed 1.1 180 410", "> pinch ended 1.1 180 410"}},
      {[&] {
         for (const KeySym symbol : {XK_space, XK_t, XK_t, XK_f, XK_c}) key(symbol);
       },
       {"> call capturePhoto", "> call toggleTorch true", "> call toggleTorch false", "> call toggleFlash 1",
        "> call toggleCameraPosition true"}},
  };
  for (const auto& [send, lines] : cases) send();
  key(XK_q);
  XFlush(display);
  const Outcome run = waitForRun(pid);
  XCloseDisplay(display);
  EXPECT_EQ(run.status, 0) << run.errors;
  for (auto [send, lines] : cases) {
    lines.insert(lines.end(), {"> release", "dealloc KivoCamera"});
    EXPECT_TRUE(hasInOrder(run.trace, lines));
  }
}

// Without a display there is nothing to show: a message, exit status 2.
TEST(LiveWithoutDisplay, SaysSoAndEnds) {
  const fs::path dir = fs::temp_directory_path() / ("kivo-live-nodisplay-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {std::nullopt, "DISPLAY is not set"},
      {":7999", "cannot open the display \":7999\""},
  };
  for (const auto& [value, message] : cases) {
    SCOPED_TRACE(value.value_or("unset"));
    const pid_t pid = spawn({KIVO_KIVOCAM, "live"}, {{"DISPLAY", value}}, dir / "out.txt", dir / "err.txt");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitFor(pid), 2);
    EXPECT_THAT(readText(dir / "err.txt"), HasSubstr(message));
    EXPECT_EQ(readText(dir / "out.txt"), "");
  }
  fs::remove_all(dir);
}

}  // namespace
