#!/usr/bin/env bash
# Seeds of the BMP reader: fuzz/seeds_bmp.sh OUTFOLDER writes OUTFOLDER/bmp
# with ImageMagick, one small file per header kind, bit depth and coding.
set -euo pipefail
out=${1:?usage: seeds_bmp.sh OUTFOLDER}/bmp
mkdir -p "$out"
im=/usr/bin/convert
[ -x "$im" ] || exit 0
src=(rose: -resize 19x13!)
seeds=(
  "os2-24|bmp2:|-type truecolor"
  "os2-8|bmp2:|-type palette"
  "win-24|bmp3:|-type truecolor"
  "win-8|bmp3:|-type palette -compress none"
  "win-rle8|bmp3:|-type palette -compress RLE"
  "win-4|bmp3:|-colors 16 -compress none"
  "win-1|bmp3:|-type bilevel"
  "v5-32-alpha|bmp:|-alpha set -channel A -fx i/w +channel -type truecolormatte"
  "v5-565|bmp:|-type truecolor -define bmp:subtype=RGB565"
  "v5-555|bmp:|-type truecolor -define bmp:subtype=RGB555"
  "v5-8|bmp:|-type palette -compress none"
)
for e in "${seeds[@]}"; do
  name=${e%%|*} rest=${e#*|}
  prefix=${rest%%|*} args=${rest#*|}
  # shellcheck disable=SC2086 # the arguments are the fixed words above
  "$im" "${src[@]}" $args "$prefix$out/$name.bmp" 2>/dev/null ||
    echo "seeds_bmp.sh: ImageMagick could not make $name.bmp" >&2
done
