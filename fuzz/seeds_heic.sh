#!/usr/bin/env bash
# Seeds of the HEIF reader: fuzz/seeds_heic.sh OUTFOLDER writes
# OUTFOLDER/heic, small files by heif-enc (libheif's own tool) from pictures
# that ImageMagick draws from its built-in patterns.
set -euo pipefail
out=${1:?usage: seeds_heic.sh OUTFOLDER}/heic
mkdir -p "$out"
im=/usr/bin/convert
for tool in "$im" /usr/bin/heif-enc; do
  if [ ! -x "$tool" ]; then
    echo "seeds_heic.sh: $tool missing, no HEIF seeds" >&2
    exit 0
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 40x26 "$tmp/rose.png"
"$im" plasma:fractal -seed 5 -resize 64x48! "$tmp/plasma.png"
"$im" rose: -resize 24x16 -alpha set -channel A -fx 'i/w' +channel "$tmp/alpha.png"
"$im" rose: -resize 32x22 -depth 16 "$tmp/deep.png"
# Name, input, heif-enc's options.
seeds=(
  "quality-50|rose.png|-q 50"
  "quality-10|plasma.png|-q 10"
  "chroma-444|rose.png|-q 80 -p chroma=444"
  "chroma-422|plasma.png|-q 60 -p chroma=422"
  "alpha|alpha.png|-q 70"
  "thumbnail|plasma.png|-q 40 -t 16"
  "ten-bits|deep.png|-q 60 -b 10"
)
for s in "${seeds[@]}"; do
  IFS='|' read -r name input options <<<"$s"
  # shellcheck disable=SC2086
  /usr/bin/heif-enc $options "$tmp/$input" -o "$out/$name.heic" >/dev/null 2>&1 ||
    echo "seeds_heic.sh: heif-enc could not make $name.heic" >&2
done
