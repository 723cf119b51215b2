#!/usr/bin/env bash
# Writes a damaged recording into the given folder: "0.mt" for 1280x720 at
# 25 fps in ProRes 422, a movie whose index was never written (the camera
# lost power), and a WAV whose header was never finished.
set -euo pipefail
folder=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

zeros() { head -c "$1" /dev/zero; }

"$(dirname "$0")/make-meta.sh" --width 1280 --height 720 --rate 25 --codec 18 --frames 48 \
  "$folder/0.mt"

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
