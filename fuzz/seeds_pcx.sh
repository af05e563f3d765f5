#!/usr/bin/env bash
# Seeds of the PCX and DCX readers: fuzz/seeds_pcx.sh OUTFOLDER writes small
# files into OUTFOLDER/pcx and OUTFOLDER/dcx: ImageMagick's (24-bit and
# 8-bit palette, run-length coded or not, several DCX pages) and, for the
# layouts ImageMagick does not write (1, 2 and 4 bits, bit planes), files
# built byte by byte. The DCX seeds are made here too.
set -euo pipefail
out=${1:?usage: seeds_pcx.sh OUTFOLDER}
mkdir -p "$out/pcx" "$out/dcx"
im=/usr/bin/convert
if [ -x "$im" ]; then
  "$im" rose: -resize 21x13! "$out/pcx/im-rgb.pcx"
  "$im" rose: -resize 21x13! -compress none "$out/pcx/im-rgb-uncompressed.pcx"
  "$im" rose: -resize 24x16! -colors 40 -type Palette "$out/pcx/im-palette.pcx"
  "$im" rose: -resize 17x9! -density 150x75 -units PixelsPerInch -colorspace Gray "$out/pcx/im-gray.pcx"
  "$im" rose: -resize 12x8! \( rose: -resize 9x5! -colors 8 -type Palette \) "$out/dcx/im-two-pages.dcx"
  "$im" -size 30x20 -seed 2 plasma:fractal "$out/dcx/im-one-page.dcx"
else
  echo "seeds_pcx.sh: $im missing, only the built seeds were made" >&2
fi
python3 - "$out/pcx" <<'PY'
import struct, sys
out = sys.argv[1]
def pcx(name, w, h, bits, planes, bpl, rle, trailer=b""):
    head = struct.pack("<BBBBHHHHHH", 10, 5, 1 if rle else 0, bits, 0, 0, w - 1, h - 1, 72, 72)
    head += bytes((i * 53) & 255 for i in range(48)) + bytes([0, planes]) + struct.pack("<HH", bpl, 1)
    head += bytes(128 - len(head))
    data = bytearray()
    for y in range(h):
        for p in range(planes):
            line = bytes(((x // 3) * 37 + y * 11 + p * 71) & 255 for x in range(bpl))
            for v in line:
                if rle and (v >= 192 or v % 5 == 0):
                    data += bytes([0xC2 if v % 5 == 0 else 0xC1, v])
                else:
                    data.append(v)
    open(f"{out}/{name}.pcx", "wb").write(head + data + trailer)
pcx("bilevel", 19, 7, 1, 1, 4, True)
pcx("bilevel-uncompressed", 16, 4, 1, 1, 2, False)
pcx("2-bits", 13, 5, 2, 1, 4, True)
pcx("4-bits", 13, 5, 4, 1, 8, True)
pcx("4-planes", 21, 6, 1, 4, 4, True)
pcx("8-bits-palette", 9, 4, 8, 1, 10, True, b"\x0c" + bytes((i * 7) & 255 for i in range(768)))
PY
