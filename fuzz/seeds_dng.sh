#!/usr/bin/env bash
# Seeds of the camera raw reader: fuzz/seeds_dng.sh OUTFOLDER writes
# OUTFOLDER/dng, small DNG files written here byte by byte (a TIFF with the
# few tags a DNG needs over a Bayer mosaic of 12-bit samples, optionally
# behind an RGB preview). No camera files are shipped or downloaded.
set -euo pipefail
out=${1:?usage: seeds_dng.sh OUTFOLDER}/dng
mkdir -p "$out"

file=""
u8() { printf "\\x$(printf %02x $(($1 & 255)))" >>"$file"; }
u16() { u8 "$1"; u8 $(($1 >> 8)); }
u32() { u16 $(($1 & 65535)); u16 $((($1 >> 16) & 65535)); }

# Tags of one IFD: "id type count value-or-offset" lines, sorted by id, and
# the bytes of the values that do not fit in four (written by put_values).
ifd() {
  local count=$1 next=$2
  shift 2
  u16 "$count"
  local t
  for t in "$@"; do
    read -r id type n value <<<"$t"
    u16 "$id"; u16 "$type"; u32 "$n"
    if [ "$type" = 3 ] && [ "$n" = 1 ]; then u16 "$value"; u16 0; else u32 "$value"; fi
  done
  u32 "$next"
}

# The values area: make, model, camera name, colour matrix (XYZ to linear
# sRGB), white balance as neutral, preview bits; returns offsets in globals.
put_values() {
  local at=$1 red=$2 blue=$3
  v_make=$at; printf 'Pictrova\0' >>"$file"; at=$((at + 9))
  u8 0; at=$((at + 1))
  v_model=$at; printf 'Seed\0\0' >>"$file"; at=$((at + 6))
  v_unique=$at; printf 'Pictrova Seed\0' >>"$file"; at=$((at + 14))
  v_matrix=$at
  local m
  for m in 32406 -15372 -4986 -9689 18758 415 557 -2040 10570; do
    u32 $((m & 0xFFFFFFFF)); u32 10000
  done
  at=$((at + 72))
  v_neutral=$at; u32 "$red"; u32 100; u32 100; u32 100; u32 "$blue"; u32 100; at=$((at + 24))
  v_bits=$at; u16 8; u16 8; u16 8; u16 0; at=$((at + 8))
  v_end=$at
}

# name width height orientation pattern(4 bytes as 0xDDCCBBAA) red blue preview(0/1)
dng() {
  local name=$1 w=$2 h=$3 orientation=$4 pattern=$5 red=$6 blue=$7 preview=$8
  file="$out/$name.dng"
  : >"$file"
  printf 'II*\0' >>"$file"
  local mosaic=$((w * h * 2)) pw=$((w / 2)) ph=$((h / 2))
  local pbytes=$((preview ? pw * ph * 3 : 0))
  local values=$((8 + mosaic + pbytes + (pbytes % 2)))
  local ifd0=$((values + 136))
  u32 "$ifd0"
  local x y
  for ((y = 0; y < h; y++)); do
    for ((x = 0; x < w; x++)); do u16 $(((x * 97 + y * 61 + (x / 4 + y / 3) % 3 * 700) % 4000 + 64)); done
  done
  for ((y = 0; y < pbytes; y++)); do u8 $(((y * 7) % 251)); done
  [ $((pbytes % 2)) = 0 ] || u8 0
  put_values "$values" "$red" "$blue"
  while [ "$v_end" -lt "$ifd0" ]; do u8 0; v_end=$((v_end + 1)); done
  local dngtags=("50706 1 4 1025" "50708 2 14 $v_unique" "50717 4 1 4095" "50721 10 9 $v_matrix"
    "50728 5 3 $v_neutral" "50778 3 1 21")
  local rawtags=("254 4 1 0" "256 4 1 $w" "257 4 1 $h" "258 3 1 16" "259 3 1 1" "262 3 1 32803"
    "273 4 1 8" "277 3 1 1" "278 4 1 $h" "279 4 1 $mosaic" "284 3 1 1"
    "33421 3 2 $((2 | 2 << 16))" "33422 1 4 $pattern")
  if [ "$preview" = 0 ]; then
    ifd 22 0 "254 4 1 0" "256 4 1 $w" "257 4 1 $h" "258 3 1 16" "259 3 1 1" "262 3 1 32803" \
      "271 2 9 $v_make" "272 2 5 $v_model" "273 4 1 8" "274 3 1 $orientation" "277 3 1 1" \
      "278 4 1 $h" "279 4 1 $mosaic" "284 3 1 1" "33421 3 2 $((2 | 2 << 16))" "33422 1 4 $pattern" \
      "${dngtags[@]}"
  else
    # IFD 0 is the preview; the mosaic is its sub-IFD, right after it.
    local sub=$((ifd0 + 2 + 12 * 21 + 4))
    ifd 21 0 "254 4 1 1" "256 4 1 $pw" "257 4 1 $ph" "258 3 3 $v_bits" "259 3 1 1" "262 3 1 2" \
      "271 2 9 $v_make" "272 2 5 $v_model" "273 4 1 $((8 + mosaic))" "274 3 1 $orientation" \
      "277 3 1 3" "278 4 1 $ph" "279 4 1 $pbytes" "284 3 1 1" "330 4 1 $sub" "${dngtags[@]}"
    ifd 13 0 "${rawtags[@]}"
  fi
}

rggb=$((0 | 1 << 8 | 1 << 16 | 2 << 24))
bggr=$((2 | 1 << 8 | 1 << 16 | 0 << 24))
grbg=$((1 | 0 << 8 | 2 << 16 | 1 << 24))
# The library takes no picture under 22 pixels a side.
dng plain 32 24 1 "$rggb" 55 75 0
dng upright 32 24 6 "$rggb" 60 70 0
dng bggr-warm 34 22 1 "$bggr" 90 40 0
dng grbg-turned 24 30 3 "$grbg" 50 80 0
dng preview 32 24 1 "$rggb" 55 75 1
