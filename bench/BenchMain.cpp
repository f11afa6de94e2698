// The benchmark program's entry point. Results are reported under the
// benchmark's own name ("BM_CaptureRoundTrip", "BM_FrameCallback/responding")
// without the run-control suffixes Google Benchmark appends (iteration
// counts, real-time measurement, threads), so that a change of those
// settings does not break comparisons between runs.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

template <class Reporter>
class PlainNames : public Reporter {
 public:
  using Reporter::Reporter;

  void ReportRuns(const std::vector<benchmark::BenchmarkReporter::Run>& runs) override {
    std::vector<benchmark::BenchmarkReporter::Run> renamed = runs;
    for (auto& run : renamed) {
      run.run_name.min_time.clear();
      run.run_name.iterations.clear();
      run.run_name.repetitions.clear();
      run.run_name.time_type.clear();
      run.run_name.threads.clear();
    }
    Reporter::ReportRuns(renamed);
  }
};

bool hasOutputFile(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_out=", 16) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const bool toFile = hasOutputFile(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  PlainNames<benchmark::ConsoleReporter> console(benchmark::ConsoleReporter::OO_None);
  PlainNames<benchmark::JSONReporter> json;
  benchmark::RunSpecifiedBenchmarks(&console, toFile ? &json : nullptr);
  benchmark::Shutdown();
  return 0;
}
