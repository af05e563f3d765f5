#!/usr/bin/env bash
# Seeds of the TGA reader: fuzz/seeds_tga.sh OUTFOLDER writes small files
# into OUTFOLDER/tga: ImageMagick's (24 and 32 bits, colour-mapped, gray, run-
# length coded or not, every origin) and, for what ImageMagick does not
# write (1, 4 and 16 bits, 15-bit colour maps, the extension area), files
# built byte by byte.
set -euo pipefail
out=${1:?usage: seeds_tga.sh OUTFOLDER}/tga
mkdir -p "$out"
im=/usr/bin/convert
if [ -x "$im" ]; then
  "$im" rose: -resize 21x13! "$out/im-rgb.tga"
  "$im" rose: -resize 21x13! -compress RLE -orient TopLeft "$out/im-rgb-rle-top-down.tga"
  "$im" rose: -resize 21x13! -orient TopRight "$out/im-rgb-right-to-left.tga"
  "$im" rose: -resize 24x16! -type Palette -compress RLE "$out/im-palette-rle.tga"
  "$im" rose: -resize 24x16! -type Palette "$out/im-palette.tga"
  "$im" rose: -resize 17x9! -colorspace Gray -compress RLE "$out/im-gray-rle.tga"
  "$im" rose: -resize 16x10! -alpha set -channel A -fx 'i/w' +channel -compress RLE "$out/im-rgba-rle.tga"
else
  echo "seeds_tga.sh: $im missing, only the built seeds were made" >&2
fi
python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]
def tga(name, w, h, kind, depth, desc=0x20, cmap=(0, 0, 0), cmap_bytes=b"", data=b"", ident=b"", tail=b""):
    head = struct.pack("<BBBHHBHHHHBB", len(ident), 1 if cmap[1] else 0, kind, cmap[0], cmap[1], cmap[2],
                       3, 4, w, h, depth, desc)
    open(f"{out}/{name}.tga", "wb").write(head + ident + cmap_bytes + data + tail)
pix = lambda n: bytes((i * 29 + i // 7) & 255 for i in range(n))
tga("bilevel", 19, 5, 3, 1, data=pix(3 * 5))
tga("4-bits-mapped", 9, 4, 1, 4, cmap=(0, 16, 24), cmap_bytes=pix(48), data=pix(5 * 4))
tga("16-bits", 7, 4, 2, 16, desc=0, data=pix(7 * 4 * 2))
tga("16-bits-rle", 7, 4, 10, 16, data=b"\x85\x12\x7c\x02\x01\x02\x03\x04\x05\x06\x94\xff\x7f")
tga("map-15-bits-from-5", 6, 3, 9, 8, cmap=(5, 4, 15), cmap_bytes=pix(8),
    data=b"\x83\x05\x01\x06\x07\x8a\x08", ident=b"built")
ext = bytearray(495)
ext[0:2] = struct.pack("<H", 495)
ext[2:8] = b"author"
ext[367:379] = struct.pack("<6H", 5, 17, 2020, 13, 14, 15)
ext[379:382] = b"job"
ext[471:474] = b"\x10\x20\x30"
ext[474:482] = struct.pack("<4H", 3, 2, 22, 10)
body = pix(5 * 3 * 3)
footer = struct.pack("<II", 18 + len(body), 0) + b"TRUEVISION-XFILE.\x00"
tga("extension-area", 5, 3, 2, 24, data=body, tail=bytes(ext) + footer)
PY
