#!/usr/bin/env bash
# Seeds of the EXIF parser's fuzz target: fuzz/seeds_exif.sh OUTFOLDER writes
# OUTFOLDER/exif, the EXIF blocks (the APP1 data, "Exif\0\0" and a TIFF
# structure) of JPEG files that exiftool tagged and ImageMagick copied, in
# both byte orders, with and without a thumbnail.
set -euo pipefail
out=${1:?usage: seeds_exif.sh OUTFOLDER}/exif
mkdir -p "$out"
im=/usr/bin/convert
exiftool=/usr/bin/exiftool
for tool in "$im" "$exiftool"; do
  if [ ! -x "$tool" ]; then
    echo "seeds_exif.sh: $tool missing, only the library's own EXIF seeds" >&2
    exit 0
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 40x26 "$tmp/picture.jpg"
"$im" rose: -resize 16x10 "$tmp/thumb.jpg"

camera=(-Make=Pictrova "-Model=Seed Two" -Orientation#=6 "-DateTimeOriginal=2024:01:02 03:04:05"
  -ExposureTime=0.004 -FNumber=2.8 -ISO=200 -FocalLength=35 -Flash#=16 -ExifImageWidth=40
  -ExifImageHeight=26 -XResolution=72 -YResolution=72 -ResolutionUnit=inches)

# The block of a copy of the picture that exiftool tagged: seed NAME ARGUMENTS...
seed() {
  local name=$1
  shift
  cp "$tmp/picture.jpg" "$tmp/$name.jpg"
  if ! "$exiftool" -q -overwrite_original "$@" "$tmp/$name.jpg" >/dev/null 2>&1; then
    echo "seeds_exif.sh: exiftool could not make $name" >&2
    return 0
  fi
  { printf 'Exif\0\0'; "$exiftool" -b -EXIF "$tmp/$name.jpg"; } >"$out/$name"
}
seed exiftool-little-endian -ExifByteOrder=II "${camera[@]}"
seed exiftool-big-endian -ExifByteOrder=MM "${camera[@]}"
seed exiftool-comment-cm -UserComment=hello -ResolutionUnit=cm -XResolution=118 -YResolution=118
seed exiftool-thumbnail -ExifByteOrder=MM -Orientation#=3 "-ThumbnailImage<=$tmp/thumb.jpg"
seed exiftool-gps-interop -GPSLatitude=51.5 -GPSLatitudeRef=N -InteropIndex=R98 -Software=seeds
# ImageMagick turns the picture upright and rewrites the orientation in the block.
if [ -s "$out/exiftool-little-endian" ]; then
  "$im" "$tmp/exiftool-little-endian.jpg" -auto-orient "$tmp/magick.jpg"
  { printf 'Exif\0\0'; "$exiftool" -b -EXIF "$tmp/magick.jpg"; } >"$out/imagemagick-upright"
fi
