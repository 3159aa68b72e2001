#!/usr/bin/env bash
# The sweep's long form: every scenario run once per pool allocation of every tag and once
# per transfer with each transfer fault (stall, error, time-out, surprise removal), every N.
#   scripts/sweep.sh [PRESET] [-- vorn_sweep_all options: --stride N, --pool, --transfers, names]
# PRESET is default (or asan, tsan: the same runs under the sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  preset=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target vorn_sweep_all
exec "build/$preset/bin/vorn_sweep_all" "$@"
