#!/usr/bin/env bash
# Installs what building, testing and running process-tap need on Debian 12.
set -euo pipefail

packages=(
  g++ cmake make pkg-config git
  libicu-dev libsndfile1-dev libvorbis-dev libogg-dev libpulse-dev libsoxr-dev
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  clang-14 libclang-rt-14-dev clang-19 clang-format
  pulseaudio pulseaudio-utils sox libsox-fmt-mp3  # sox reads back the MP3 recordings
  ffmpeg  # the tests read every recording in ffmpeg and ffprobe too
  pipewire pipewire-pulse wireplumber dbus
  man-db dpkg-dev file lintian
  python3  # the manual-page and README checks, the planted faults, a silent socket in the tests
  gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-tools  # native PipeWire clients for the tests
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
