#!/usr/bin/env bash
# Times 128 x 128 thumbnails of 40 JPEG photos of 6000 x 4000 by
# pictrova-cli thumbnails (the grid's background loaders, reduced JPEG
# decoding, PNG output) against vipsthumbnail --size 128 over the same files
# in one process and PIL (Image.draft, then thumbnail) in one process; all
# three write PNG files. Whole processes are timed (wall and processor time,
# best of RUNS). The photos are made here by ImageMagick: eight distinct
# ones, each copied five times under its own name (making forty takes longer
# than the timing). Not run by the tests.
#
#   bench/compare_thumbs.sh [BUILD_DIR]     (default: build)
#   RUNS=3 bench/compare_thumbs.sh build-rel
set -euo pipefail
cd "$(dirname "$0")/.."
# install_missing and best
. bench/common.sh

BUILD=${1:-build}
RUNS=${RUNS:-1}
CLI=$BUILD/bin/pictrova-cli
MAGICK=/usr/bin/convert
# PIL comes as a Debian package, for the system's python.
PY=/usr/bin/python3

missing=()
command -v vipsthumbnail >/dev/null 2>&1 || missing+=(libvips-tools)
"$PY" -c 'import PIL' >/dev/null 2>&1 || missing+=(python3-pil)
install_missing "${missing[@]}"
if [ ! -e "$CLI" ]; then
  echo "compare_thumbs.sh: $CLI not found; build first (cmake --build $BUILD --target pictrova-cli)" >&2
  exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/in" "$WORK/ours" "$WORK/vips" "$WORK/pil"
# Photo-like pictures: smooth fractal colour, a flat shape, fine noise.
for s in 1 2 3 4 5 6 7 8; do
  "$MAGICK" -size 600x400 -seed "$s" plasma:fractal -resize '6000x4000!' \
    -fill '#204080' -draw "circle $((s * 600)),2000 $((s * 600)),2700" \
    -attenuate 0.4 +noise Gaussian -quality 90 "$WORK/in/p${s}_0.jpg"
  for c in 1 2 3 4; do cp "$WORK/in/p${s}_0.jpg" "$WORK/in/p${s}_$c.jpg"; done
done
FILES=("$WORK"/in/*.jpg)


ours() { "$CLI" thumbnails --out "$WORK/ours" "${FILES[@]}"; }
vips_thumbs() { vipsthumbnail --size 128 -o "$WORK/vips/%s.png" "${FILES[@]}"; }
pil_thumbs() {
  "$PY" - "$WORK/pil" "${FILES[@]}" <<'PY'
import os, sys
from PIL import Image
out = sys.argv[1]
for f in sys.argv[2:]:
    im = Image.open(f)
    im.draft("RGB", (128, 128))
    im.thumbnail((128, 128))
    im.save(os.path.join(out, os.path.basename(f) + ".png"))
PY
}

echo "threads: $(nproc), best of $RUNS, load: $(uptime | sed 's/.*load average: //')"
read -r w_ours c_ours < <(best ours)
count=$(ls "$WORK/ours" | wc -l)
sizes=$(/usr/bin/identify -format '%wx%h ' "$WORK/ours/p1_0.jpg.png")
read -r w_vips c_vips < <(best vips_thumbs)
read -r w_pil c_pil < <(best pil_thumbs)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }'; }
printf '\n%d JPEGs of 6000x4000 to 128x128 thumbnails:\n' "${#FILES[@]}"
printf '  %-24s %8s %9s\n' "" "wall s" "cpu s"
printf '  %-24s %8s %9s   (%s files, %s)\n' "pictrova-cli thumbnails" "$w_ours" "$c_ours" "$count" "$sizes"
printf '  %-24s %8s %9s   pictrova/vipsthumbnail: wall %s, cpu %s (aim: wall at most 0.5)\n' vipsthumbnail \
  "$w_vips" "$c_vips" "$(ratio "$w_ours" "$w_vips")" "$(ratio "$c_ours" "$c_vips")"
printf '  %-24s %8s %9s   pictrova/PIL:           wall %s, cpu %s\n' PIL "$w_pil" "$c_pil" \
  "$(ratio "$w_ours" "$w_pil")" "$(ratio "$c_ours" "$c_pil")"
