#!/usr/bin/env bash
# Installs what is missing, builds a Debug tree with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-test/, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DPICTROVA_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-test
ctest --output-on-failure -j"$(nproc)" --timeout 600
