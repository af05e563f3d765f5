#!/usr/bin/env bash
# Makes the fuzz targets' seed corpora: fuzz/make_seeds.sh OUTFOLDER SEEDTOOL
# The library's own writers (SEEDTOOL, make-fuzz-seeds) and ImageMagick write
# small pictures into OUTFOLDER/jpeg and OUTFOLDER/png; SEEDTOOL also writes
# fax strips into OUTFOLDER/ccitt and EXIF blocks into OUTFOLDER/exif. Nothing is downloaded:
# ImageMagick draws its pictures from its built-in patterns.
set -euo pipefail
out=${1:?usage: make_seeds.sh OUTFOLDER SEEDTOOL}
tool=${2:?usage: make_seeds.sh OUTFOLDER SEEDTOOL}
mkdir -p "$out/jpeg" "$out/png"
"$tool" "$out"

# Only the real ImageMagick: a plain "convert" may be something else.
im=/usr/bin/convert
if [ ! -x "$im" ]; then
  echo "make_seeds.sh: $im missing, only the library's own seeds were made" >&2
  exit 0
fi

long_text=$(printf 'a long comment, compressed in the file %.0s' {1..60})
# Name, ImageMagick's output format prefix (empty: by the extension), then
# its arguments before the output file.
jpeg_seeds=(
  "im-rose||rose: -resize 40x26"
  "im-progressive||rose: -resize 48x32 -interlace Plane"
  "im-gray||gradient:black-white -resize 24x24 -colorspace Gray"
  "im-cmyk||rose: -resize 24x16 -colorspace CMYK"
  "im-420||plasma:fractal -seed 7 -resize 33x21! -sampling-factor 4:2:0"
  "im-422||plasma:fractal -seed 8 -resize 30x18! -sampling-factor 4:2:2 -quality 20"
  "im-411-q100||rose: -resize 32x16! -sampling-factor 4:1:1 -quality 100"
  "im-arithmetic||rose: -resize 32x20 -define jpeg:arithmetic-coding=true"
  "im-arithmetic-progressive||rose: -resize 32x20 -interlace Plane -define jpeg:arithmetic-coding=true"
  "im-comment-exif||rose: -resize 20x13 -set comment seed -define jpeg:optimize-coding=true"
)
png_seeds=(
  "im-rose||rose: -resize 24x16"
  "im-interlaced||rose: -resize 20x13 -interlace PNG"
  "im-palette|PNG8:|rose: -resize 24x16"
  "im-gray1||-size 16x16 gradient:black-white -monochrome"
  "im-gray2||-size 16x16 gradient:black-white -define png:color-type=0 -define png:bit-depth=2"
  "im-gray4-interlaced||-size 16x16 gradient:black-white -define png:color-type=0 -define png:bit-depth=4 -interlace PNG"
  "im-gray16||-size 16x16 gradient:black-white -define png:color-type=0 -define png:bit-depth=16"
  "im-rgb48|PNG48:|rose: -resize 16x10"
  "im-rgba64|PNG64:|rose: -resize 16x10 -alpha set -channel A -evaluate set 50% +channel"
  "im-rgba|PNG32:|rose: -resize 16x10 -alpha set -channel A -fx 'i/w' +channel"
  "im-gray-alpha||-size 16x16 gradient:black-white -colorspace Gray -alpha set -channel A -fx 'j/h' +channel"
  "im-trns-palette|PNG8:|rose: -resize 16x10 -transparent red"
  "im-text||rose: -resize 16x10 -set comment seed -set Title a-title -define png:compression-level=9"
  "im-ztxt||rose: -resize 12x8 -set comment \"\$long_text\""
  "im-background||rose: -resize 12x8 -background blue -define png:bit-depth=8"
)

make() {
  local dir=$1 ext=$2 entry=$3
  local name=${entry%%|*} rest=${entry#*|}
  local prefix=${rest%%|*} args=${rest#*|}
  # The arguments are the fixed list above, quoted as for a shell.
  if ! eval "\"$im\" $args \"$prefix$out/$dir/$name.$ext\"" 2>/dev/null; then
    echo "make_seeds.sh: ImageMagick could not make $name.$ext" >&2
  fi
}
for e in "${jpeg_seeds[@]}"; do make jpeg jpg "$e"; done
for e in "${png_seeds[@]}"; do make png png "$e"; done

# Each further reader's seeds come from a script of its own, fuzz/seeds_NAME.sh
# OUTFOLDER, which writes OUTFOLDER/NAME with ImageMagick or other tools.
for script in "$(dirname "$0")"/seeds_*.sh; do
  [ -e "$script" ] || continue
  "$script" "$out" || echo "make_seeds.sh: $script failed" >&2
done
