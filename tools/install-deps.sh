#!/usr/bin/env bash
# Installs what building and testing Tarnwick needs on Debian: the native and
# MinGW-w64 compilers, CMake, GoogleTest's sources, Wine to run the Windows
# build, Hamlib's rigctld as the real rigctl server, and Python for the
# end-to-end tests.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  googletest libgtest-dev
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine64
  libhamlib-utils
  python3
  procps
  bsdutils  # script: the end-to-end tests run a program under a pseudo-terminal
  dpkg-dev unzip  # the packages: dpkg-shlibdeps for the .deb, unzip to check the ZIP
  lintian man-db  # tools/check-packages.sh: the .deb as Debian checks it, its manual pages
  adduser systemd  # and its service: the .deb's postinst makes a user; systemd-analyze verify
  clang libclang-rt-14-dev  # the AddressSanitizer build and the libFuzzer harnesses
  clang-tidy cppcheck       # tools/static-analysis.sh
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update
as_root apt-get install -y --no-install-recommends "${packages[@]}"
