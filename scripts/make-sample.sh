#!/usr/bin/env bash
# Writes a damaged recording into the given folder: "0.mt" for 1280x720 at
# 25 fps in ProRes 422, a movie whose index was never written (the camera
# lost power), and a WAV whose header was never finished.
set -euo pipefail
folder=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Little-endian 32-bit number as printf escapes.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
  $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
zeros() { head -c "$1" /dev/zero; }

{
  # revision section: type 16, 12 bytes, revision 4 at bytes 4..7
  printf "$(le32 16)$(le32 12)"; zeros 4; printf "$(le32 4)"; zeros 4
  # shot section: type 18, 673 bytes
  printf "$(le32 18)$(le32 673)"
  printf "$(le32 1280)$(le32 720)"; zeros 172
  printf '\x00\x00\xc8\x41\x00\x00\xc8\x41'  # reported rate and frame rate: 25.0f
  zeros 128; printf '\x12'                     # codec id 18 at byte 316: ProRes 422
  zeros 149; printf '\x00'                     # flags at byte 466
  zeros 206
  # FRAMS section: type 21, 4 bytes
  printf "$(le32 21)$(le32 4)$(le32 48)"
} >"$folder/0.mt"

ffmpeg -v error -f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v 48 \
  -c:v prores_ks -profile:v 2 -vendor fmpg -f rawvideo "$work/frames.bin"
{
  printf '\x00\x00\x00\x14ftypqt  \x00\x00\x02\x00qt  '
  printf '\x00\x00\x00\x08wide'
  printf '\x00\x00\x00\x00mdat'  # size never written
  cat "$work/frames.bin"
} >"$folder/A001C001.MOV"

ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 -ac 1 \
  -c:a pcm_s16le -map_metadata -1 -fflags +bitexact -flags:a +bitexact "$work/tone.wav"
# The camera had not yet written the sizes into the header.
cp "$work/tone.wav" "$folder/A001C001.WAV"
for at in 4 40; do
  zeros 4 | dd of="$folder/A001C001.WAV" bs=1 seek="$at" conv=notrunc status=none
done
