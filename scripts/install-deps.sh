#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, so that a second run costs nothing.
set -euo pipefail
# The second line: the MP3 and Ogg Vorbis decoders of the command-line tool,
# and what its tests use to make short files in those formats (lame,
# vorbis-tools, sox) and to drive the interactive player (tmux). ffmpeg is
# optional for users (FLAC, Opus, M4A input); the tests install it so that
# those paths are exercised. The practice window needs Java's desktop half
# (openjdk-17-jre) and its tests a virtual display (xvfb). The signal and
# locale tests compile a German UTF-8 locale of their own with localedef, from
# the sources that locales installs.
packages=(cmake g++ make binutils libgtest-dev libbenchmark-dev openjdk-17-jdk-headless junit5 libpicocli-java
          clang libclang-rt-14-dev
          libmp3spi-java libjlayer-java libtritonus-java libvorbisspi-java libjorbis-java lame vorbis-tools sox tmux
          ffmpeg openjdk-17-jre xvfb locales)
# Named packages instead (scripts/cross.sh names its cross compilers and
# emulators).
if [ $# -gt 0 ]; then packages=("$@"); fi
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
