#!/usr/bin/env bash
# Builds a preset (default unless named) and runs every test of it.
# `scripts/test.sh stress [ROUNDS] [PARALLEL]` runs the default suite many times under load.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
if [ "$preset" = stress ]; then
  shift
  exec scripts/stress.sh "$@"
fi
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
