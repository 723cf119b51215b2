#!/usr/bin/env bash
# Writes a camera metadata file ("0.mt") the way a camera does: a revision 4
# section, one shot section and the highest frame number. The shot's bytes
# that the tool does not read hold a filler that differs from zero, so that a
# reader which loses or shifts bytes shows it; the file is byte for byte what
# the C++ tests' goodMeta() writes for the same values.
#
#   scripts/make-meta.sh [--width N] [--height N] [--rate FPS] [--codec ID]
#                        [--flags N] [--frames N] <path>
#
# Defaults: 1920x1080 at 25 fps, codec id 18 (ProRes 422; 16..21 are profiles
# 0..5 of prores_ks), flags 0, 100 frames. The rate is a whole number of
# frames per second, stored as both the reported and the actual rate.
set -euo pipefail
usage() {
  echo "usage: $0 [--width N] [--height N] [--rate FPS] [--codec ID] [--flags N] [--frames N] <path>" >&2
  exit 2
}
width=1920 height=1080 rate=25 codec=18 flags=0 frames=100 path=
while [ $# -gt 0 ]; do
  case $1 in
    --width | --height | --rate | --codec | --flags | --frames)
      if [ $# -lt 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then usage; fi
      declare "${1#--}=$2"
      shift 2
      ;;
    -*) usage ;;
    *)
      [ -z "$path" ] || usage
      path=$1
      shift
      ;;
  esac
done
[ -n "$path" ] || usage
if ((rate < 1 || rate > 1 << 24 || codec > 255 || flags > 255)); then usage; fi

# Little-endian 32-bit number as printf escapes.
le32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
section() { printf '%b' "$(le32 "$1")$(le32 "$2")"; }

# The single-precision bits of a whole number from 1 to 2^24, which the
# camera stores as a float; exact, so no floating point is needed here.
float_bits() {
  local n=$1 exponent=0
  while (((n >> (exponent + 1)) > 0)); do exponent=$((exponent + 1)); done
  echo $((((127 + exponent) << 23) | ((n - (1 << exponent)) << (23 - exponent))))
}

# The 673-byte shot: filler, with the fields the tool reads laid over it.
shot() {
  local bytes=() i
  for ((i = 0; i < 673; i++)); do bytes[i]=$(((i * 7 + 3) & 255)); done
  put32() {
    local at=$1 value=$2 k
    for ((k = 0; k < 4; k++)); do bytes[at + k]=$(((value >> (8 * k)) & 255)); done
  }
  put32 0 "$width"
  put32 4 "$height"
  put32 180 "$(float_bits "$rate")" # reported rate
  put32 184 "$(float_bits "$rate")" # frame rate
  bytes[316]=$codec
  bytes[466]=$flags
  local escapes="" byte
  for ((i = 0; i < 673; i++)); do
    printf -v byte '\\x%02x' "${bytes[i]}"
    escapes+=$byte
  done
  printf '%b' "$escapes"
}

{
  section 16 12 # revision 4 between filler
  printf '%b' "\\x01\\x02\\x03\\x04$(le32 4)\\x09\\x0a\\x0b\\x0c"
  section 18 673
  shot
  section 21 4 # FRAMS: the highest frame number
  printf '%b' "$(le32 "$frames")"
} >"$path"
