#!/usr/bin/env bash
# Installs what is missing, builds Pictrova (Release, in build/) and starts it.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPICTROVA_TESTS=OFF -DPICTROVA_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "pictrova: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); the program was built in build/bin/."
  exit 2
fi
exec ./build/bin/pictrova
