#!/usr/bin/env bash
# Installs what is needed, builds Tempix and runs the whole test suite.
#   scripts/test.sh             the normal build in build/
#   scripts/test.sh --sanitize  the same under ASan and UBSan in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

builddir=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  builddir=build-asan
  flags+=(-DTEMPIX_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$builddir" -G Ninja "${flags[@]}"
cmake --build "$builddir" -j2
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$builddir" --output-on-failure -j2
