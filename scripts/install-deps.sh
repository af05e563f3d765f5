#!/usr/bin/env bash
# Installs the Debian packages Pictrova needs to build, run and test, only
# when one is missing. Runs apt-get update only then. Safe to run again.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev libqt6printsupport6 qt6-qpa-plugins
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libdeflate-dev
  libraw-dev libopenjp2-7-dev libheif-dev libwebp-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core
  xvfb xauth poppler-utils imagemagick libjpeg-turbo-progs libtiff-tools netpbm
  libraw-bin libopenjp2-tools libheif-examples webp
  libcups2-dev cups-daemon cups-client
  # Real keys and wheel turns for the window tests under Xvfb.
  xdotool
  # Checks the installed menu entry.
  desktop-file-utils
  # Writes and reads camera metadata for the EXIF tests.
  libimage-exiftool-perl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
