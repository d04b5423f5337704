#!/usr/bin/env bash
# Builds Tarnwick's packages into build/packages:
#
#   bash tools/package.sh linux     tarnwick_<version>_amd64.deb
#   bash tools/package.sh windows   tarnwick-<version>-win64.zip
#   bash tools/package.sh           both
#
# Each is a Release build of its own (build/package-linux,
# build/package-windows, tests left out) packed by CPack as
# cmake/packaging.cmake says. Needs what tools/install-deps.sh installs.
# JOBS sets the build's parallel jobs (default: the number of processors).
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-all}
case "$target" in
  linux | windows) targets=("$target") ;;
  all) targets=(linux windows) ;;
  *)
    echo "usage: bash tools/package.sh [linux|windows|all]" >&2
    exit 2
    ;;
esac

jobs=${JOBS:-$(nproc)}
out=build/packages
mkdir -p "$out"

for preset in "${targets[@]}"; do
  build=build/package-$preset
  echo "== package: $preset ($build)"
  cmake --preset "$preset" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target tarnwick qvnsim tarnwick_docs
  rm -rf "$build/cpack"
  (cd "$build" && cpack -B cpack)
  for file in "$build"/cpack/*.deb "$build"/cpack/*.zip; do
    if [ -f "$file" ]; then
      cp "$file" "$out/"
      echo "   $out/$(basename "$file") ($(stat -c %s "$file") bytes)"
    fi
  done
done
