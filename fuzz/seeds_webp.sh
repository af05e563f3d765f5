#!/usr/bin/env bash
# Seeds of the WebP reader: fuzz/seeds_webp.sh OUTFOLDER writes OUTFOLDER/webp,
# small files by cwebp and img2webp (libwebp's own tools) from pictures that
# ImageMagick draws from its built-in patterns.
set -euo pipefail
out=${1:?usage: seeds_webp.sh OUTFOLDER}/webp
mkdir -p "$out"
im=/usr/bin/convert
for tool in "$im" /usr/bin/cwebp /usr/bin/img2webp /usr/bin/pnmtopng; do
  if [ ! -x "$tool" ]; then
    echo "seeds_webp.sh: $tool missing, no WebP seeds" >&2
    exit 0
  fi
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" rose: -resize 40x26 "$tmp/rose.ppm"
"$im" rose: -resize 24x16 -alpha set -channel A -fx 'i/w' +channel "$tmp/alpha.png"
"$im" plasma:fractal -seed 3 -resize 33x21! "$tmp/plasma.ppm"
# Name, input, cwebp's options.
seeds=(
  "lossy|rose.ppm|-q 75"
  "lossy-low|plasma.ppm|-q 5 -m 6 -sns 100"
  "lossy-sharp|rose.ppm|-q 90 -sharp_yuv -segments 1"
  "lossless|rose.ppm|-lossless"
  "lossless-fast|plasma.ppm|-lossless -z 0"
  "alpha-lossy|alpha.png|-q 60 -alpha_q 50"
  "alpha-lossless|alpha.png|-lossless -exact"
  "alpha-filtered|alpha.png|-q 70 -alpha_filter best -alpha_method 1"
  "metadata|rose.ppm|-q 50 -metadata all"
)
for s in "${seeds[@]}"; do
  IFS='|' read -r name input options <<<"$s"
  # The options are the fixed list above.
  # shellcheck disable=SC2086
  /usr/bin/cwebp -quiet $options "$tmp/$input" -o "$out/$name.webp" ||
    echo "seeds_webp.sh: cwebp could not make $name.webp" >&2
done
/usr/bin/pnmtopng "$tmp/rose.ppm" >"$tmp/a.png"
/usr/bin/pnmtopng "$tmp/plasma.ppm" >"$tmp/b.png" 2>/dev/null || true
"$im" "$tmp/plasma.ppm" -resize 40x26! "$tmp/b.png"
/usr/bin/img2webp -loop 0 "$tmp/a.png" "$tmp/b.png" -o "$out/animation.webp" >/dev/null 2>&1 ||
  echo "seeds_webp.sh: img2webp could not make animation.webp" >&2
