#!/usr/bin/env bash
# Times the decoding of one 24-megapixel picture (6000 x 4000) in each of
# BMP, PCX, TGA and PPM, and of a 2000 x 2000 GIF, by pictrova-cli convert
# (to a raw PPM), by PIL (Image.open, then save as PPM) and by ImageMagick
# (convert IN OUT.ppm), in one run: whole processes, wall and processor time
# (best of RUNS), and their ratios. The pictures are made here by
# ImageMagick from its built-in plasma, with a flat shape and a little
# noise. A format that this build of pictrova-cli cannot read yet is skipped,
# so that the script runs on every branch; without a PNM writer in the build
# our side writes PNG instead, which the output says. Not run by the tests.
#
#   bench/compare_codecs.sh [BUILD_DIR]     (default: build)
#   RUNS=5 bench/compare_codecs.sh build-rel
set -euo pipefail
cd "$(dirname "$0")/.."
# install_missing and best
. bench/common.sh

BUILD=${1:-build}
RUNS=${RUNS:-3}
CLI=$BUILD/bin/pictrova-cli
MAGICK=/usr/bin/convert
# PIL comes as a Debian package, for the system's python.
PY=/usr/bin/python3

missing=()
"$PY" -c 'import PIL' >/dev/null 2>&1 || missing+=(python3-pil)
install_missing "${missing[@]}"
if [ ! -e "$CLI" ]; then
  echo "compare_codecs.sh: $CLI not found; build first (cmake --build $BUILD --target pictrova-cli)" >&2
  exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in" "$WORK/out"

echo "making the pictures..."
"$MAGICK" -size 600x400 -seed 11 plasma:fractal -resize '6000x4000!' -depth 8 \
  -fill '#204080' -draw 'circle 3000,2000 3000,2900' -attenuate 0.3 +noise Gaussian \
  "$WORK/in/picture.ppm"
"$MAGICK" "$WORK/in/picture.ppm" -type TrueColor "BMP3:$WORK/in/picture.bmp"
"$MAGICK" "$WORK/in/picture.ppm" "$WORK/in/picture.pcx"
"$MAGICK" "$WORK/in/picture.ppm" "$WORK/in/picture.tga"
"$MAGICK" "$WORK/in/picture.ppm" -resize '2000x2000!' -colors 256 "$WORK/in/picture.gif"

# Our output: a raw PPM when the build writes PNM, else PNG.
"$MAGICK" -size 8x8 xc:red "$WORK/in/probe.png"
OUT_EXT=ppm
if ! "$CLI" convert "$WORK/in/probe.png" "$WORK/out/probe.ppm" >/dev/null 2>&1; then
  OUT_EXT=png
  echo "note: this build writes no PNM; pictrova-cli writes PNG, which its times include"
fi

ours() { "$CLI" convert "$1" "$WORK/out/ours.$OUT_EXT"; }
pil() {
  "$PY" - "$1" "$WORK/out/pil.ppm" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1])
if im.mode != "RGB":
    im = im.convert("RGB")
im.save(sys.argv[2])
PY
}
magick() { "$MAGICK" "$1" "$WORK/out/magick.ppm"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { print (a + 0 <= b + 0) ? a : b }'; }

echo "threads: $(nproc), best of $RUNS, load: $(uptime | sed 's/.*load average: //')"
printf '\n%-5s %-10s %9s %9s %9s %9s %9s %9s   %s\n' format size "ours wall" "cpu" "PIL wall" "cpu" \
  "IM wall" "cpu" "ours / fastest peer: wall, cpu (aim: at most 1)"
for ext in bmp pcx tga ppm gif; do
  in=$WORK/in/picture.$ext
  size=$(/usr/bin/identify -format '%wx%h' "$in")
  if ! "$CLI" info "$in" >/dev/null 2>&1; then
    printf '%-5s %-10s   skipped: this build cannot read it yet\n' "$ext" "$size"
    continue
  fi
  read -r w_ours c_ours < <(best ours "$in")
  read -r w_pil c_pil < <(best pil "$in")
  read -r w_im c_im < <(best magick "$in")
  w_best=$(smaller "$w_pil" "$w_im")
  c_best=$(smaller "$c_pil" "$c_im")
  printf '%-5s %-10s %9s %9s %9s %9s %9s %9s   %s, %s\n' "$ext" "$size" "$w_ours" "$c_ours" "$w_pil" \
    "$c_pil" "$w_im" "$c_im" "$(ratio "$w_ours" "$w_best")" "$(ratio "$c_ours" "$c_best")"
done

# The formats whose codecs are the libraries of their fields (WebP, JPEG 2000,
# HEIF, camera raw) are timed against those libraries' own decoders.
echo
PICTROVA_CLI="$CLI" RUNS="$RUNS" bench/compare_libcodecs.sh
