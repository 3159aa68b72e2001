#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need, when they are missing.
# As root it runs apt-get itself; otherwise it prints the commands to run as root and fails.
# The 32-bit build's JPEG decoder is the i386 libjpeg-turbo, so the i386 architecture is
# added to dpkg first.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libgmock-dev
          libbenchmark-dev libjpeg62-turbo-dev libjpeg62-turbo-dev:i386 libyuv-dev qemu-user)

need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ] || [ "$need_i386" -eq 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "run as root:" >&2
    [ "$need_i386" -eq 1 ] && echo "  dpkg --add-architecture i386" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  [ "$need_i386" -eq 1 ] && dpkg --add-architecture i386
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# The presets need CMake 3.25 or newer.
version=$(cmake --version | head -n1 | sed -E 's/^cmake version ([0-9]+)\.([0-9]+).*/\1 \2/')
read -r major minor <<<"$version"
if [ "$major" -lt 3 ] || { [ "$major" -eq 3 ] && [ "$minor" -lt 25 ]; }; then
  echo "CMake $major.$minor is too old: the presets need 3.25 or newer" >&2
  exit 1
fi
