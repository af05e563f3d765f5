#!/usr/bin/env bash
# Installs what is missing, builds Pictrova (Release, in build/) and starts it.
# Without a display it prints a sample page to build/sample-page.pdf instead.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPICTROVA_TESTS=OFF -DPICTROVA_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "pictrova: no display (neither DISPLAY nor WAYLAND_DISPLAY is set): printing a sample page instead."
  mkdir -p build/samples
  ./build/tools/gen-samples build/samples
  ./build/bin/pictrova-cli print --layout "2 4x6" --pdf build/sample-page.pdf \
    build/samples/sample-landscape.jpg build/samples/sample-portrait.jpg
  echo "The sample page is $(pwd)/build/sample-page.pdf"
  exit 0
fi
exec ./build/bin/pictrova
