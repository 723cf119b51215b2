#!/usr/bin/env bash
# Speed, disk space and memory of a whole recovery against the plain tools
# that move the same bytes. Builds a Release tool, makes a recording of real
# ~1 MB ProRes frames with short non-frame stretches between some of them and
# no index, checks that the tool finds every frame, then times alternating
# rounds of:
#   1. warm page cache, one file system: the tool, cp, dd bs=1M;
#   2. cold cache, until the data is on the disk: the tool (which flushes its
#      own outputs), cp followed by sync;
#   3. an XFS image with reflink: the tool, cp --reflink=never and
#      cp --reflink=always, and the new disk space each takes;
#   4. a recording without frames: the tool against cat to /dev/null;
# and reports min, median and max of each, ratios of medians beside their
# goals, and the tool's peak memory.
#
#   bench/run.sh [rounds]          (default 5)
#
# BENCH_GB      recording size in GB (default 2); the frameless one is half.
# BENCH_TMP     where the recording is made (default /tmp); the same file
#               system holds every copy of section 1 and 2.
# BENCH_SOURCE  the source tree to build (default this repository).
#
# Sections 2 and 3 need root (dropping caches, a loop mount); without it they
# are skipped with a line. Everything made is removed on exit.
set -euo pipefail

rounds=${1:-5}
case $rounds in
  '' | *[!0-9]* | 0)
    echo "usage: $0 [rounds]   (rounds: a whole number, at least 1)" >&2
    exit 2
    ;;
esac
repo=$(cd "$(dirname "$0")/.." && pwd)
source_tree=${BENCH_SOURCE:-$repo}
build="$repo/build-bench"
base=${BENCH_TMP:-/tmp}
gb=${BENCH_GB:-2}
target_bytes=$(awk -v g="$gb" 'BEGIN { printf "%d", g * 1e9 }')
bare_bytes=$((target_bytes / 2))
if ((target_bytes < 20000000)); then
  echo "BENCH_GB=$gb is too small: at least 0.02" >&2
  exit 2
fi

# --- free space: the recording, one copy of it at a time beside it, the
# frameless file, and the XFS image's recording and copy, with a margin ---
need=$((4 * target_bytes + bare_bytes + 512 * 1000 * 1000))
mkdir -p "$base"
avail=$(df -B1 --output=avail "$base" | tail -1 | tr -d ' ')
if ((avail < need)); then
  echo "not enough free space in $base: $((avail / 1000000)) MB, need $((need / 1000000)) MB" \
    "(set BENCH_TMP or a smaller BENCH_GB)" >&2
  exit 1
fi

source "$repo/scripts/deps.sh"
ensure_packages cmake make g++ ffmpeg time xfsprogs coreutils util-linux

# The build folder is the benchmark's own; one made from another source tree is made anew.
source_tree=$(cd "$source_tree" && pwd)
if [ -f "$build/CMakeCache.txt" ] &&
  ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$source_tree" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S "$source_tree" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPRORESCUE_TESTS=OFF >/dev/null
cmake --build "$build" --target prorescue -j2 >/dev/null
tool="$build/prorescue"
revision=$(git -C "$source_tree" describe --always --dirty 2>/dev/null || echo "$source_tree")

work=$(mktemp -d "$base/prorescue-bench-XXXXXX")
mnt="$work/xfs"
loop=""
cleanup() {
  set +e
  if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt"; fi
  if [ -n "$loop" ]; then losetup -d "$loop" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the recording: a unit of real frames and stretches, repeated ---
rec="$work/rec"
mkdir "$rec"
echo "making a recording of about $gb GB in $work ..."
ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v 8 \
  -vf noise=alls=14:allf=t -c:v prores_ks -profile:v 3 -vendor fmpg -pix_fmt yuv422p10le \
  "$work/source.mov"
unit="$work/unit"
unit_list="$work/unit.list" # "size offset-in-unit" of each frame
: >"$unit"
: >"$unit_list"
largest=0
index=0
while IFS='|' read -r first second; do
  for field in "$first" "$second"; do
    case $field in
      size=*) size=${field#size=} ;;
      pos=*) pos=${field#pos=} ;;
    esac
  done
  ((size > largest)) && largest=$size
  echo "$size $(stat -c %s "$unit")" >>"$unit_list"
  dd if="$work/source.mov" iflag=skip_bytes,count_bytes skip="$pos" count="$size" \
    status=none >>"$unit"
  # After every other frame a few KB that are not a frame, as audio chunks
  # lie between frames in a camera file.
  if ((index % 2 == 1)); then head -c $((2048 + size % 60000)) /dev/urandom >>"$unit"; fi
  index=$((index + 1))
done < <(ffprobe -v error -select_streams v:0 -show_entries packet=size,pos -of compact=p=0 \
  "$work/source.mov")
unit_bytes=$(stat -c %s "$unit")
unit_frames=$(wc -l <"$unit_list")
unit_frame_bytes=$(awk '{ s += $1 } END { print s }' "$unit_list")
repeats=$(((target_bytes + unit_bytes - 1) / unit_bytes))
movie="$rec/A001.mov"
# The container's opening atoms as a camera writes them, the mdat size never set.
printf '\x00\x00\x00\x14ftypqt  \x00\x00\x02\x00qt  \x00\x00\x00\x08wide\x00\x00\x00\x00mdat' \
  >"$movie"
lead=$(stat -c %s "$movie")
for ((i = 0; i < repeats; i++)); do cat "$unit" >>"$movie"; done
# A tail past the last frame: the scan reads whole windows only.
head -c $((128 * 1024)) /dev/urandom >>"$movie"
frames=$((repeats * unit_frames))
frame_bytes=$((repeats * unit_frame_bytes))
movie_bytes=$(stat -c %s "$movie")
expected="$work/expected.lines"
awk -v n="$repeats" -v u="$unit_bytes" -v l="$lead" '
  { size[NR] = $1; at[NR] = $2 }
  END { for (k = 0; k < n; k++) for (i = 1; i <= NR; i++) print size[i] " @ " l + k * u + at[i] }' \
  "$unit_list" >"$expected"
"$repo/scripts/make-meta.sh" --width 1920 --height 1080 --rate 25 --codec 19 --frames "$frames" \
  "$rec/0.mt"

# The frameless recording: random bytes, drawn again in the rare case that
# they spell the identifier.
bare="$work/bare"
mkdir "$bare"
cp "$rec/0.mt" "$bare/0.mt"
while :; do
  head -c "$bare_bytes" /dev/urandom >"$bare/A001.mov"
  LC_ALL=C grep -q -F icpf "$bare/A001.mov" || break
done

# --- timing ---
declare -A times spaces
rss_kb=()
# timed NAME DIR OUT CMD...: runs CMD in DIR with its output to OUT and adds
# its wall time to NAME's list; its peak RSS is left in $work/rss.
timed() {
  local name=$1 dir=$2 out=$3
  shift 3
  local start end status=0
  start=$(date +%s%N)
  (cd "$dir" && /usr/bin/time -f %M -o "$work/rss" "$@" >"$out") || status=$?
  end=$(date +%s%N)
  times[$name]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", (b - a) / 1e9 }') "
  return $status
}

# Every run of the tool must exit 0 and print exactly the frames made.
check_tool() { # check_tool <exit status> <folder>
  if [ "$1" -ne 0 ] || ! grep ' @ ' "$work/tool.out" | cmp -s - "$expected"; then
    echo "the tool in $2 exited $1 or did not find exactly the $frames frames made:"
    diff <(grep ' @ ' "$work/tool.out") "$expected" | head -5
    tail -3 "$work/tool.out"
    exit 1
  fi
  rss_kb+=("$(cat "$work/rss")")
}

settle() { # removes every output in the folders given, and lets the disk catch up
  local dir
  for dir in "$@"; do rm -f "$dir"/r_* "$dir"/c_* "$dir"/d_*; done
  sync
}

can_drop=no
if [ "$(id -u)" -eq 0 ] && [ -w /proc/sys/vm/drop_caches ]; then can_drop=yes; fi
drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }

# alternate ROUND CONTENDER...: runs the contenders in order, backwards on odd rounds.
alternate() {
  local round=$1
  shift
  local list=("$@") i
  if ((round % 2 == 1)); then
    for ((i = ${#list[@]} - 1; i >= 0; i--)); do "${list[i]}"; done
  else
    for ((i = 0; i < ${#list[@]}; i++)); do "${list[i]}"; done
  fi
}

# 1. warm page cache, one file system
warm_tool() {
  settle "$rec"
  local status=0
  timed warm_tool "$rec" "$work/tool.out" "$tool" || status=$?
  check_tool "$status" "$rec"
}
warm_cp() {
  settle "$rec"
  timed warm_cp "$rec" /dev/null cp A001.mov c_A001.mov
}
warm_dd() {
  settle "$rec"
  timed warm_dd "$rec" /dev/null dd if=A001.mov of=d_A001.mov bs=1M status=none
}
echo "1. warm page cache ..."
cat "$movie" >/dev/null
settle "$rec"
status=0
timed first_run "$rec" "$work/tool.out" "$tool" || status=$?
check_tool "$status" "$rec"
probed=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$rec/r_A001.mov")
if [ "$probed" != "$frames" ]; then
  echo "ffprobe counts $probed packets in the rebuilt movie, not $frames"
  exit 1
fi
rss_kb=()
for ((r = 0; r < rounds; r++)); do alternate "$r" warm_tool warm_cp warm_dd; done
settle "$rec"

# 2. cold cache, until the data is on the disk
cold_tool() {
  settle "$rec"
  drop_caches
  local status=0
  timed cold_tool "$rec" "$work/tool.out" "$tool" || status=$?
  check_tool "$status" "$rec"
  # What the tool left unflushed, if anything, shows here (not counted above).
  timed cold_sync_after_tool "$rec" /dev/null sync
}
cold_cp() {
  settle "$rec"
  drop_caches
  timed cold_cp_sync "$rec" /dev/null sh -c 'cp A001.mov c_A001.mov && sync'
}
cold_note=""
if [ "$can_drop" = yes ]; then
  echo "2. cold cache ..."
  for ((r = 0; r < rounds; r++)); do alternate "$r" cold_tool cold_cp; done
  settle "$rec"
else
  cold_note="skipped: dropping the page cache needs root"
fi

# 3. XFS image with reflink
used_bytes() { sync && df -B1 --output=used "$mnt" | tail -1 | tr -d ' '; }
# xfs_run NAME OUT CMD...: a timed run in the image's recording folder, and
# the new space it took once on the disk.
xfs_run() {
  local name=$1 out=$2
  shift 2
  settle "$mnt/rec"
  local before status=0
  before=$(used_bytes)
  timed "$name" "$mnt/rec" "$out" "$@" || status=$?
  spaces[$name]+="$(($(used_bytes) - before)) "
  return $status
}
xfs_tool() {
  local status=0
  xfs_run xfs_tool "$work/tool.out" "$tool" || status=$?
  check_tool "$status" "$mnt/rec"
}
xfs_never() { xfs_run xfs_never /dev/null cp --reflink=never A001.mov c_A001.mov; }
xfs_always() {
  xfs_run xfs_always /dev/null cp --reflink=always A001.mov c_A001.mov ||
    echo "cp --reflink=always failed"
}
xfs_note=""
if [ "$(id -u)" -ne 0 ]; then
  xfs_note="skipped: a loop mount needs root"
elif ! command -v mkfs.xfs >/dev/null; then
  xfs_note="skipped: mkfs.xfs is missing"
else
  mkdir "$mnt"
  truncate -s $(((3 * movie_bytes / 1048576 + 1024) * 1048576)) "$work/xfs.img"
  if mkfs.xfs -q -m reflink=1 "$work/xfs.img" && loop=$(losetup --find --show "$work/xfs.img") &&
    mount "$loop" "$mnt"; then
    echo "3. XFS image ..."
    mkdir "$mnt/rec"
    cp "$rec/0.mt" "$movie" "$mnt/rec/"
    cat "$mnt/rec/A001.mov" >/dev/null
    for ((r = 0; r < rounds; r++)); do alternate "$r" xfs_tool xfs_never xfs_always; done
    settle "$mnt/rec"
    umount "$mnt"
    losetup -d "$loop"
    loop=""
  else
    xfs_note="skipped: mkfs.xfs or the loop mount failed"
  fi
  rm -f "$work/xfs.img"
fi

# 4. without frames
bare_tool() {
  rm -f "$bare"/r_*
  timed bare_tool "$bare" /dev/null "$tool" || {
    echo "the tool failed on the recording without frames"
    exit 1
  }
}
bare_cat() { timed bare_cat "$bare" /dev/null cat A001.mov; }
echo "4. without frames ..."
cat "$bare/A001.mov" >/dev/null
for ((r = 0; r < rounds; r++)); do alternate "$r" bare_tool bare_cat; done

# --- report ---
stats() { # min median max of a list of numbers
  printf '%s\n' $1 | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f", v[1], m, v[NR] }'
}
median() { stats "$1" | awk '{ print $2 }'; }
row() { # row LABEL NAME
  read -r lo mid hi <<<"$(stats "${times[$2]}")"
  printf '   %-34s %8s %8s %8s\n' "$1" "$lo" "$mid" "$hi"
}
ratio() { # ratio LABEL NAME NAME [GOAL]
  awk -v l="$1" -v a="$(median "${times[$2]}")" -v b="$(median "${times[$3]}")" -v g="${4:-}" '
    BEGIN {
      r = a / b
      goal = g == "" ? "" : sprintf("   (goal <= %s: %s)", g, r <= g + 0 ? "met" : "not met")
      printf "   %-34s %8.3f%s\n", l, r, goal }'
}
heading() { printf '\n%s\n   %-34s %8s %8s %8s\n' "$1" "seconds" min median max; }

echo
echo "prorescue benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), tool at $revision"
echo "machine: $(nproc) cores, $(uname -sr), $base on $(df --output=fstype "$base" | tail -1)"
echo "recording: $movie_bytes bytes, $frames frames of $frame_bytes bytes (largest $largest);" \
  "found all $frames by the tool's lines and by ffprobe"
echo "$rounds alternating rounds of each"

heading "1. page cache warm, one file system"
row "prorescue" warm_tool
row "cp" warm_cp
row "dd bs=1M" warm_dd
ratio "prorescue / cp" warm_tool warm_cp 1.0
ratio "prorescue / dd" warm_tool warm_dd
echo "   (prorescue flushes its outputs to the disk before it ends; cp and dd leave theirs in"
echo "   the page cache: section 2 compares like with like)"

if [ -z "$cold_note" ]; then
  heading "2. cold cache, until the data is on the disk"
  row "prorescue (flushes its outputs)" cold_tool
  row "cp, then sync" cold_cp_sync
  row "sync after prorescue (not counted)" cold_sync_after_tool
  ratio "prorescue / (cp + sync)" cold_tool cold_cp_sync 1.05
else
  printf '\n2. cold cache: %s\n' "$cold_note"
fi

if [ -z "$xfs_note" ]; then
  heading "3. XFS image (reflink=1), page cache warm"
  row "prorescue" xfs_tool
  row "cp --reflink=never" xfs_never
  row "cp --reflink=always" xfs_always
  ratio "prorescue / cp --reflink=never" xfs_tool xfs_never 0.05
  echo "   new space on the disk (median after sync, as a share of the frames' bytes):"
  for name in xfs_tool xfs_never xfs_always; do
    awk -v n="$name" -v s="$(median "${spaces[$name]}")" -v f="$frame_bytes" 'BEGIN {
      label["xfs_tool"] = "prorescue"
      label["xfs_never"] = "cp --reflink=never"
      label["xfs_always"] = "cp --reflink=always"
      goal = n == "xfs_tool" ? sprintf("   (goal < 5%%: %s)", s / f < 0.05 ? "met" : "not met") : ""
      printf "   %-34s %8.1f MB  %6.2f%%%s\n", label[n], s / 1e6, 100 * s / f, goal }'
  done
else
  printf '\n3. XFS image: %s\n' "$xfs_note"
fi

heading "4. $bare_bytes bytes without frames, page cache warm"
row "prorescue" bare_tool
row "cat > /dev/null" bare_cat
ratio "prorescue / cat" bare_tool bare_cat 1.2

peak=$(printf '%s\n' "${rss_kb[@]}" | sort -g | tail -1)
goal_kb=$(((largest + 16 * 1024 * 1024) / 1024))
printf '\npeak RSS of prorescue over %d runs on the recording: %d kB (goal <= largest frame + 16 MB' \
  "${#rss_kb[@]}" "$peak"
printf ' = %d kB: %s)\n' "$goal_kb" "$([ "$peak" -le "$goal_kb" ] && echo met || echo "not met")"
