#!/usr/bin/env bash
# Times the decoding of one 24-megapixel picture (6000 x 4000) in each of
# BMP, PCX, TGA and PPM, and of a 2000 x 2000 GIF, by pictrova-cli convert
# (to a raw PPM), by PIL (Image.open, then save as PPM) and by ImageMagick
# (convert IN OUT.ppm), in one run: whole processes, wall and processor time
# (best of RUNS), and their ratios. The pictures are made here by
# ImageMagick from its built-in plasma, with a flat shape and a little
# noise. A format that this build of pictrova-cli cannot read yet is skipped,
# so that the script runs on every branch; without a PNM writer in the build
# our side writes PNG instead, which the output says. Then TIFF (24-megapixel
# LZW photos and a Group 4 page) against tiffcp and PIL, and the formats of
# the outside libraries against those libraries' tools. Not run by the tests.
#
#   bench/compare_codecs.sh [BUILD_DIR]     (default: build; bench_tiff there
#                                            gives the stand-in photo)
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

# TIFF, against libtiff itself: "tiffcp -c none" decodes the file and writes
# the pixels as an uncompressed TIFF; ours decodes it and writes a raw PPM (PBM
# for the page), the same bytes without the TIFF tags; PIL opens it (through
# libtiff) and saves a PPM or PBM. The pictures, as cameras, editors and
# scanners leave them (libtiff writes each):
#   photo-lzw2  the benchmarks' stand-in photo (bench/benchphoto.h, 6000 x 4000,
#               saved by bench_tiff), LZW with the horizontal predictor
#   photo-lzw   the same without the predictor
#   grain-lzw2  the picture above (plasma and grain: far less compressible), LZW
#               with the predictor
#   page-g4     a scanned text page, A4 at 300 dpi (2480 x 3508), Group 4 in one strip
# Whole processes, best of RUNS; "start" is each tool's time on an 8 x 8 LZW
# TIFF (loading its libraries: for pictrova-cli Qt, CUPS and the codec
# libraries), and the "net" ratios compare the times less that start.
TIFF_BENCH=$BUILD/bench/bench_tiff
command -v tiffcp >/dev/null 2>&1 && command -v pnmtotiff >/dev/null 2>&1 || install_missing libtiff-tools netpbm
echo
echo "making the TIFF files..."
if [ -x "$TIFF_BENCH" ]; then
  PICTROVA_BENCH_TIFF_DIR=$WORK/in "$TIFF_BENCH" --benchmark_list_tests=true >/dev/null
  tiffcp -c lzw:2 "$WORK/in/photo.tif" "$WORK/in/photo-lzw2.tif"
  tiffcp -c lzw "$WORK/in/photo.tif" "$WORK/in/photo-lzw.tif"
else
  echo "note: $TIFF_BENCH not built: no stand-in photo (cmake --build $BUILD --target bench_tiff)"
fi
"$MAGICK" "$WORK/in/picture.ppm" -compress none "$WORK/in/grain.tif"
tiffcp -c lzw:2 "$WORK/in/grain.tif" "$WORK/in/grain-lzw2.tif"
# Words of letters in the frequencies of text, rendered antialiased with a
# slight skew, grain added and thresholded: ragged edges, as a scanner's.
TEXT=$(awk 'BEGIN { srand(3); for (l = 0; l < 62; l++) { line = ""; while (length(line) < 88) {
  n = 1 + int(rand() * 9); w = ""; for (i = 0; i < n; i++) w = w sprintf("%c", 97 + int(rand() * rand() * 26))
  if (rand() < 0.1) w = toupper(substr(w, 1, 1)) substr(w, 2); if (rand() < 0.08) w = w ","; line = line w " " }
  print line } }')
"$MAGICK" -size 2480x3508 xc:white -colorspace Gray -font DejaVu-Serif -pointsize 42 -fill black \
  -annotate 0.4x0.4+230+330 "$TEXT" -attenuate 2 +noise Gaussian -threshold 50% -type bilevel "$WORK/in/page.pbm"
pnmtotiff -quiet -g4 -rowsperstrip 3508 "$WORK/in/page.pbm" >"$WORK/in/page-g4.tif"
"$MAGICK" "$WORK/in/picture.ppm" -crop 8x8+0+0 +repage -compress none "$WORK/in/start-none.tif"
tiffcp -c lzw:2 "$WORK/in/start-none.tif" "$WORK/in/start.tif"

ours_tif() { "$CLI" convert "$1" "$WORK/out/ours.$2"; }
tiffcp_tif() { tiffcp -c none "$1" "$WORK/out/tiffcp.tif"; }
pil_tif() {
  "$PY" - "$1" "$WORK/out/pil.$2" <<'PY'
import sys
from PIL import Image
Image.open(sys.argv[1]).save(sys.argv[2])
PY
}
# The ratio of two times less their starts.
net() { awk -v a="$1" -v sa="$2" -v b="$3" -v sb="$4" 'BEGIN { if (a - sa > 0 && b - sb > 0) printf "%.2f", (a - sa) / (b - sb); else print "n/a" }'; }

read -r sw_ours sc_ours < <(best ours_tif "$WORK/in/start.tif" ppm)
read -r sw_tc sc_tc < <(best tiffcp_tif "$WORK/in/start.tif")
read -r sw_pil sc_pil < <(best pil_tif "$WORK/in/start.tif" ppm)
echo "threads: $(nproc), best of $RUNS, load: $(uptime | sed 's/.*load average: //')"
printf '\n%-10s %-10s %9s %9s %9s %9s %9s %9s   %s\n' tiff size "ours wall" "cpu" "tiffcp" "cpu" \
  "PIL wall" "cpu" "ours / tiffcp: wall, cpu, net wall, net cpu (aim: at most 1); ours / PIL: wall, cpu"
printf '%-10s %-10s %9s %9s %9s %9s %9s %9s\n' start 8x8 "$sw_ours" "$sc_ours" "$sw_tc" "$sc_tc" "$sw_pil" "$sc_pil"
for name in photo-lzw2 photo-lzw grain-lzw2 page-g4; do
  in=$WORK/in/$name.tif
  [ -e "$in" ] || continue
  out=ppm
  [ "$name" = page-g4 ] && out=pbm
  size=$(/usr/bin/identify -format '%wx%h' "$in")
  read -r w_ours c_ours < <(best ours_tif "$in" $out)
  read -r w_tc c_tc < <(best tiffcp_tif "$in")
  read -r w_pil c_pil < <(best pil_tif "$in" $out)
  printf '%-10s %-10s %9s %9s %9s %9s %9s %9s   %s, %s, %s, %s; %s, %s\n' "$name" "$size" "$w_ours" "$c_ours" \
    "$w_tc" "$c_tc" "$w_pil" "$c_pil" "$(ratio "$w_ours" "$w_tc")" "$(ratio "$c_ours" "$c_tc")" \
    "$(net "$w_ours" "$sw_ours" "$w_tc" "$sw_tc")" "$(net "$c_ours" "$sc_ours" "$c_tc" "$sc_tc")" \
    "$(ratio "$w_ours" "$w_pil")" "$(ratio "$c_ours" "$c_pil")"
done

# The formats whose codecs are the libraries of their fields (WebP, JPEG 2000,
# HEIF, camera raw) are timed against those libraries' own decoders.
echo
PICTROVA_CLI="$CLI" RUNS="$RUNS" bench/compare_libcodecs.sh
