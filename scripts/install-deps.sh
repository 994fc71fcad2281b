#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian packages).
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libxxhash-dev libcli11-dev libdivsufsort-dev)
[ "${QUORVEX_WITH_BENCH:-0}" = 1 ] && packages+=(libbenchmark-dev bzip2 xz-utils zpaq flac wavpack)
# The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
[ "${QUORVEX_WITH_FUZZ:-0}" = 1 ] && packages+=(clang libclang-rt-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
