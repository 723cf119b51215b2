#!/usr/bin/env bash
# Writes the camera metadata file ("0.mt") of the benchmark's recording:
# revision 4, one shot of the given frame size, whole-number frame rate and
# ProRes codec id (16..21 for profiles 0..5), and the highest frame number.
#
#   bench/make-meta.sh <path> <width> <height> <fps> <codec id> <frames>
set -euo pipefail
if [ $# -ne 6 ]; then
  echo "usage: $0 <path> <width> <height> <fps> <codec id> <frames>" >&2
  exit 2
fi
path=$1 width=$2 height=$3 fps=$4 codec=$5 frames=$6

# Little-endian 32-bit number as printf escapes.
le32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
zeros() { head -c "$1" /dev/zero; }
section() { printf "$(le32 "$1")$(le32 "$2")"; }

# The single-precision bits of a whole number from 1 to 2^24, which the
# camera stores as a float; exact, so no floating point is needed here.
float_bits() {
  local n=$1 exponent=0
  while (((n >> (exponent + 1)) > 0)); do exponent=$((exponent + 1)); done
  echo $((((127 + exponent) << 23) | ((n - (1 << exponent)) << (23 - exponent))))
}

rate=$(float_bits "$fps")
{
  section 16 12 # revision: 4 at bytes 4..7
  zeros 4
  printf "$(le32 4)"
  zeros 4
  section 18 673 # shot
  printf "$(le32 "$width")$(le32 "$height")"
  zeros 172
  printf "$(le32 "$rate")$(le32 "$rate")" # reported rate and frame rate, bytes 180..187
  zeros 128
  printf "$(printf '\\x%02x' "$codec")" # byte 316
  zeros 149
  printf '\x00' # flags, byte 466
  zeros 206
  section 21 4 # FRAMS
  printf "$(le32 "$frames")"
} >"$path"
