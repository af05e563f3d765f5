#!/usr/bin/env bash
# Fuzzes one reader:  scripts/fuzz.sh TARGET SECONDS   (TARGET: jpeg, png, ...)
# Installs clang and its fuzzer runtime when missing, builds build-fuzz/ with
# clang and -fsanitize=fuzzer,address,undefined, makes the seed corpora, runs
# fuzz_TARGET for SECONDS (at the lowest priority) with its corpus in
# build-fuzz/corpus/TARGET, and copies every input that crashed, hung, leaked
# or ran out of memory into tests/data/fuzz/TARGET/, where ./test.sh replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:?usage: scripts/fuzz.sh TARGET SECONDS}

./scripts/install-deps.sh
# Only the fuzz build needs clang: it is not in the default package list.
fuzz_packages=(clang libclang-rt-14-dev)
missing=()
for p in "${fuzz_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Two targets may be fuzzed at once: one of them builds at a time.
mkdir -p build-fuzz
(
  flock 9
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICTROVA_FUZZ=ON \
    -DPICTROVA_TESTS=OFF -DPICTROVA_BENCH=OFF >/dev/null
  nice -n 19 cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$target" fuzz_seeds
) 9>build-fuzz/.build-lock

corpus=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
finds=tests/data/fuzz/$target
mkdir -p "$corpus" "$artifacts" "$finds"
seeds=(build-fuzz/seeds/"$target")
# Earlier finds seed the run too, so that their neighbourhood is searched again.
if compgen -G "$finds/*" >/dev/null; then seeds+=("$finds"); fi

# The library's own pixel limit in a fuzzed read (kPxFuzzImageBytes, 256 MiB)
# sits below these, so running out of memory here is a find, not a big picture.
# A read is given 25 s: far more than any picture the limit admits needs
# under the sanitizers. One forked worker, so that a find does not end the run.
status=0
nice -n 19 "build-fuzz/fuzz/fuzz_$target" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
  -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=1024 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" || status=$?

# libFuzzer names its finds after what they are and the input's SHA-1.
kept=0
for f in "$artifacts"/crash-* "$artifacts"/timeout-* "$artifacts"/oom-* "$artifacts"/leak-*; do
  [ -e "$f" ] || continue
  if [ ! -e "$finds/$(basename "$f")" ]; then
    cp "$f" "$finds/"
    kept=$((kept + 1))
    echo "fuzz.sh: kept $finds/$(basename "$f")"
  fi
done
echo "fuzz.sh: $target fuzzed (for at most ${seconds}s), corpus $(find "$corpus" -type f | wc -l) inputs," \
  "$kept new finds (fuzzer status $status)"
