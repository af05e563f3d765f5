#!/usr/bin/env bash
# Times our TIFF decoding against libtiff's on the same files: a 24-megapixel
# LZW photo (with the predictor) and an A4 Group 4 page, as written by
# bench_tiff. Ours is bench_tiff's processor time per decode; libtiff's is the
# best processor time of RUNS runs of "tiffcp -c none" (which writes the
# pixels out as well). Prints the ratios. Not run by the tests.
#
#   bench/compare_tiff.sh             uses build/bench/bench_tiff
#   PICTROVA_BENCH=path RUNS=5 bench/compare_tiff.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh

BENCH=${PICTROVA_BENCH:-build/bench/bench_tiff}
RUNS=${RUNS:-3}
command -v tiffcp >/dev/null 2>&1 || install_missing libtiff-tools
if [ ! -x "$BENCH" ]; then
  echo "compare_tiff.sh: $BENCH not found; build it first (cmake --build build --target bench_tiff)" >&2
  exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# CSV rows: name,iterations,real_time,cpu_time,time_unit,...
PICTROVA_BENCH_TIFF_DIR=$WORK "$BENCH" --benchmark_filter=Decode --benchmark_repetitions="$RUNS" \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null >"$WORK/ours.csv"
ours() { grep "\"$1/real_time_median\"" "$WORK/ours.csv" | cut -d, -f4 | awk '{ printf "%.3f", $1 / 1000 }'; }

printf '%-14s %10s %10s %8s\n' file ours_cpu_s tiffcp_s ratio
for pair in "BM_DecodeLzwPhoto photo-lzw.tif" "BM_DecodeG4Page page-g4.tif"; do
  set -- $pair
  read -r _ theirs < <(best tiffcp -c none "$WORK/$2" "$WORK/out.tif")
  mine=$(ours "$1")
  printf '%-14s %10s %10s %8s\n' "$2" "$mine" "$theirs" \
    "$(awk -v a="$mine" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
done
