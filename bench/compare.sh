#!/usr/bin/env bash
# Times pictrova-cli against ImageMagick, libvips and PIL on the same work:
# JPEG in, Lanczos3 to 1500 x 1000, JPEG out; and the enlargement of the same
# 6000 x 4000 photo to 12000 x 8000. Whole processes are timed (best of RUNS)
# and the ratios to pictrova-cli printed. Not run by the tests.
#
#   bench/compare.sh                 uses build/bin/pictrova-cli
#   PICTROVA_CLI=path RUNS=5 bench/compare.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# install_missing (this script times wall clock only: its own best below)
. bench/common.sh

CLI=${PICTROVA_CLI:-build/bin/pictrova-cli}
RUNS=${RUNS:-3}
QUALITY=${QUALITY:-90}
MAGICK=/usr/bin/convert

# The baselines, installed only when missing.
missing=()
command -v vips >/dev/null 2>&1 || missing+=(libvips-tools)
# PIL is Debian's, for Debian's own Python.
PYTHON=/usr/bin/python3
"$PYTHON" -c 'import PIL' >/dev/null 2>&1 || missing+=(python3-pil)
[ -x "$MAGICK" ] || missing+=(imagemagick)
install_missing "${missing[@]}"
if [ ! -x "$CLI" ]; then
  echo "compare.sh: $CLI not found; build it first (cmake --build build --target pictrova-cli)" >&2
  exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
IN=$WORK/photo.jpg
# Debian's ImageMagick policy caps the pixel cache at 256 MiB of memory and
# 1 GiB of disk, too little for a 96-megapixel result: raise the limits for
# these runs only.
mkdir -p "$WORK/magick"
cat >"$WORK/magick/policy.xml" <<'XML'
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
XML
export MAGICK_CONFIGURE_PATH=$WORK/magick
# A photo-like picture: smooth fractal colour with fine noise.
"$MAGICK" -size 1500x1000 -seed 7 plasma:fractal -resize '6000x4000!' \
  -attenuate 0.4 +noise Gaussian -quality 92 "$IN"

# Best wall time of RUNS runs of a command, in seconds.
best() {
  local best_t="" t s e
  for _ in $(seq "$RUNS"); do
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; echo "nan"; return; }
    e=$(date +%s.%N)
    t=$(awk -v a="$s" -v b="$e" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best_t" ] || awk -v a="$t" -v b="$best_t" 'BEGIN { exit !(a < b) }'; then best_t=$t; fi
  done
  echo "$best_t"
}

pil() {
  "$PYTHON" - "$1" "$2" "$3" "$4" "$QUALITY" <<'PY'
import sys
from PIL import Image
src, dst, w, h, q = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
Image.open(src).resize((w, h), Image.LANCZOS).save(dst, quality=q)
PY
}

run_case() {
  local name=$1 w=$2 h=$3 scale=$4
  local ours im vips pil_t
  ours=$(best "$CLI" convert "$IN" "$WORK/ours.jpg" --resample "$w" "$h" lanczos3 --quality "$QUALITY")
  im=$(best "$MAGICK" "$IN" -filter Lanczos -resize "${w}x${h}!" -quality "$QUALITY" "$WORK/im.jpg")
  vips=$(best vips resize "$IN" "$WORK/vips.jpg[Q=$QUALITY]" "$scale" --kernel lanczos3)
  pil_t=$(best pil "$IN" "$WORK/pil.jpg" "$w" "$h")
  printf '\n%s (6000x4000 -> %sx%s, Lanczos3, JPEG quality %s), best of %s:\n' "$name" "$w" "$h" "$QUALITY" "$RUNS"
  printf '  %-14s %8s s\n' pictrova-cli "$ours"
  for tool in ImageMagick:"$im" libvips:"$vips" PIL:"$pil_t"; do
    local label=${tool%%:*} t=${tool#*:} ratio
    ratio=$(awk -v a="$ours" -v b="$t" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }')
    printf '  %-14s %8s s   pictrova/%s = %s\n' "$label" "$t" "$label" "$ratio"
  done
}

echo "threads: $(nproc)"
run_case "Reduction" 1500 1000 0.25
run_case "Enlargement" 12000 8000 2
