#!/usr/bin/env bash
# Installs, with apt-get, every Debian package the build, the tests and the Windows cross-build
# need and that this machine lacks (with --run: only what the run command's build needs). Safe to
# run again: it installs nothing when all are there.
set -euo pipefail

# What a native build of the tool and its packer needs (scripts/run.sh); the full set adds the
# test, benchmark, fuzzing, Windows cross-build and Wine packages.
run_packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest nlohmann-json3-dev libtinyxml-dev
)
packages=(
  "${run_packages[@]}" make libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix
  wine wine64 xvfb xauth
  dpkg-dev
  imagemagick x11-utils xdotool
)
if [ "${1:-}" = "--run" ]; then packages=("${run_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
