// libFuzzer target: each input is the text of a scenario file, run through
// the same runner the kivocam tool uses, on the deterministic scheduler.
//
// A wrong line is an ordinary outcome (status 1); what counts as a finding is
// a crash, an abort (a failed assertion or fatal error in the component, the
// platform layer or the simulator), a sanitizer report, a leak or an input
// that never finishes.
//
// Time is bounded through the runner's options: no single `advance` may
// exceed kMaxAdvanceSeconds of virtual time, so an input cannot ask for
// hours of frames in one line; the trace is neither kept nor printed.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "Runner.h"

namespace {

// The longest `advance` one line may ask for, in virtual seconds. Long enough
// for every timed behaviour of the simulated world (a capture takes 0.3 s, a
// focus adjustment 0.3 s, the end of a run drains 15 s), short enough that a
// camera at its highest frame rate stays cheap.
constexpr double kMaxAdvanceSeconds = 5;

// Swallows the trace: formatting it is still exercised, printing it is not.
class DiscardingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char_type*, std::streamsize count) override { return count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static DiscardingBuffer buffer;
  static std::ostream discard(&buffer);

  kivocam::RunnerOptions options;
  options.realtime = false;
  options.photosDirectory.reset();
  options.maxAdvanceSeconds = kMaxAdvanceSeconds;
  options.recordTrace = false;

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = kivocam::runScenario(text, options, discard);
  // 0: every line ran; 1: a line was wrong. Anything else is a runner bug.
  if (result.status != 0 && result.status != 1) __builtin_trap();
  if (result.status == 1 && result.line < 1) __builtin_trap();
  return 0;
}
