#!/usr/bin/env bash
# Times one placement of a 6000 x 4000 photo into a portrait 5 x 7 area
# (500 x 700 page pixels) by pictrova-cli against the same pipeline in
# libvips (its command line) and PIL: turn 90 degrees counter-clockwise, fit
# the turned picture into the area's proportions on a padding canvas (the
# picture shrunk to 3733 x 5600 on 4000 x 5600, as "Don't Crop" does), save
# as JPEG quality 96, reduce with Lanczos3 to 500 x 700, save as JPEG quality
# 93. Whole processes are timed (wall and processor time, best of RUNS);
# libvips runs as five commands with uncompressed .v files between them (its
# command line does one operation per run). pictrova-cli also writes and
# reads back its lossless "t.png", the other two keep the turned picture to
# themselves, and it copies the full-resolution file into its output folder
# under the lab's name (its working files stay in a folder of their own).
# Not run by the tests.
#
#   bench/compare_place.sh [BUILD_DIR]     (default: build)
#   RUNS=5 bench/compare_place.sh build-rel
set -euo pipefail
cd "$(dirname "$0")/.."
# install_missing and best
. bench/common.sh

BUILD=${1:-build}
RUNS=${RUNS:-3}
BIN=$BUILD/bin
CLI=$BIN/pictrova-cli
MAGICK=/usr/bin/convert
# PIL comes as a Debian package, for the system's python.
PY=/usr/bin/python3

missing=()
command -v vips >/dev/null 2>&1 || missing+=(libvips-tools)
"$PY" -c 'import PIL' >/dev/null 2>&1 || missing+=(python3-pil)
install_missing "${missing[@]}"
for f in "$CLI" "$BIN/bkpage.png" "$BIN/blankpage.png"; do
  if [ ! -e "$f" ]; then
    echo "compare_place.sh: $f not found; build first (cmake --build $BUILD --target pictrova-cli)" >&2
    exit 2
  fi
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
IN=$WORK/photo.jpg
# A photo-like picture: smooth fractal colour, two flat shapes, fine noise.
"$MAGICK" -size 1500x1000 -seed 7 plasma:fractal -resize '6000x4000!' \
  -fill '#204080' -draw 'circle 3000,2000 3000,2900' -fill '#e0c020' -draw 'rectangle 400,400 1800,1500' \
  -attenuate 0.4 +noise Gaussian -quality 90 "$IN"

# The program folder is the executable's folder: a private copy with a layout
# that has a portrait 5 x 7 area (the shipped 5 x 7 areas are all landscape).
PROG=$WORK/prog
mkdir -p "$PROG" "$WORK/out"
cp "$CLI" "$BIN/bkpage.png" "$BIN/blankpage.png" "$PROG/"
# Layout file units: 118 across and 91 down per page pixel.
printf ':5x7 portrait\n5x7 portrait|%d %d %d %d\n\n:end\n' \
  $((150 * 118)) $((200 * 91)) $((650 * 118)) $((900 * 91)) >"$PROG/printouts.txt"

# The sheet's colour, for the other tools' padding.
read -r BG_R BG_G BG_B < <("$MAGICK" "$BIN/bkpage.png" -format '%[fx:int(255*p{0,0}.r)] %[fx:int(255*p{0,0}.g)] %[fx:int(255*p{0,0}.b)]\n' info:)


ours() { "$PROG/pictrova-cli" place --layout "5x7 portrait" --fit "$1" --out "$WORK/out" "$IN"; }

vips_pipeline() {
  local d=$WORK/vips
  mkdir -p "$d"
  vips rot "$IN" "$d/turned.v" d270
  vips resize "$d/turned.v" "$d/fit.v" 0.9333333333 --kernel nearest
  vips embed "$d/fit.v" "$d/pad.v" 133 0 4000 5600 --extend background --background "$BG_R $BG_G $BG_B"
  vips jpegsave "$d/pad.v" "$d/layer0.jpg" --Q 96
  vips resize "$d/pad.v" "$d/layer0s.jpg[Q=93]" 0.125 --kernel lanczos3
}

pil_pipeline() {
  "$PY" - "$IN" "$WORK" "$BG_R" "$BG_G" "$BG_B" <<'PY'
import sys
from PIL import Image
src, out = sys.argv[1], sys.argv[2]
bg = tuple(int(v) for v in sys.argv[3:6])
im = Image.open(src).transpose(Image.Transpose.ROTATE_90)
fit = im.resize((3733, 5600), Image.Resampling.NEAREST)
pad = Image.new("RGB", (4000, 5600), bg)
pad.paste(fit, (133, 0))
pad.save(out + "/pil_layer0.jpg", quality=96)
pad.resize((500, 700), Image.Resampling.LANCZOS).save(out + "/pil_layer0s.jpg", quality=93)
PY
}

echo "threads: $(nproc), best of $RUNS"
read -r w_ours c_ours < <(best ours dont-crop)
# The placement's file must be the size the pipeline promises.
sizes=$(/usr/bin/identify -format '%wx%h ' "$WORK/out/01-5x7 portrait.jpg")
read -r w_crop c_crop < <(best ours crop)
read -r w_stretch c_stretch < <(best ours stretch)
read -r w_vips c_vips < <(best vips_pipeline)
read -r w_pil c_pil < <(best pil_pipeline)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
printf '\nPlacement of 6000x4000 into a portrait 500x700 area (turn, pad, q96, Lanczos3, q93):\n'
printf '  %-24s %8s %9s\n' "" "wall s" "cpu s"
printf '  %-24s %8s %9s   (files %s)\n' "pictrova-cli dont-crop" "$w_ours" "$c_ours" "$sizes"
printf '  %-24s %8s %9s\n' "pictrova-cli crop" "$w_crop" "$c_crop" "pictrova-cli stretch" "$w_stretch" "$c_stretch"
printf '  %-24s %8s %9s   pictrova/libvips: wall %s, cpu %s (aim: wall at most 1.25)\n' libvips "$w_vips" "$c_vips" \
  "$(ratio "$w_ours" "$w_vips")" "$(ratio "$c_ours" "$c_vips")"
printf '  %-24s %8s %9s   pictrova/PIL:     wall %s, cpu %s (aim: wall below 1)\n' PIL "$w_pil" "$c_pil" \
  "$(ratio "$w_ours" "$w_pil")" "$(ratio "$c_ours" "$c_pil")"
