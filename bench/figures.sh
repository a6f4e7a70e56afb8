#!/usr/bin/env bash
# Runs the benchmarks behind the table of docs/performance.md, one after
# the other, each preceded by the load average it ran at (the machine's
# other work moves wall times; the ratios and CPU shares move less).
#   bench/figures.sh [BUILD_DIR]      default: build
set -euo pipefail
build="${1:-build}"
run() {
  echo "== $* (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$@"
}
run "$build/bench/zq_bench_commands" --benchmark_filter='BM_FirmwareVersion'
run "$build/bench/zq_bench_tags"
run "$build/bench/zq_bench_recovery"
run "$build/bench/zq_bench_logging"
run python3 "$(dirname "$0")/memory.py" --build "$build"
echo "== end (load: $(cut -d' ' -f1-3 /proc/loadavg))"
