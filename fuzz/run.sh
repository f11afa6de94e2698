#!/usr/bin/env bash
# Fuzzes kivocam's scenario file reader and runner for SECONDS (default 60):
#
#   fuzz/run.sh [SECONDS]
#
# Configures and builds the `fuzz` preset (clang, libFuzzer, ASan + UBSan) in
# build/fuzz, seeds a corpus from every scenario file in the tree
# (examples/*.kvs, tests/scenarios/**/*.kvs, tests/fuzz/*.kvs; none is fine),
# then runs kivo_scenario_fuzzer. New interesting inputs accumulate in
# build/fuzz/corpus; crashes, leaks, timeouts and out-of-memory inputs land in
# build/fuzz/artifacts (emptied at the start of each run).
#
# Exits non-zero on any finding or when the build fails. Reproduce a finding
# with `build/fuzz/fuzz/kivo_scenario_fuzzer ARTIFACT` or, outside the fuzz
# build, `kivocam run ARTIFACT`; keep a minimal copy in tests/fuzz/.
#
# Environment: KIVO_FUZZ_JOBS (build parallelism, default 2),
# KIVO_FUZZ_TIMEOUT (seconds one input may take, default 20),
# KIVO_FUZZ_RSS_MB (memory limit, default 2048).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: fuzz/run.sh [SECONDS]" >&2
  exit 2
fi
jobs=${KIVO_FUZZ_JOBS:-2}
timeout=${KIVO_FUZZ_TIMEOUT:-20}
rss_mb=${KIVO_FUZZ_RSS_MB:-2048}

build=build/fuzz
fuzzer=$build/fuzz/kivo_scenario_fuzzer
corpus=$build/corpus
seeds=$build/seeds
artifacts=$build/artifacts

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (install clang)" >&2; exit 2; }

echo "== fuzz: build"
build_start=$(date +%s)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$jobs"
echo "== fuzz: built in $(( $(date +%s) - build_start )) s"

# Seeds are copied afresh every run, so removed or edited scenario files do
# not linger; what the fuzzer discovers goes to the corpus and is kept.
rm -rf "$seeds" "$artifacts"
mkdir -p "$seeds" "$corpus" "$artifacts"
seed_count=0
while IFS= read -r -d '' file; do
  # Flatten the path into a unique name (tests/scenarios/a/b.kvs -> tests_scenarios_a_b.kvs).
  name=${file//\//_}
  cp -- "$file" "$seeds/$name"
  seed_count=$((seed_count + 1))
done < <(find examples tests/scenarios tests/fuzz -type f -name '*.kvs' -print0 2>/dev/null || true)
echo "== fuzz: $seed_count seed scenario(s), $(find "$corpus" -type f | wc -l) input(s) kept from earlier runs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

echo "== fuzz: $seconds s"
status=0
"$fuzzer" "$corpus" "$seeds" \
  -dict=fuzz/scenario.dict \
  -max_total_time="$seconds" \
  -timeout="$timeout" \
  -rss_limit_mb="$rss_mb" \
  -malloc_limit_mb="$rss_mb" \
  -max_len=8192 \
  -report_slow_units=5 \
  -print_final_stats=1 \
  -artifact_prefix="$artifacts/" || status=$?

# libFuzzer stops at the first finding with a non-zero status; the artifact
# check also catches a finding whose status got lost.
findings=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
slow=$(find "$artifacts" -type f -name 'slow-unit-*' | sort)
if [ -n "$slow" ]; then
  echo "== fuzz: inputs slower than 5 s (not failures):"
  printf '   %s\n' $slow
fi
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
  echo "== fuzz: FINDING (libFuzzer status $status)" >&2
  [ -n "$findings" ] && printf '   %s\n' $findings >&2
  echo "   reproduce: $fuzzer ARTIFACT" >&2
  exit 1
fi
echo "== fuzz: no finding in $seconds s; corpus: $(find "$corpus" -type f | wc -l) input(s)"
