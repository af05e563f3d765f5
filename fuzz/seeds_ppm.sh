#!/usr/bin/env bash
# Seeds of the PBM/PGM/PPM reader: fuzz/seeds_ppm.sh OUTFOLDER writes small
# files of every kind into OUTFOLDER/ppm, made by netpbm (plain and raw, 1, 8
# and 16 bits, odd maximum values) and a few with comments in every place.
set -euo pipefail
out=${1:?usage: seeds_ppm.sh OUTFOLDER}/ppm
mkdir -p "$out"
if ! command -v ppmpat >/dev/null || ! command -v pamdepth >/dev/null; then
  echo "seeds_ppm.sh: netpbm missing, no seeds made" >&2
  exit 0
fi
ppmpat -anticamo -randomseed=5 11 7 >"$out/raw-255.ppm"
pnmtoplainpnm "$out/raw-255.ppm" >"$out/plain-255.ppm"
pamdepth 15 "$out/raw-255.ppm" >"$out/raw-15.ppm"
pamdepth 1000 "$out/raw-255.ppm" >"$out/raw-1000.ppm"
pamdepth 65535 "$out/raw-255.ppm" | pnmtoplainpnm >"$out/plain-65535.ppm"
ppmtopgm "$out/raw-255.ppm" >"$out/raw-255.pgm"
pnmtoplainpnm "$out/raw-255.pgm" >"$out/plain-255.pgm"
pamdepth 4095 "$out/raw-255.pgm" >"$out/raw-4095.pgm"
pgmtopbm -threshold "$out/raw-255.pgm" >"$out/raw.pbm"
pnmtoplainpnm "$out/raw.pbm" >"$out/plain.pbm"
printf 'P6\n# a comment\n2 # width\n2\n# before the maximum\n255#last\n' >"$out/comments.ppm"
head -c 12 /dev/zero | tr '\0' '\177' >>"$out/comments.ppm"
printf 'P1\n# bits\n5 2\n0 1 0 1 1\n# inside\n10100\n' >"$out/comments-plain.pbm"
printf 'P2 3 1 10\n1 # one\n20 5\n' >"$out/above-maximum.pgm"
