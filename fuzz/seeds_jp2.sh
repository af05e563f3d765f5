#!/usr/bin/env bash
# Seeds of the JPEG 2000 reader: fuzz/seeds_jp2.sh OUTFOLDER writes
# OUTFOLDER/jp2, small files by opj_compress (OpenJPEG's own tool) from
# pictures that ImageMagick draws from its built-in patterns.
set -euo pipefail
out=${1:?usage: seeds_jp2.sh OUTFOLDER}/jp2
mkdir -p "$out"
im=/usr/bin/convert
for tool in "$im" /usr/bin/opj_compress; do
  if [ ! -x "$tool" ]; then
    echo "seeds_jp2.sh: $tool missing, no JPEG 2000 seeds" >&2
    exit 0
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 40x26 "$tmp/rose.ppm"
"$im" gradient:black-white -resize 24x24 -colorspace Gray "$tmp/gray.pgm"
"$im" gradient:black-white -resize 20x20 -colorspace Gray -depth 16 "$tmp/gray16.pgm"
"$im" rose: -resize 24x16 -alpha set -channel A -fx 'i/w' +channel "$tmp/alpha.png"
# Name, input, opj_compress's options (each level of resolution halves the
# picture: small pictures take few).
seeds=(
  "lossless|rose.ppm|-n 3"
  "ratio-20|rose.ppm|-r 20 -I -n 4"
  "layers-rpcl|rose.ppm|-r 40,10,1 -p RPCL -n 3"
  "tiles|rose.ppm|-t 16,16 -n 2"
  "precincts-sop-eph|rose.ppm|-c [16,16],[16,16] -SOP -EPH -n 3"
  "gray|gray.pgm|-n 3"
  "gray-16-bits|gray16.pgm|-r 10 -n 3"
  "alpha|alpha.png|-n 3"
  "subsampled|rose.ppm|-s 2,2 -n 2"
  "code-blocks-modes|rose.ppm|-b 16,16 -M 63 -n 3"
)
for s in "${seeds[@]}"; do
  IFS='|' read -r name input options <<<"$s"
  # shellcheck disable=SC2086
  /usr/bin/opj_compress -i "$tmp/$input" -o "$out/$name.jp2" $options >/dev/null 2>&1 ||
    echo "seeds_jp2.sh: opj_compress could not make $name.jp2" >&2
done
