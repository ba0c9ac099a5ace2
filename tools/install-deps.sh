#!/usr/bin/env bash
# Installs what building, running and testing Guichet needs on Debian 12 (as root).
# Packages already present are not fetched again.
set -euo pipefail

packages=(
  # build
  g++ cmake make pkg-config clang-format
  libgtest-dev libgmock-dev
  libspeex-dev libspeexdsp-dev libogg-dev libssl-dev libsqlite3-dev
  libfltk1.3-dev libx11-dev
  libboost-dev
  # fuzz targets (libFuzzer) and the crash test's driver
  clang libfuzzer-14-dev libclang-rt-14-dev python3
  # outside tools the tests compare against
  speex ffmpeg sox espeak-ng sqlite3 coreutils
  xvfb x11-utils xdotool imagemagick
  curl chromium chromium-driver python3-selenium
  # the browser in French for the portal's tests and pictures (file and date fields)
  chromium-l10n
  # counting system calls (tools/strace_drain.sh)
  strace
  # the power-cut test: the site's ext4 image on an XFS file system that copies it by
  # reflink (tools/power-cut-test.sh)
  xfsprogs e2fsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
