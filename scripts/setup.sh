#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need, when they are missing.
# As root it runs apt-get itself; otherwise it prints the one command to run and fails.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libgmock-dev
          libbenchmark-dev libjpeg62-turbo-dev libpng-dev libyuv-dev qemu-user)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}" >&2
  echo "run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
