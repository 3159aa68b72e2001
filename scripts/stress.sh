#!/usr/bin/env bash
# Runs the whole default test suite many times at once on a loaded machine and lists every
# test that failed even once. A test that depends on how fast the machine is shows up here
# long before it trips CI.
#
#   scripts/stress.sh [ROUNDS] [PARALLEL]
#
# ROUNDS rounds (default 20); each round starts PARALLEL copies of the suite side by side
# (default 2), each with as many test jobs as there are cores, while one busy loop per core
# competes for the processors. Exits 1 when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-20}
parallel=${2:-2}
cores=$(nproc)

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

out=$(mktemp -d "${TMPDIR:-/tmp}/vorn-stress.XXXXXX")
load_pids=()
stop_load() { for p in "${load_pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop_load EXIT
for _ in $(seq "$cores"); do
  ( while :; do :; done ) &
  load_pids+=($!)
done

echo "stress: $rounds rounds of $parallel suites, $cores jobs each, $cores busy loops; logs in $out"
for r in $(seq "$rounds"); do
  pids=()
  for p in $(seq "$parallel"); do
    ctest --test-dir build/default -j "$cores" --timeout 600 --output-on-failure \
      >"$out/round-$r-$p.log" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || true; done
  failed=$(grep -hE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*' "$out"/round-"$r"-*.log | wc -l || true)
  echo "round $r: $failed failed"
done
stop_load

# One line per test that failed, with how often, out of every run it had.
grep -hE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*' "$out"/round-*.log |
  sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*/\1 \2/' |
  sort | uniq -c | sort -rn >"$out/failures.txt" || true
if [ -s "$out/failures.txt" ]; then
  echo "stress: tests that failed (count, name, how), out of $((rounds * parallel)) runs each:"
  cat "$out/failures.txt"
  exit 1
fi
echo "stress: no test failed in $((rounds * parallel)) runs of the suite"
