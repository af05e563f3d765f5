#!/usr/bin/env bash
# Seeds of the TIFF reader's fuzz target: fuzz/seeds_tif.sh OUTFOLDER writes
# small TIFF files of every compression and sample layout into OUTFOLDER/tif,
# drawn by ImageMagick from its built-in patterns and recoded by libtiff's tiffcp.
set -euo pipefail
out=${1:?usage: seeds_tif.sh OUTFOLDER}/tif
mkdir -p "$out"
im=/usr/bin/convert
tiffcp=/usr/bin/tiffcp
if [ ! -x "$im" ] || [ ! -x "$tiffcp" ]; then
  echo "seeds_tif.sh: ImageMagick or tiffcp missing, no TIFF seeds" >&2
  exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 24x16! -compress none "$tmp/rgb.tif"
"$im" rose: -resize 24x16! -colorspace Gray -compress none "$tmp/gray.tif"
"$im" -size 64x24 -seed 3 plasma:fractal -monochrome -depth 1 -compress none "$tmp/bw.tif"

seed() {
  local name=$1
  shift
  "$@" 2>/dev/null || echo "seeds_tif.sh: could not make $name" >&2
}
for c in none lzw lzw:2 zip:2 packbits; do
  seed "rgb-$c" "$tiffcp" -c "$c" -r 8 "$tmp/rgb.tif" "$out/rgb-${c/:/-}.tif"
done
seed rgb-bigendian-tiles "$tiffcp" -B -c lzw -t -w 16 -l 16 "$tmp/rgb.tif" "$out/rgb-bigendian-tiles.tif"
seed rgb-planar "$tiffcp" -p separate -c packbits "$tmp/rgb.tif" "$out/rgb-planar.tif"
seed gray-lzw "$tiffcp" -c lzw:2 "$tmp/gray.tif" "$out/gray-lzw.tif"
for c in g3 g3:2d g3:2d:fill g4 packbits; do
  seed "bw-$c" "$tiffcp" -c "$c" -r 8 "$tmp/bw.tif" "$out/bw-${c//:/-}.tif"
done
seed bw-g4-lsb "$tiffcp" -c g4 -f lsb2msb "$tmp/bw.tif" "$out/bw-g4-lsb.tif"
seed pages "$tiffcp" -c lzw "$tmp/rgb.tif" "$tmp/gray.tif" "$out/pages.tif"
seed palette "$im" rose: -resize 24x16! -colors 16 -type Palette "$out/palette.tif"
seed rgba "$im" rose: -resize 16x10! -alpha set -channel A -fx 'i/w' +channel -compress zip "$out/rgba.tif"
seed rgb16 "$im" rose: -resize 16x10! -depth 16 "$out/rgb16.tif"
seed cmyk "$im" rose: -resize 16x10! -colorspace CMYK "$out/cmyk.tif"
seed gray4 "$im" rose: -resize 16x10! -colorspace Gray -depth 4 "$out/gray4.tif"
seed rgb-jpeg "$im" rose: -resize 24x16! -compress jpeg -define tiff:rows-per-strip=8 "$out/rgb-jpeg.tif"
# A camera's values in both directories (and the EXIF directory pointer), big-endian.
if [ -x /usr/bin/exiftool ]; then
  seed rgb-exif "$tiffcp" -B -c none "$tmp/rgb.tif" "$out/rgb-exif.tif"
  seed rgb-exif-values /usr/bin/exiftool -q -overwrite_original -Make=Seed -Model=One -ExposureTime=0.01 \
    -FNumber=2 -ISO=200 -UserComment=seed "$out/rgb-exif.tif"
fi
