#!/usr/bin/env bash
# Installs whatever is missing, builds the tool, writes a sample damaged
# recording folder made of real ProRes frames, and rebuilds it.
# Usage: scripts/recover-sample.sh [folder]   (default: ./sample-recording)
# The folder must not exist yet, or be one this script made on an earlier
# run; any other folder is left untouched and the script stops.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
ensure_packages cmake make g++ ffmpeg

folder=${1:-sample-recording}
marker=.prorescue-sample
if [ -e "$folder" ] || [ -L "$folder" ]; then
  if [ ! -d "$folder" ] || [ -L "$folder" ] || [ ! -f "$folder/$marker" ]; then
    echo "$folder already exists and was not made by this script; nothing was changed." >&2
    echo "Name a folder that does not exist yet, for example: $0 ./sample-recording" >&2
    exit 2
  fi
  # Only what an earlier run of this script put there.
  rm -f "$folder/0.mt" "$folder/A001C001.MOV" "$folder/A001C001.WAV" \
    "$folder/r_A001C001.MOV" "$folder/r_A001C001.WAV" "$folder"/r_*.part
else
  mkdir -p "$folder"
  : >"$folder/$marker"
fi
folder=$(cd "$folder" && pwd)

# The tests are built only where GoogleTest is there; this needs the tool alone.
build="$root/build"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target prorescue; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "Building the tool failed." >&2
  exit 1
fi
tool="$build/prorescue"

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
echo "The tool: $tool"
exit "$code"
