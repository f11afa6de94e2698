// kivocam: runs one scenario file against the camera component on the
// simulated platform and prints its trace.
//
//   kivocam run FILE [--photos DIR] [--snapshots DIR] [--realtime] [--camera NAME]
//   kivocam live [--camera NAME] [--photos DIR] [--snapshots DIR] [--script FILE] [--screenshot PATH]
//   kivocam cameras
//   kivocam --help
//
// Exit status: 0 when every line ran, 1 for a wrong line (one that would
// take the run past its budget of simulated work included; after the trace
// up to it, `FILE:LINE: message` on standard error), 2 for a bad command line or
// a file that cannot be read, 3 when the run cannot go on for a reason
// outside the scenario (out of memory, the trace or a photo cannot be
// written, an internal error), with `kivocam: REASON` on standard error.
// `live` says so on standard error and ends with status 2 without a display.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "Live.h"
#include "LiveWindow.h"
#include "RealCameras.h"
#include "Runner.h"
#include "Scenario.h"
#include "ScenarioFile.h"

namespace {

constexpr std::string_view kUsage =
    "usage: kivocam run FILE [--photos DIR] [--snapshots DIR] [--realtime] [--camera NAME]\n"
    "       kivocam live [--camera NAME] [--photos DIR] [--snapshots DIR] [--script FILE] [--screenshot PATH]\n"
    "       kivocam cameras\n"
    "       kivocam --help\n";

int usage(std::string_view problem) {
  std::cerr << "kivocam: " << kivocam::escapeControls(problem) << '\n' << kUsage;
  return 2;
}

// Exit status 3: the run cannot go on.
int failure(std::string_view reason) {
  std::cerr << "kivocam: " << kivocam::escapeControls(reason) << '\n';
  return 3;
}

std::string reasonOf(int error) { return std::strerror(error); }

// Standard output, written with write(2) so that a failed write keeps its
// reason (the stream only knows that it failed).
class StandardOutput : public std::streambuf {
 public:
  StandardOutput() { setp(buffer_, buffer_ + sizeof buffer_); }
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;
  /// The errno of the first failed write, or 0.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override {
    if (error_ != 0) return -1;
    const char* data = pbase();
    auto size = static_cast<std::size_t>(pptr() - pbase());
    while (size > 0) {
      const ssize_t written = ::write(STDOUT_FILENO, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : EIO;
        return -1;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return 0;
  }

 private:
  char buffer_[1 << 16];
  int error_ = 0;
};

// Creates an output directory and checks that files can be written there.
std::optional<std::string> prepareDirectory(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return "cannot create " + directory.string() + ": " + error.message();
  if (!std::filesystem::is_directory(directory, error))
    return "cannot use " + directory.string() + ": " + reasonOf(ENOTDIR);
  if (::access(directory.c_str(), W_OK | X_OK) != 0)
    return "cannot write in " + directory.string() + ": " + reasonOf(errno);
  return std::nullopt;
}

int runKivocam(const std::vector<std::string_view>& args) {
  StandardOutput standardOutput;
  std::ostream out(&standardOutput);
  const auto writeFailure = [&](std::string_view what) {
    return failure("cannot write the " + std::string(what) +
                   (standardOutput.error() != 0 ? ": " + reasonOf(standardOutput.error()) : std::string()));
  };

  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    if (args.size() > 1) return usage(std::string(args[0]) + " takes no arguments, not " + kivocam::quote(args[1]));
    out << kivocam::helpText();
    if (!out.flush()) return writeFailure("help");
    return 0;
  }
  if (args.empty()) return usage("no command");
  if (args[0] == "cameras") {
    if (args.size() > 1) return usage("cameras takes no arguments, not " + kivocam::quote(args[1]));
    std::vector<std::string> cameras;
    try {
      cameras = kivocam::listCameras();
    } catch (const kivocam::CameraUnavailable& unavailable) {
      std::cerr << "kivocam: " << kivocam::escapeControls(unavailable.what()) << '\n';
      return 2;
    }
    for (const auto& line : cameras) out << kivocam::escapeControls(line) << '\n';
    if (!out.flush()) return writeFailure("list of cameras");
    return 0;
  }
  const bool live = args[0] == "live";
  if (args[0] != "run" && !live) return usage("unknown command " + kivocam::quote(args[0]));

  // run: the scenario file; live: the script.
  std::optional<std::string> file;
  std::optional<std::filesystem::path> screenshot;
  kivocam::RunnerOptions options;
  // The trace goes to standard output as it is made; nothing keeps it.
  options.recordTrace = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--photos") {
      if (i + 1 == args.size()) return usage("--photos needs a directory");
      options.photosDirectory = std::filesystem::path(args[++i]);
    } else if (args[i] == "--snapshots") {
      if (i + 1 == args.size()) return usage("--snapshots needs a directory");
      options.snapshotsDirectory = std::filesystem::path(args[++i]);
    } else if (args[i] == "--camera") {
      if (i + 1 == args.size()) return usage("--camera needs a camera's name (see kivocam cameras)");
      options.realCamera = std::string(args[++i]);
    } else if (args[i] == "--realtime" && !live) {
      options.realtime = true;
    } else if (args[i] == "--script" && live) {
      if (i + 1 == args.size()) return usage("--script needs a scenario file");
      if (file) return usage("more than one --script");
      file = std::string(args[++i]);
    } else if (args[i] == "--screenshot" && live) {
      if (i + 1 == args.size()) return usage("--screenshot needs a file to write");
      if (screenshot) return usage("more than one --screenshot");
      screenshot = std::filesystem::path(args[++i]);
    } else if (args[i].starts_with("-") && args[i] != "-") {
      return usage("unknown option " + kivocam::quote(args[i]));
    } else if (live) {
      return usage("live takes its scenario with --script, not " + kivocam::quote(args[i]));
    } else if (!file) {
      file = std::string(args[i]);
    } else {
      return usage("more than one scenario file");
    }
  }
  if (!file && !live) return usage("no scenario file");

  std::string text;
  if (file) {
    if (const auto problem = kivocam::readScenarioFile(*file, text)) {
      std::cerr << "kivocam: cannot read " << kivocam::escapeControls(*file) << ": " << *problem << '\n';
      return 2;
    }
  }
  for (const auto& directory : {options.photosDirectory, options.snapshotsDirectory}) {
    if (!directory) continue;
    if (const auto problem = prepareDirectory(*directory)) {
      std::cerr << "kivocam: " << kivocam::escapeControls(*problem) << '\n';
      return 2;
    }
  }
  if (screenshot) {
    const auto directory = screenshot->has_parent_path() ? screenshot->parent_path() : std::filesystem::path(".");
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
      std::cerr << "kivocam: cannot write in " << kivocam::escapeControls(directory.string()) << ": "
                << reasonOf(errno) << '\n';
      return 2;
    }
  }
  // Snapshots go to the current directory unless told otherwise.
  if (!options.snapshotsDirectory) options.snapshotsDirectory = std::filesystem::path(".");

  // The window's display, before anything runs.
  std::unique_ptr<kivocam::LiveWindow> window;
  if (live) {
    try {
      window = std::make_unique<kivocam::LiveWindow>();
    } catch (const kivocam::DisplayUnavailable& unavailable) {
      std::cerr << "kivocam: " << kivocam::escapeControls(unavailable.what()) << '\n';
      return 2;
    }
  }

  kivocam::ScenarioResult result;
  try {
    if (live)
      result = kivocam::runLive(*window, {options, file.value_or(""), text, screenshot}, out, std::cerr);
    else
      result = kivocam::runScenario(text, options, out);
  } catch (const kivocam::CameraUnavailable& unavailable) {
    std::cerr << "kivocam: --camera " << kivocam::escapeControls(*options.realCamera) << ": "
              << kivocam::escapeControls(unavailable.what()) << '\n';
    return 2;
  } catch (const kivocam::RunFailure& stopped) {
    if (!out.flush()) return writeFailure("trace");
    return failure(stopped.what());
  }
  if (!out.flush()) return writeFailure("trace");
  if (result.status != 0) {
    std::cerr << kivocam::escapeControls(*file) << ':' << result.line << ": " << result.message << '\n';
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The libcamera device provider logs its own start-up at warning level;
  // the trace and the camera list stay clean unless the user asks for more.
  // Set before any thread starts (setenv is not thread-safe).
  ::setenv("LIBCAMERA_LOG_LEVELS", "*:ERROR", 0);
  try {
    return runKivocam(std::vector<std::string_view>(argv + 1, argv + argc));
  } catch (const std::bad_alloc&) {
    return failure("out of memory");
  } catch (const std::exception& error) {
    std::cerr << "kivocam: internal error: " << error.what() << '\n';
    return 3;
  } catch (...) {
    return failure("internal error");
  }
}
