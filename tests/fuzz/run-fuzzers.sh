#!/usr/bin/env bash
# Runs every fuzz harness of the linux-fuzz build for a while each, starting from its checked-in
# corpus. New inputs go to a scratch folder, so the corpus stays as checked in; an input that
# breaks a rule or trips a sanitizer is kept under build/linux-fuzz/findings/ and fails the run.
#
#   MAVOZARP_FUZZ_SECONDS   seconds per harness (default 30)
#   MAVOZARP_FUZZ_MERGE=1   afterwards, fold the inputs that found new coverage into the corpus
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${MAVOZARP_FUZZ_SECONDS:-30}
build=build/linux-fuzz/tests/fuzz
findings=build/linux-fuzz/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for harness in simulated_head serial_line adapter_heads modbus_frame; do
  corpus=tests/fuzz/corpus/$harness
  mkdir -p "$corpus" "$scratch/$harness"
  echo "== fuzz: $harness for ${seconds}s"
  "$build/${harness}_fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/$harness-" \
    "$scratch/$harness" "$corpus" 2>"$scratch/$harness.log" ||
    { tail -n 60 "$scratch/$harness.log"; echo "== fuzz: $harness broke a rule"; exit 1; }
  grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$scratch/$harness.log"
  if [ "${MAVOZARP_FUZZ_MERGE:-0}" = 1 ]; then
    "$build/${harness}_fuzzer" -merge=1 "$corpus" "$scratch/$harness" 2>/dev/null
  fi
done
echo "== fuzz: every harness ran without a finding"
