#!/usr/bin/env bash
# Times the decoding of a 6000 x 4000 picture by pictrova-cli against the
# libraries' own command-line decoders, one format after another: WebP
# (dwebp), JPEG 2000 (opj_decompress), HEIF (heif-convert) and camera raw
# (dcraw_emu, on a DNG the benchmark writes). Both sides end in the same JPEG
# encoder at the same quality: pictrova-cli writes the JPEG itself, the tools
# write a PPM that cjpeg encodes (heif-convert writes its JPEG itself). Whole
# processes are timed, best of RUNS, wall and processor time, and the ratios
# pictrova/tool printed; the aim is at most 1.1. Not run by the tests.
#
#   bench/compare_libcodecs.sh                 uses build/bin/pictrova-cli
#   PICTROVA_CLI=path RUNS=5 bench/compare_libcodecs.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# install_missing, best (wall and processor time of the best of RUNS runs)
. bench/common.sh

CLI=${PICTROVA_CLI:-build/bin/pictrova-cli}
RUNS=${RUNS:-3}
QUALITY=${QUALITY:-90}
MAGICK=/usr/bin/convert

missing=()
[ -x /usr/bin/cwebp ] || missing+=(webp)
[ -x /usr/bin/opj_compress ] || missing+=(libopenjp2-tools)
[ -x /usr/bin/heif-enc ] || missing+=(libheif-examples)
[ -x /usr/bin/dcraw_emu ] || missing+=(libraw-bin)
[ -x /usr/bin/cjpeg ] || missing+=(libjpeg-turbo-progs)
[ -x "$MAGICK" ] || missing+=(imagemagick)
install_missing "${missing[@]}"
if [ ! -x "$CLI" ]; then
  echo "compare_libcodecs.sh: $CLI not found; build it first (cmake --build build --target pictrova-cli)" >&2
  exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/magick"
cat >"$WORK/magick/policy.xml" <<'XML'
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
XML
export MAGICK_CONFIGURE_PATH=$WORK/magick

# A photo-like picture: smooth fractal colour with fine noise.
"$MAGICK" -size 1500x1000 -seed 7 plasma:fractal -resize '6000x4000!' -attenuate 0.4 \
  +noise Gaussian -depth 8 "$WORK/photo.ppm"
"$MAGICK" "$WORK/photo.ppm" "$WORK/photo.png"
/usr/bin/cwebp -quiet -q 85 "$WORK/photo.ppm" -o "$WORK/photo.webp"
/usr/bin/opj_compress -i "$WORK/photo.ppm" -o "$WORK/photo.jp2" -r 20 -I >/dev/null
/usr/bin/heif-enc -q 85 "$WORK/photo.png" -o "$WORK/photo.heic" >/dev/null
# A 6000 x 4000 Bayer mosaic as a DNG: the same writer the tests use.
PYTHON=/usr/bin/python3
"$PYTHON" - "$WORK/photo.ppm" "$WORK/photo.dng" <<'PY'
import struct, sys
src, dst = sys.argv[1], sys.argv[2]
data = open(src, 'rb').read()
# P6 header: four whitespace-separated fields.
parts, pos = [], 2
while len(parts) < 3:
    while data[pos:pos + 1].isspace(): pos += 1
    start = pos
    while not data[pos:pos + 1].isspace(): pos += 1
    parts.append(int(data[start:pos]))
pos += 1
w, h = parts[0], parts[1]
rgb = memoryview(data)[pos:]
# 16-bit samples holding the 8-bit values (white level 255), RGGB: taken
# by slices, so that writing 24 million samples takes a moment.
mosaic = bytearray(w * h * 2)
for y in range(h):
    row = rgb[y * w * 3:(y + 1) * w * 3]
    out = memoryview(mosaic)[y * w * 2:(y + 1) * w * 2]
    if y % 2 == 0:
        out[0::4], out[2::4] = row[0::6], row[4::6]
    else:
        out[0::4], out[2::4] = row[1::6], row[5::6]
def tag(id, typ, count, value): return struct.pack('<HHII', id, typ, count, value)
values_at = 8 + len(mosaic)
strings = b'Pictrova\0Bench\0\0Pictrova Bench\0\0'
matrix = b''.join(struct.pack('<ii', int(v * 10000), 10000) for v in
                  (3.2406, -1.5372, -0.4986, -0.9689, 1.8758, 0.0415, 0.0557, -0.2040, 1.0570))
neutral = b''.join(struct.pack('<II', int(v * 100), 100) for v in (0.55, 1.0, 0.75))
values = strings + matrix + neutral
ifd_at = values_at + len(values)
tags = [tag(254, 4, 1, 0), tag(256, 4, 1, w), tag(257, 4, 1, h), tag(258, 3, 1, 16), tag(259, 3, 1, 1),
        tag(262, 3, 1, 32803), tag(271, 2, 9, values_at), tag(272, 2, 6, values_at + 9), tag(273, 4, 1, 8),
        tag(277, 3, 1, 1), tag(278, 4, 1, h), tag(279, 4, 1, len(mosaic)), tag(284, 3, 1, 1),
        tag(33421, 3, 2, 2 | 2 << 16), tag(33422, 1, 4, 0 | 1 << 8 | 1 << 16 | 2 << 24),
        tag(50706, 1, 4, 1 | 4 << 8), tag(50708, 2, 15, values_at + 15), tag(50717, 4, 1, 255),
        tag(50721, 10, 9, values_at + len(strings)), tag(50728, 5, 3, values_at + len(strings) + 72),
        tag(50778, 3, 1, 21)]
ifd = struct.pack('<H', len(tags)) + b''.join(tags) + struct.pack('<I', 0)
open(dst, 'wb').write(b'II*\0' + struct.pack('<I', ifd_at) + bytes(mosaic) + values + ifd)
PY

tool_then_cjpeg() {
  "$@" && /usr/bin/cjpeg -quality "$QUALITY" "$WORK/tool.ppm" >"$WORK/tool.jpg"
}
dwebp_case() { tool_then_cjpeg /usr/bin/dwebp -mt "$WORK/photo.webp" -ppm -o "$WORK/tool.ppm"; }
opj_case() { tool_then_cjpeg /usr/bin/opj_decompress -threads ALL_CPUS -i "$WORK/photo.jp2" -o "$WORK/tool.ppm"; }
heif_case() { /usr/bin/heif-convert -q "$QUALITY" "$WORK/photo.heic" "$WORK/tool.jpg"; }
raw_case() {
  /usr/bin/dcraw_emu -w "$WORK/photo.dng" && mv "$WORK/photo.dng.ppm" "$WORK/tool.ppm" &&
    /usr/bin/cjpeg -quality "$QUALITY" "$WORK/tool.ppm" >"$WORK/tool.jpg"
}

echo "threads: $(nproc); 6000 x 4000, JPEG quality $QUALITY, best of $RUNS (wall s, processor s)"
for c in "WebP:webp:dwebp:dwebp_case" "JPEG 2000:jp2:opj_decompress:opj_case" \
  "HEIF:heic:heif-convert:heif_case" "Camera raw (DNG):dng:dcraw_emu:raw_case"; do
  IFS=: read -r label ext tool fn <<<"$c"
  read -r ow oc <<<"$(best "$CLI" convert "$WORK/photo.$ext" "$WORK/ours.jpg" --quality "$QUALITY")"
  read -r tw tc <<<"$(best "$fn")"
  printf '%-18s pictrova-cli %7s %7s   %-15s %7s %7s   ratio wall %s, processor %s\n' "$label" "$ow" "$oc" \
    "$tool" "$tw" "$tc" \
    "$(awk -v a="$ow" -v b="$tw" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }')" \
    "$(awk -v a="$oc" -v b="$tc" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else print "n/a" }')"
done
