#!/usr/bin/env bash
# Speed and memory of a whole recovery against plain copying: builds the tool
# in Release, makes a ~2 GB recording of ~1 MB ProRes frames with filler
# between and no index, then times the tool, cp of the same file and an
# ffmpeg remux of the rebuilt movie in alternation, and reports medians,
# ratios and the tool's peak memory.
#
#   bench/run.sh [rounds]        (default 5)
#
# A second, frameless 1 GB recording times the search alone against cat.
#
# Needs ffmpeg, ffprobe, GNU time (/usr/bin/time) and about 7 GB free in
# ${BENCH_TMP:-/tmp}. Everything it makes there is removed at the end.
set -euo pipefail

rounds=${1:-5}
repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-bench"
target_bytes=$((2000 * 1000 * 1000))

for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || {
    echo "missing: $tool (GNU time is the Debian package 'time')"
    exit 1
  }
done

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPRORESCUE_TESTS=OFF >/dev/null
cmake --build "$build" --target prorescue -j2 >/dev/null
tool="$build/prorescue"

work=$(mktemp -d "${BENCH_TMP:-/tmp}/prorescue-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
rec="$work/rec"
mkdir "$rec"

# --- a few real frames, repeated with filler into a recording without moov ---
ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 8 \
  -vf noise=alls=14:allf=t -c:v prores_ks -profile:v 3 -vendor fmpg -pix_fmt yuv422p10le \
  "$work/source.mov"
unit="$work/unit"
: >"$unit"
largest=0
while IFS='|' read -r first second; do
  for field in "$first" "$second"; do
    case $field in
      size=*) size=${field#size=} ;;
      pos=*) pos=${field#pos=} ;;
    esac
  done
  ((size > largest)) && largest=$size
  dd if="$work/source.mov" iflag=skip_bytes,count_bytes skip="$pos" count="$size" \
    status=none >>"$unit"
  # Filler of varied length that the scan has to search through.
  head -c $((4096 + size % 60000)) /dev/urandom >>"$unit"
done < <(ffprobe -v error -select_streams v:0 -show_entries packet=size,pos -of compact=p=0 \
  "$work/source.mov")
unit_bytes=$(stat -c %s "$unit")
repeats=$(((target_bytes + unit_bytes - 1) / unit_bytes))
movie="$rec/A001.mov"
head -c 4096 /dev/urandom >"$movie"
for ((i = 0; i < repeats; i++)); do cat "$unit" >>"$movie"; done
frames=$((repeats * 8))
movie_bytes=$(stat -c %s "$movie")

# --- "0.mt": revision 4, a 1920x1080 shot at 25 fps in ProRes 422 HQ, FRAMS ---
le32() {
  printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
    $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
patch() { printf "$2" | dd of="$1" bs=1 seek="$3" conv=notrunc status=none; }
shot="$work/shot"
head -c 673 /dev/zero >"$shot"
patch "$shot" "$(le32 1920)" 0
patch "$shot" "$(le32 1080)" 4
patch "$shot" "$(le32 0x41c80000)" 180 # 25.0f
patch "$shot" "$(le32 0x41c80000)" 184
patch "$shot" '\x13' 316 # codec id 19: ProRes 422 HQ
{
  printf "$(le32 16)$(le32 12)"
  printf "$(le32 0)$(le32 4)$(le32 0)"
  printf "$(le32 18)$(le32 673)"
  cat "$shot"
  printf "$(le32 21)$(le32 4)$(le32 $frames)"
} >"$rec/0.mt"

# A recording with no frame at all: the search alone, against just reading.
bare="$work/bare"
mkdir "$bare"
cp "$rec/0.mt" "$bare/0.mt"
head -c $((1000 * 1000 * 1000)) /dev/urandom >"$bare/A001.mov"

# --- timed rounds, alternating, from a warm page cache ---
for file in "$movie" "$movie" "$bare/A001.mov" "$bare/A001.mov"; do cat "$file" >/dev/null; done
timed() { # timed <file for "seconds peak-kB"> <command...>
  local out=$1
  shift
  /usr/bin/time -f "%e %M" -o "$out" "$@"
}
declare -a t_tool t_cp t_remux mem_tool t_search t_read
for ((r = 0; r < rounds; r++)); do
  rm -f "$rec/r_A001.mov"
  sync
  (cd "$rec" && timed "$work/t" "$tool" >"$work/tool.out") || {
    echo "the tool failed:"
    tail -3 "$work/tool.out"
    exit 1
  }
  read -r secs peak <"$work/t"
  t_tool+=("$secs")
  mem_tool+=("$peak")
  sync
  timed "$work/t" cp "$movie" "$work/copy.mov"
  read -r secs _ <"$work/t"
  t_cp+=("$secs")
  rm -f "$work/copy.mov"
  sync
  timed "$work/t" ffmpeg -v error -y -i "$rec/r_A001.mov" -c copy "$work/remux.mov"
  read -r secs _ <"$work/t"
  t_remux+=("$secs")
  rm -f "$work/remux.mov"
  rm -f "$bare/r_A001.mov"
  (cd "$bare" && timed "$work/t" "$tool" >/dev/null)
  read -r secs _ <"$work/t"
  t_search+=("$secs")
  timed "$work/t" cat "$bare/A001.mov" >/dev/null
  read -r secs _ <"$work/t"
  t_read+=("$secs")
  echo "round $((r + 1)): tool ${t_tool[r]} s, cp ${t_cp[r]} s, remux ${t_remux[r]} s;" \
    "no frames: tool ${t_search[r]} s, cat ${t_read[r]} s"
done

found=$(grep -c ' @ ' "$work/tool.out" || true)
head -2 "$work/tool.out"
tail -1 "$work/tool.out"
median() {
  printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
m_tool=$(median "${t_tool[@]}")
m_cp=$(median "${t_cp[@]}")
m_remux=$(median "${t_remux[@]}")
m_mem=$(median "${mem_tool[@]}")
m_search=$(median "${t_search[@]}")
m_read=$(median "${t_read[@]}")
max_mem=$(printf '%s\n' "${mem_tool[@]}" | sort -g | tail -1)
limit_kb=$(((largest + 16 * 1024 * 1024) / 1024))

echo
echo "recording: $movie_bytes bytes, $frames frames (largest $largest bytes); tool found $found"
echo "median of $rounds rounds: tool $m_tool s, cp $m_cp s, ffmpeg remux $m_remux s"
awk -v t="$m_tool" -v c="$m_cp" -v x="$m_remux" -v b="$movie_bytes" 'BEGIN {
  printf "tool / cp = %.3f (goal <= 1.15); tool / remux = %.3f\n", t / c, t / x
  printf "throughput: tool %.0f MB/s, cp %.0f MB/s\n", b / t / 1e6, b / c / 1e6 }'
awk -v t="$m_search" -v c="$m_read" 'BEGIN {
  printf "1 GB without frames: tool %s s, cat %s s, tool / cat = %.3f\n", t, c, t / c }'
echo "tool peak memory: median $m_mem kB, max $max_mem kB (goal <= $limit_kb kB)"
