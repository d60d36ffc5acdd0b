#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git clang-format
  libgtest-dev libgmock-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libtag1-dev libid3-3.8.3-dev
  libcli11-dev libfftw3-dev libebur128-dev scdoc
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-tools-dev libqt6opengl6-dev libqt6svg6
  ffmpeg lame python3 python3-numpy python3-mutagen eyed3 id3v2 atomicparsley
  flac vorbis-tools opus-tools loudgain kid3-cli appstream zsh fish
  xvfb xauth x11-apps imagemagick xdg-user-dirs xdg-utils time procps
)
bash "$(cd "$(dirname "$0")" && pwd)/install-packages.sh" "${packages[@]}"
