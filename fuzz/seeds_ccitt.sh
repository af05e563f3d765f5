#!/usr/bin/env bash
# Seeds of the fax decoder's fuzz target: fuzz/seeds_ccitt.sh OUTFOLDER writes
# OUTFOLDER/ccitt, strips of fax code that libtiff's tiffcp wrote (Group 3
# one- and two-dimensional, Group 4, both bit orders) from bilevel pictures
# ImageMagick draws, each behind the four bytes that tell the target how to
# decode it: coding, bit order and fill bits, width - 1 (two bytes), rows - 1.
set -euo pipefail
out=${1:?usage: seeds_ccitt.sh OUTFOLDER}/ccitt
mkdir -p "$out"
im=/usr/bin/convert
for tool in "$im" /usr/bin/tiffcp /usr/bin/tiffdump; do
  if [ ! -x "$tool" ]; then
    echo "seeds_ccitt.sh: $tool missing, only the library's own fax seeds" >&2
    exit 0
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" -size 100x40 -seed 3 plasma:fractal -monochrome -depth 1 -compress none "$tmp/plasma.tif"
"$im" rose: -resize 300x200! -monochrome -depth 1 -compress none "$tmp/rose.tif"
"$im" -size 1728x8 xc:white -fill black -draw 'rectangle 5,1 1700,3' -monochrome -depth 1 \
  -compress none "$tmp/bars.tif"

# The value of a one-value tag in tiffdump's listing.
tag() { sed -n "s/^$1 ([0-9]*) [A-Z]* ([0-9]*) 1<\([0-9]*\)>.*/\1/p" "$2"; }

# Name, picture, tiffcp's compression, bit order (msb2lsb or lsb2msb), coding number.
seeds=(
  "g3-1d-plasma|plasma|g3|msb2lsb|1"
  "g3-1d-bars-lsb|bars|g3|lsb2msb|1"
  "g3-2d-rose|rose|g3:2d|msb2lsb|2"
  "g3-2d-fill-plasma|plasma|g3:2d:fill|lsb2msb|2"
  "g4-rose|rose|g4|msb2lsb|3"
  "g4-bars-lsb|bars|g4|lsb2msb|3"
)
for s in "${seeds[@]}"; do
  IFS='|' read -r name picture compression order coding <<<"$s"
  tif="$tmp/$name.tif"
  if ! /usr/bin/tiffcp -c "$compression" -f "$order" -r 100000 "$tmp/$picture.tif" "$tif" 2>/dev/null; then
    echo "seeds_ccitt.sh: tiffcp could not make $name" >&2
    continue
  fi
  /usr/bin/tiffdump "$tif" >"$tmp/dump" 2>/dev/null
  w=$(tag ImageWidth "$tmp/dump")
  h=$(tag ImageLength "$tmp/dump")
  offset=$(tag StripOffsets "$tmp/dump")
  count=$(tag StripByteCounts "$tmp/dump")
  if [ -z "$w" ] || [ -z "$h" ] || [ -z "$offset" ] || [ -z "$count" ] || [ "$h" -gt 256 ]; then
    echo "seeds_ccitt.sh: no single strip in $name" >&2
    continue
  fi
  mode=$coding
  [ "$order" = lsb2msb ] && mode=$((mode | 4))
  [[ $compression == *fill* ]] && mode=$((mode | 8))
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' "$mode" $(((w - 1) >> 8)) $(((w - 1) & 255)) $((h - 1)))" \
    >"$out/$name"
  dd if="$tif" bs=1 skip="$offset" count="$count" status=none >>"$out/$name"
done
