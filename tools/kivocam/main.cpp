// kivocam: runs one scenario file against the camera component on the
// simulated platform and prints its trace.
//
//   kivocam run FILE [--photos DIR] [--realtime]
//   kivocam --help
//
// Exit status: 0 when every line ran, 1 for a wrong line (after the trace up
// to it, `FILE:LINE: message` on standard error), 2 for a bad command line or
// an unreadable file.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Runner.h"

namespace {

constexpr std::string_view kUsage = "usage: kivocam run FILE [--photos DIR] [--realtime]\n       kivocam --help\n";

int usage(std::string_view problem) {
  std::cerr << "kivocam: " << problem << '\n' << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kivocam::helpText();
    return 0;
  }
  if (args.empty()) return usage("no command");
  if (args[0] != "run") return usage("unknown command \"" + std::string(args[0]) + "\"");

  std::optional<std::string> file;
  kivocam::RunnerOptions options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--photos") {
      if (i + 1 == args.size()) return usage("--photos needs a directory");
      options.photosDirectory = std::filesystem::path(args[++i]);
    } else if (args[i] == "--realtime") {
      options.realtime = true;
    } else if (args[i].starts_with("-") && args[i] != "-") {
      return usage("unknown option \"" + std::string(args[i]) + "\"");
    } else if (!file) {
      file = std::string(args[i]);
    } else {
      return usage("more than one scenario file");
    }
  }
  if (!file) return usage("no scenario file");

  std::error_code fileError;
  std::ifstream in;
  if (!std::filesystem::is_directory(*file, fileError)) in.open(*file, std::ios::binary);
  const std::string text = in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
  if (!in.is_open() || in.bad()) {
    std::cerr << "kivocam: cannot read " << *file << '\n' << kUsage;
    return 2;
  }
  if (options.photosDirectory) {
    std::error_code error;
    std::filesystem::create_directories(*options.photosDirectory, error);
    if (error) {
      std::cerr << "kivocam: cannot create " << options.photosDirectory->string() << ": " << error.message() << '\n'
                << kUsage;
      return 2;
    }
  }

  const auto result = kivocam::runScenario(text, options, std::cout);
  std::cout.flush();
  if (result.status != 0) {
    std::cerr << *file << ':' << result.line << ": " << result.message << '\n';
    return 1;
  }
  return 0;
}
