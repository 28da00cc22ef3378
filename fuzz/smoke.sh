#!/usr/bin/env bash
# Runs every fuzz target for a while, two at a time (one per core), on a
# scratch copy of its corpus; fails if any finds a crash or a broken
# expectation, and prints where the input that did it was kept.
#
#   fuzz/smoke.sh [BUILD_DIR] [SECONDS]     (defaults: build/fuzz 30)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/fuzz}
seconds=${2:-30}
work=$(mktemp -d /tmp/msglogic-fuzz.XXXXXX)
targets=(friend_list value_list user_list text_record event_record user_info ini room_pack codec stateful)
# The XMPP engine's target, built where libstrophe is installed.
if [ -x "$build/bin/fuzz_xmpp_stanza" ]; then targets+=(xmpp_stanza); fi

run() {
  local t=$1
  mkdir -p "$work/$t"
  "$build/bin/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$work/$t-" "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1
  local rc=$?
  local runs cov
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/$t.log" | grep -o '[0-9]*$')
  cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$t.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
  if [ $rc -eq 0 ]; then
    echo "fuzz_$t: ok, ${runs:-?} runs in ${seconds} s, ${cov:-cov: ?}"
  else
    echo "fuzz_$t: FAILED (exit $rc); the input is kept as:"
    ls "$work/$t-"* 2>/dev/null
    tail -40 "$work/$t.log"
  fi
  return $rc
}

failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  run "${targets[i]}" & a=$!
  if [ $((i + 1)) -lt ${#targets[@]} ]; then run "${targets[i + 1]}" & b=$!; else b=; fi
  wait $a || failed=1
  if [ -n "$b" ]; then wait $b || failed=1; fi
done
if [ $failed -ne 0 ]; then
  echo "fuzz smoke runs: failures above (logs and inputs in $work)"
  exit 1
fi
rm -rf "$work"
echo "fuzz smoke runs: ${#targets[@]} passed, 0 failed"
