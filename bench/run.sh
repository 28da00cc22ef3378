#!/usr/bin/env bash
# Builds the benchmarks (the `bench` preset), runs the suite with
# repetitions in random order, runs the idle-cost program, and prints the
# table of ratios against their targets (medians over the repetitions).
#
#   bench/run.sh [options]
#     --repetitions N   repetitions of every benchmark (default 5)
#     --min-time S      minimum time of each repetition in seconds (0.5)
#     --idle-seconds S  idle window of the idle-cost program (10)
#     --quick           one repetition, 0.01 s each, a 1 s idle window: proves
#                       that everything runs, measures nothing (CI)
#     --build-dir DIR   where to build (default build/bench, or $BENCH_BUILD_DIR)
#     --no-build        use what DIR holds
#     --out DIR         where the raw results go (default DIR/results)
#     --strict          exit 1 when a target is missed
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=5
min_time=0.5
idle_seconds=10
build_dir="${BENCH_BUILD_DIR:-build/bench}"
build=1
out=""
strict=""
while [ $# -gt 0 ]; do
  case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --min-time) min_time="$2"; shift 2 ;;
    --idle-seconds) idle_seconds="$2"; shift 2 ;;
    --quick) repetitions=1; min_time=0.01; idle_seconds=1; shift ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --out) out="$2"; shift 2 ;;
    --strict) strict="--strict"; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
out="${out:-$build_dir/results}"

if [ "$build" = 1 ]; then
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake --preset bench -B "$build_dir" >/dev/null
  fi
  cmake --build "$build_dir" --target msglogic_bench msglogic_idle_bench msglogic_bench_report
fi
bin="$build_dir/bin"
mkdir -p "$out"

echo "== suite: $repetitions repetition(s) of at least $min_time s each, in random order" >&2
"$bin/msglogic_bench" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_min_time="$min_time" \
  --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/suite.json" --benchmark_out_format=json >&2

echo "== idle cost: 100 agents for $idle_seconds s" >&2
"$bin/msglogic_idle_bench" --agents 100 --seconds "$idle_seconds" >"$out/idle.json"

echo >&2
if [ "$min_time" = 0.01 ] && [ "$repetitions" = 1 ]; then
  echo "(quick run: the figures below show that every program runs; they measure nothing)"
fi
"$bin/msglogic_bench_report" "$out/suite.json" "$out/idle.json" $strict

# --- the XMPP engine against a real Prosody (bench/xmpp_bench.cc), where
# libstrophe and prosody are installed ---
if grep -q '^MSGLOGIC_STROPHE_LIBRARY:FILEPATH=/' "$build_dir/CMakeCache.txt" 2>/dev/null &&
   command -v prosody >/dev/null 2>&1; then
  if [ "$build" = 1 ]; then cmake --build "$build_dir" --target msglogic_xmpp_bench; fi
  echo "== XMPP: round trips through two agents and Prosody, and 100 idle agents" >&2
  if [ "$min_time" = 0.01 ] && [ "$repetitions" = 1 ]; then
    "$bin/msglogic_xmpp_bench" --round-trips 200 --idle-seconds 1 >"$out/xmpp.json"
  else
    "$bin/msglogic_xmpp_bench" --idle-seconds "$idle_seconds" >"$out/xmpp.json"
  fi
fi
