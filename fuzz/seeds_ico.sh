#!/usr/bin/env bash
# Seeds of the icon reader: fuzz/seeds_ico.sh OUTFOLDER writes OUTFOLDER/ico
# with ImageMagick: several sizes (one a PNG image), palettes, AND masks, alpha.
set -euo pipefail
out=${1:?usage: seeds_ico.sh OUTFOLDER}/ico
mkdir -p "$out"
im=/usr/bin/convert
[ -x "$im" ] || exit 0
seeds=(
  "sizes|rose: -resize 20x20! -define icon:auto-resize=16,24,32"
  "alpha32|rose: -resize 12x12! -alpha set -channel A -fx i/w +channel"
  "palette16|rose: -resize 12x12! -colors 16"
  "palette16-mask|rose: -resize 12x12! -fuzz 20% -transparent rgb(70,50,40) -colors 16"
  "palette256|rose: -resize 10x10! -colors 200 -type palette"
  "bilevel|rose: -resize 16x16! -type bilevel"
)
for e in "${seeds[@]}"; do
  name=${e%%|*} args=${e#*|}
  # shellcheck disable=SC2086 # the arguments are the fixed words above
  "$im" $args "$out/$name.ico" 2>/dev/null || echo "seeds_ico.sh: ImageMagick could not make $name.ico" >&2
done
