#!/usr/bin/env bash
# Installs whatever is missing, builds the tool, writes a sample damaged
# recording folder made of real ProRes frames, and rebuilds it.
# Usage: scripts/recover-sample.sh [folder]   (default: ./sample-recording)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
ensure_packages cmake make g++ ffmpeg

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc 2>/dev/null || echo 2)" --target prorescue >/dev/null
tool="$root/build/prorescue"

folder=${1:-sample-recording}
rm -rf "$folder"
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
"$root/scripts/make-sample.sh" "$folder"

echo "Recording folder: $folder"
ls -l "$folder"
echo "--- prorescue ---"
set +e
(cd "$folder" && "$tool")
code=$?
set -e
echo "--- exit code $code ---"
if [ -f "$folder/r_A001C001.MOV" ]; then
  echo "Playable movie: $folder/r_A001C001.MOV"
  ffprobe -v error -count_packets -select_streams v:0 \
    -show_entries stream=codec_name,codec_tag_string,width,height,r_frame_rate,nb_read_packets \
    -of default=noprint_wrappers=1 "$folder/r_A001C001.MOV" || true
fi
exit "$code"
