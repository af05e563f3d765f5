#!/usr/bin/env bash
# Seeds of the GIF reader's fuzz target: fuzz/seeds_gif.sh OUTFOLDER writes
# small GIFs made by ImageMagick from its built-in patterns into OUTFOLDER/gif:
# palette sizes, black and white, interlacing, transparency and animations
# with offsets, disposal methods and local palettes.
set -euo pipefail
out=${1:?usage: seeds_gif.sh OUTFOLDER}
im=/usr/bin/convert
mkdir -p "$out/gif"
if [ ! -x "$im" ]; then
  echo "seeds_gif.sh: $im missing, no GIF seeds were made" >&2
  exit 0
fi
# Name, then ImageMagick's arguments before the output file.
seeds=(
  "im-rose-256|rose: -resize 24x16 -colors 256"
  "im-rose-4|rose: -resize 20x13 -colors 4"
  "im-bilevel|-size 19x7 pattern:checkerboard -monochrome"
  "im-interlaced|rose: -resize 16x11 -colors 32 -interlace GIF"
  "im-transparent|rose: -resize 16x11 -colors 16 -fuzz 10% -transparent white"
  "im-gif87a|rose: -resize 12x8 -colors 8 GIF87:"
  "im-comment|rose: -resize 12x8 -colors 8 -set comment seed"
  "im-animation|-dispose Background -delay 5 -size 12x10 xc:red -dispose None -page 12x10+3+2 -size 5x4 xc:blue -dispose Previous -page +6+5 -size 4x4 xc:lime -loop 0"
  "im-animation-local|-dispose None rose: -resize 16x11 -colors 8 -page +4+3 \\( -size 8x6 gradient:orange-navy -colors 4 \\)"
  "im-animation-transparent|-dispose None -size 10x10 xc:yellow \\( -size 10x10 xc:none -fill blue -draw 'rectangle 2,2 6,6' \\) -interlace GIF"
)
for e in "${seeds[@]}"; do
  name=${e%%|*} args=${e#*|}
  prefix=""
  case $args in *" GIF87:") prefix="GIF87:"; args=${args% GIF87:} ;; esac
  # The arguments are the fixed list above, quoted as for a shell.
  if ! eval "\"$im\" $args \"$prefix$out/gif/$name.gif\"" 2>/dev/null; then
    echo "seeds_gif.sh: ImageMagick could not make $name.gif" >&2
  fi
done
