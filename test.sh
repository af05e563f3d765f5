#!/usr/bin/env bash
# Installs what is missing, runs the thumbnail grid's tests under
# ThreadSanitizer (build-tsan/), builds a Debug tree with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-test/, and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

# The thumbnail grid and its loaders share a lock with background threads:
# their tests also run under ThreadSanitizer, in a small tree of their own
# (only those tests and the libraries below them are built). Any report fails.
TSAN_TESTS=(test_mviewload test_mviewinput test_mviewlayout test_pxvirtualimagelist)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DPICTROVA_TSAN=ON -DPICTROVA_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target "${TSAN_TESTS[@]}"
for t in "${TSAN_TESTS[@]}"; do
  if ! TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/"$t" >build-tsan/"$t".log 2>&1; then
    cat build-tsan/"$t".log
    echo "ThreadSanitizer run of $t failed"
    exit 1
  fi
  echo "ThreadSanitizer: $t: $(grep -E '^\[  PASSED  \]' build-tsan/"$t".log)"
done

cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DPICTROVA_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build-test
ctest --output-on-failure -j"$(nproc)" --timeout 600
