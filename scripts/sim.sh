#!/usr/bin/env bash
# Builds the default preset and runs the main program with the arguments given.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vorn-sim
exec build/default/bin/vorn-sim "$@"
