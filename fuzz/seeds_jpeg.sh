#!/usr/bin/env bash
# Seeds of the JPEG reader's metadata paths: fuzz/seeds_jpeg.sh OUTFOLDER
# writes OUTFOLDER/jpeg/exif-*.jpg, small pictures with EXIF (both byte
# orders, every orientation, a thumbnail) and IPTC, written by exiftool.
set -euo pipefail
out=${1:?usage: seeds_jpeg.sh OUTFOLDER}
im=/usr/bin/convert
et=/usr/bin/exiftool
if [ ! -x "$im" ] || [ ! -x "$et" ]; then
  echo "seeds_jpeg.sh: ImageMagick or exiftool missing, no EXIF seeds" >&2
  exit 0
fi
mkdir -p "$out/jpeg"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 16x12 "$tmp/thumb.jpg"
for order in II MM; do
  for o in 1 3 6 8; do
    f="$out/jpeg/exif-$order-o$o.jpg"
    "$im" rose: -resize 40x26 "$f"
    "$et" -q -q -overwrite_original -ExifByteOrder=$order -Orientation#=$o -Make=Seed -Model=One \
      -DateTimeOriginal='2020:01:02 03:04:05' -FNumber=2.8 -ExposureTime=0.01 -ISO=100 \
      -UserComment=seed -XResolution=72 -YResolution=72 -ResolutionUnit=inches "$f"
  done
  f="$out/jpeg/exif-$order-thumbnail.jpg"
  "$im" rose: -resize 48x32 "$f"
  "$et" -q -q -overwrite_original -ExifByteOrder=$order -Orientation#=5 "-ThumbnailImage<=$tmp/thumb.jpg" "$f"
done
f="$out/jpeg/exif-iptc.jpg"
"$im" rose: -resize 24x16 "$f"
"$et" -q -q -overwrite_original -IPTC:ObjectName=Seed -IPTC:Keywords=a -IPTC:Keywords=b -Make=Seed "$f"
