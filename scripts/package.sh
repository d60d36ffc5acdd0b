#!/usr/bin/env bash
# Builds the Debian package of Tempix in build-deb/ (Release, installed under
# /usr, tests and benchmarks off) and checks it with lintian.
#   scripts/package.sh      -> build-deb/tempix_<version>_<arch>.deb
# Install it with: sudo apt-get install ./build-deb/tempix_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

# What the build needs, and dpkg-dev (dpkg-shlibdeps computes the package's
# dependencies) and lintian.
packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev lintian scdoc file
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libtag1-dev libid3-3.8.3-dev libcli11-dev libfftw3-dev libebur128-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-tools-dev
)
bash scripts/install-packages.sh "${packages[@]}"

# Debian's hardening flags, as a package built by dpkg-buildpackage gets them.
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"

builddir=build-deb
cmake -S . -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTEMPIX_BUILD_TESTS=OFF -DTEMPIX_BUILD_BENCH=OFF -DTEMPIX_DEBIAN_DOCS=ON
cmake --build "$builddir" -j2
rm -f "$builddir"/tempix_*.deb
(cd "$builddir" && cpack -G DEB)
deb=$(ls "$builddir"/tempix_*.deb)
echo "Package: $deb"
dpkg-deb --field "$deb"
# Errors fail the script; warnings and notes are shown.
echo "lintian:"
lintian --fail-on error --display-info "$deb"
