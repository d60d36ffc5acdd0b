#!/usr/bin/env bash
# Installs what is needed, builds Tempix and runs the whole test suite.
#   scripts/test.sh             the normal build in build/
#   scripts/test.sh --sanitize  the same under ASan and UBSan in build-asan/
# Then the analysis alone is built without the x86 vector code (as on any other
# processor) in <build>-portable/, tested, and compared with the normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

builddir=build
# Tests and benchmarks are off in a plain build. The helpers go to a libexec
# folder other than the default, so that the tests (the install test among
# them) show that they are found through the configured one.
flags=(-DTEMPIX_BUILD_TESTS=ON -DTEMPIX_BUILD_BENCH=ON -DCMAKE_INSTALL_LIBEXECDIR=lib/x-tempix)
if [ "${1:-}" = "--sanitize" ]; then
  builddir=build-asan
  flags+=(-DTEMPIX_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

# The sources as .clang-format lays them out.
find src tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format --dry-run -Werror

cmake -S . -B "$builddir" -G Ninja "${flags[@]}"
cmake --build "$builddir" -j2
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$builddir" --output-on-failure -j2

portable=$builddir-portable
cmake -S . -B "$portable" -G Ninja "${flags[@]}" -DTEMPIX_X86_PATHS=OFF -DTEMPIX_BUILD_GUI=OFF \
  -DTEMPIX_MATERIAL_DIR="$PWD/$builddir/test-material" \
  -DTEMPIX_COMPARE_ANALYSIS_WITH="$PWD/$builddir/bin/analysis_dump"
cmake --build "$portable" -j2 --target analysis_tests analysis_dump
ctest --test-dir "$portable" --output-on-failure -j2 -L analysis
