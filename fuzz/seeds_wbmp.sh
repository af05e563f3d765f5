#!/usr/bin/env bash
# Seeds of the WBMP reader: fuzz/seeds_wbmp.sh OUTFOLDER writes small WBMP
# files into OUTFOLDER/wbmp with ImageMagick, sizes below and above 127 (one
# and two bytes of width or height), and one cut short.
set -euo pipefail
out=${1:?usage: seeds_wbmp.sh OUTFOLDER}/wbmp
mkdir -p "$out"
im=/usr/bin/convert
if [ ! -x "$im" ]; then
  echo "seeds_wbmp.sh: $im missing, no seeds made" >&2
  exit 0
fi
"$im" -size 13x7 pattern:checkerboard -monochrome "wbmp:$out/small.wbmp"
"$im" -size 130x3 pattern:gray50 -monochrome "wbmp:$out/wide.wbmp"
"$im" -size 5x140 pattern:gray25 -monochrome "wbmp:$out/high.wbmp"
head -c 20 "$out/wide.wbmp" >"$out/cut.wbmp"
