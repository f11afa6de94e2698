// libFuzzer target: each input is the content of a scenario file. It goes
// the way kivocam takes a file: written to a file (a regular one in memory,
// or a pipe, whose size is not known beforehand), read back by the reader
// kivocam uses, then run through the same runner, on the deterministic
// scheduler.
//
// A wrong line is an ordinary outcome (status 1); what counts as a finding is
// a crash, an abort (a failed assertion or fatal error in the component, the
// platform layer or the simulator), a sanitizer report, a leak, an input
// that never finishes, or a file read back other than it was written.
//
// The reader's size limit is 16 MiB, far beyond the inputs; so that its
// edge is exercised, one input in eight is read with a limit of one byte
// less than its size (it must be refused) and one in eight with a limit of
// exactly its size (it must be read whole).
//
// Work is bounded through the runner's options: no single `advance` may
// exceed kMaxAdvanceSeconds of virtual time, and a run's budget of frames
// and sensor updates is far below kivocam's; the trace is neither kept nor
// printed.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "Runner.h"
#include "ScenarioFile.h"

namespace {

// The longest `advance` one line may ask for, in virtual seconds. Long enough
// for every timed behaviour of the simulated world (a capture takes 0.3 s, a
// focus adjustment 0.3 s, the end of a run drains 15 s), short enough that a
// camera at its highest frame rate stays cheap.
constexpr double kMaxAdvanceSeconds = 5;

// The work one input may ask for in all: four advances at the highest frame
// rate, and well over an hour of the sensor's updates.
constexpr std::uint64_t kMaxVideoFrames = 20'000;
constexpr std::uint64_t kMaxAccelerometerUpdates = 50'000;

// Swallows the trace: formatting it is still exercised, printing it is not.
class DiscardingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char_type*, std::streamsize count) override { return count; }
};

// Holds a file descriptor and closes it.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  explicit Descriptor(int f) : fd(f) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// A hash of the input, to choose how it is read without taking bytes from it.
std::uint64_t hashOf(std::string_view bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

// The input as a file: the name of a descriptor of this process in /proc,
// which kivocam's reader opens like any path.
std::string pathOf(const Descriptor& file) { return "/proc/self/fd/" + std::to_string(file.fd); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static DiscardingBuffer buffer;
  static std::ostream discard(&buffer);

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::uint64_t hash = hashOf(input);
  std::size_t limit = kivocam::kMaxScenarioBytes;
  if (hash % 8 == 0 && size > 0) limit = size - 1;
  if (hash % 8 == 1) limit = size;

  // A pipe holds 64 KiB before a write would wait for a reader.
  const bool pipe = (hash / 8) % 2 == 0 && size <= 65536;
  std::string text;
  std::optional<std::string> problem;
  if (pipe) {
    int ends[2];
    if (::pipe(ends) != 0) __builtin_trap();
    Descriptor readEnd(ends[0]), writeEnd(ends[1]);
    if (!writeAll(writeEnd.fd, data, size)) __builtin_trap();
    writeEnd.close();
    problem = kivocam::readScenarioFile(pathOf(readEnd), text, limit);
  } else {
    const Descriptor file(::memfd_create("scenario.kvs", MFD_CLOEXEC));
    if (file.fd < 0 || !writeAll(file.fd, data, size)) __builtin_trap();
    problem = kivocam::readScenarioFile(pathOf(file), text, limit);
  }
  // Read whole exactly when it fits the limit, else refused for its size.
  if (size <= limit && (problem || text != input)) __builtin_trap();
  if (size > limit && (!problem || !problem->starts_with("larger than "))) __builtin_trap();
  if (problem) return 0;

  kivocam::RunnerOptions options;
  options.realtime = false;
  options.photosDirectory.reset();
  options.maxAdvanceSeconds = kMaxAdvanceSeconds;
  options.maxVideoFrames = kMaxVideoFrames;
  options.maxAccelerometerUpdates = kMaxAccelerometerUpdates;
  options.recordTrace = false;

  const auto result = kivocam::runScenario(text, options, discard);
  // 0: every line ran; 1: a line was wrong. Anything else is a runner bug.
  if (result.status != 0 && result.status != 1) __builtin_trap();
  if (result.status == 1 && result.line < 1) __builtin_trap();
  return 0;
}
