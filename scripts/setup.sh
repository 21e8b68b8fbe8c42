#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the reference tools need.
# Idempotent and noninteractive: apt-get update runs only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config git
  juce-modules-source
  libasound2-dev libjack-jackd2-dev libfreetype-dev libfontconfig1-dev
  libx11-dev libxcomposite-dev libxcursor-dev libxext-dev libxinerama-dev
  libxrandr-dev libxrender-dev libgl-dev libglu1-mesa-dev
  libcurl4-openssl-dev libssl-dev
  libflac-dev libvorbis-dev libogg-dev libpng-dev libjpeg-dev
  nlohmann-json3-dev
  libflatbuffers-dev flatbuffers-compiler
  libpugixml-dev zlib1g-dev libmp3lame-dev librubberband-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  util-linux iproute2 xvfb xauth python3
  flac sox ffmpeg jackd2 libebur128-dev rubberband-cli lame
  nodejs
  chromium curl jq
  clang libclang-rt-14-dev
)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node's own builds ship npm inside the nodejs package; Debian's split it out.
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks about real-time priority; answer it up front.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections || true
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# Test-side JavaScript tools (the typed bridge's outside peer), pinned by its lockfile.
bash "$(dirname "$0")/setup-peer.sh"
