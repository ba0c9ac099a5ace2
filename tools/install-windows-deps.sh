#!/usr/bin/env bash
# Installs what cross-building Guichet for Windows and running its tests under wine
# needs on Debian 12 (as root): the posix-threads mingw-w64 toolchain, wine, the tools
# that fetch Debian's source packages, Boost's headers (guichet-web.exe), and the Linux
# programs that make the test dictation and read the outputs of the Windows tests.
# Packages already present are not fetched.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine64 dpkg-dev cmake make libboost-dev
  espeak-ng sox speex ffmpeg
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}"
fi
