#!/usr/bin/env bash
# End-to-end check of the Windows build: cross-builds prorescue.exe, runs it
# under Wine on damaged recordings with a non-ASCII movie name, and holds its
# results against the Linux build's on identical folders. Then builds the
# release packages (.deb and .zip) and checks what they hold.
#
# Build folders go under $PRORESCUE_WINE_BUILD (default: build-wine in the
# repository); everything else lives in a temporary folder that is removed.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${PRORESCUE_WINE_BUILD:-$repo/build-wine}
source "$repo/scripts/deps.sh"
ensure_packages cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
  ffmpeg unzip strace

passed=0
failed=0
pass() {
  passed=$((passed + 1))
  echo "ok: $1"
}
fail() {
  failed=$((failed + 1))
  echo "FAILED: $1"
}

work=$(mktemp -d)
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_loader=/usr/lib/wine/wine64
[ -x "$wine_loader" ] || wine_loader=$(command -v wine64 || command -v wine)
wine_server=/usr/lib/wine/wineserver
[ -x "$wine_server" ] || wine_server=$(command -v wineserver)
cleanup() {
  # Only the server of our own private prefix is stopped.
  if [ -d "$WINEPREFIX" ]; then "$wine_server" -k >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

jobs=$(nproc 2>/dev/null || echo 2)

echo "== building"
# The first start of a prefix takes a while; it runs while the builds do.
("$wine_loader" wineboot -i >"$work/wineboot.log" 2>&1 || true) &
wineboot_pid=$!
cmake -S "$repo" -B "$build/mingw" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >"$work/configure-mingw.log" ||
  { cat "$work/configure-mingw.log"; exit 1; }
cmake --build "$build/mingw" -j"$jobs" >"$work/build-mingw.log" 2>&1 ||
  { cat "$work/build-mingw.log"; exit 1; }
cmake -S "$repo" -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DPRORESCUE_TESTS=OFF \
  >"$work/configure-linux.log" || { cat "$work/configure-linux.log"; exit 1; }
cmake --build "$build/linux" -j"$jobs" >"$work/build-linux.log" 2>&1 ||
  { cat "$work/build-linux.log"; exit 1; }
exe="$build/mingw/prorescue.exe"
linux_tool="$build/linux/prorescue"

warnings=$(grep -h -i 'warning:' "$work/build-mingw.log" "$work/build-linux.log" || true)
if [ -z "$warnings" ]; then pass "both builds are free of warnings"; else
  echo "$warnings"
  fail "both builds are free of warnings"
fi
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
foreign=$(echo "$dlls" | grep -v -x -E 'KERNEL32\.DLL|MSVCRT\.DLL|UCRTBASE\.DLL|API-MS-WIN-.*\.DLL' ||
  true)
if [ -z "$foreign" ]; then pass "prorescue.exe needs only system DLLs"; else
  echo "non-system DLLs: $foreign"
  fail "prorescue.exe needs only system DLLs"
fi

echo "== making the recording"
movie_name="片段01.MOV"
wav_name="片段01.WAV"
recording="$work/sources/recording"
mkdir -p "$recording"
"$repo/scripts/make-meta.sh" --width 320 --height 240 --rate 25 --codec 18 --frames 12 \
  "$recording/0.mt"

ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 12 \
  -c:v prores_ks -profile:v 2 -vendor fmpg "$work/original.mov"
ffmpeg -v error -i "$work/original.mov" -map 0:v:0 -c copy -f rawvideo "$work/frames.bin"
# Six frames, then a stretch of nothing longer than a scan window, then six more,
# behind a container start whose index was never written. The trailing stretch
# keeps every frame clear of the short last window, which the scan does not search.
split=0
for ((i = 0; i < 6; i++)); do
  size=$(od -An -tu4 --endian=big -j "$split" -N4 "$work/frames.bin" | tr -d ' ')
  split=$((split + size))
done
{
  printf '\x00\x00\x00\x14ftypqt  \x00\x00\x02\x00qt  \x00\x00\x00\x08wide\x00\x00\x00\x00mdat'
  head -c "$split" "$work/frames.bin"
  head -c 70000 /dev/zero
  tail -c +$((split + 1)) "$work/frames.bin"
  head -c 70000 /dev/zero
} >"$recording/$movie_name"

ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=48000 -t 1 -ac 1 \
  -c:a pcm_s16le -map_metadata -1 -fflags +bitexact -flags:a +bitexact "$work/tone.wav"
cp "$work/tone.wav" "$recording/$wav_name"
for at in 4 40; do
  head -c 4 /dev/zero | dd of="$recording/$wav_name" bs=1 seek="$at" conv=notrunc status=none
done
cp "$work/tone.wav" "$recording/A001C001.wav"

# A folder whose name ends in ".mov" is chosen as the movie but cannot be read.
folder_movie="$work/sources/folder-movie"
mkdir -p "$folder_movie/片段02.mov"
cp "$recording/0.mt" "$folder_movie/"

wait "$wineboot_pid" || true

# run_both CASE FOLDER: copies FOLDER twice, runs the Linux build in one and
# prorescue.exe under Wine in the other, keeping stdout, stderr and exit codes.
run_both() {
  local label=$1 folder=$2
  rm -rf "$work/$label"
  mkdir -p "$work/$label"
  cp -a "$folder" "$work/$label/linux"
  cp -a "$folder" "$work/$label/windows"
  rerun_both "$label"
}
# rerun_both CASE: runs both builds again in the folders CASE already has.
rerun_both() {
  local label=$1 code
  code=0
  (cd "$work/$label/linux" && "$linux_tool" >"$work/$label/linux.out" 2>"$work/$label/linux.err") ||
    code=$?
  echo "$code" >"$work/$label/linux.code"
  code=0
  (cd "$work/$label/windows" &&
    "$wine_loader" "$exe" >"$work/$label/windows.out" 2>"$work/$label/windows.err") || code=$?
  echo "$code" >"$work/$label/windows.code"
}

# Line ends aside, and with each build's own spelling of the folder path made
# the same, the two builds must print the same bytes.
normalized() {
  local file=$1 folder=$2
  local windows_folder="Z:${folder//\//\\}"
  sed -e 's/\r$//' "$file" | WF="$windows_folder" UF="$folder" perl -pe \
    's/\Q$ENV{WF}\E\\/<folder>\//g; s/\Q$ENV{UF}\E\//<folder>\//g'
}
# compare_runs CASE CODE|same [TITLE]
compare_runs() {
  local label=$1 expected_code=$2
  local title=${3:-$1}
  local dir="$work/$label"
  local linux_code windows_code
  linux_code=$(cat "$dir/linux.code")
  windows_code=$(cat "$dir/windows.code")
  # "same" leaves the code to the driver's own tests and asks only for agreement.
  [ "$expected_code" = same ] && expected_code=$linux_code
  if [ "$linux_code" = "$expected_code" ] && [ "$windows_code" = "$expected_code" ]; then
    pass "$title: both exit with $expected_code"
  else
    fail "$title: exit codes linux $linux_code, windows $windows_code, expected $expected_code"
  fi
  if [ ! -s "$dir/linux.err" ] && [ ! -s "$dir/windows.err" ]; then
    pass "$title: nothing on stderr"
  else
    fail "$title: stderr was written"
    cat "$dir/linux.err" "$dir/windows.err"
  fi
  if diff -u <(normalized "$dir/linux.out" "$dir/linux") \
    <(normalized "$dir/windows.out" "$dir/windows") >"$dir/stdout.diff"; then
    pass "$title: stdout matches the Linux build's"
  else
    fail "$title: stdout differs from the Linux build's"
    cat "$dir/stdout.diff"
  fi
  if diff <(cd "$dir/linux" && find . | LC_ALL=C sort) \
    <(cd "$dir/windows" && find . | LC_ALL=C sort) >"$dir/names.diff"; then
    pass "$title: the same files are left"
  else
    fail "$title: the files left differ"
    cat "$dir/names.diff"
  fi
}

# Frame sizes and checksums, without the timestamps, whose time base may differ.
frame_sums() {
  ffmpeg -v error -i "$1" -map 0:v:0 "${@:2}" -f framemd5 - | awk -F', *' '!/^#/ {print $5, $6}'
}
check_movie() {
  local label=$1 movie=$2
  if [ ! -f "$movie" ]; then
    fail "$label: $(basename "$movie") exists"
    return
  fi
  local probe
  probe=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries \
    stream=codec_name,codec_tag_string,width,height,r_frame_rate,nb_read_packets \
    -of default=noprint_wrappers=1 "$movie" || true)
  local expected=$'codec_name=prores\ncodec_tag_string=apcn\nwidth=320\nheight=240\nr_frame_rate=25/1\nnb_read_packets=12'
  if [ "$probe" = "$expected" ]; then pass "$label: ffprobe sees the ProRes track"; else
    fail "$label: ffprobe reports something else"
    diff <(echo "$expected") <(echo "$probe") || true
  fi
  if diff <(frame_sums "$work/original.mov" -c copy) <(frame_sums "$movie" -c copy) \
    >"$work/$label/packets.diff" 2>&1; then
    pass "$label: every frame is byte for byte the original's"
  else
    fail "$label: the frames differ from the original's"
    head -20 "$work/$label/packets.diff"
  fi
  if diff <(frame_sums "$work/original.mov") <(frame_sums "$movie") \
    >"$work/$label/pictures.diff" 2>&1; then
    pass "$label: the frames decode to the original pictures"
  else
    fail "$label: the decoded frames differ"
    head -20 "$work/$label/pictures.diff"
  fi
}
check_same_bytes() {
  local name=$1 expected=$2 actual=$3
  if [ -f "$expected" ] && cmp -s "$expected" "$actual"; then pass "$name"; else
    fail "$name"
    cmp "$expected" "$actual" 2>&1 | head -3 || true
  fi
}

echo "== recovering under Wine"
run_both recovery "$recording"
compare_runs recovery 0
sed 's/^/  | /' "$work/recovery/windows.out"
check_movie recovery "$work/recovery/windows/r_$movie_name"
check_same_bytes "recovery: the movie is the Linux build's, byte for byte" \
  "$work/recovery/linux/r_$movie_name" "$work/recovery/windows/r_$movie_name"
for wav in "$wav_name" A001C001.wav; do
  check_same_bytes "recovery: r_$wav is the Linux build's, byte for byte" \
    "$work/recovery/linux/r_$wav" "$work/recovery/windows/r_$wav"
done
for input in 0.mt "$movie_name" "$wav_name" A001C001.wav; do
  check_same_bytes "recovery: $input is left unchanged" "$recording/$input" \
    "$work/recovery/windows/$input"
done

echo "== running again in the same folder"
rerun_both recovery
compare_runs recovery 0 "second run"
check_same_bytes "second run: the movie is replaced by the same movie" \
  "$work/recovery/linux/r_$movie_name" "$work/recovery/windows/r_$movie_name"
check_same_bytes "second run: the audio copy is replaced by the same copy" \
  "$work/recovery/linux/r_$wav_name" "$work/recovery/windows/r_$wav_name"

echo "== an audio copy that cannot be written"
# A folder holds the copy's name, so the rewrite fails and prints the name.
cp -a "$recording" "$work/sources/blocked-audio"
mkdir "$work/sources/blocked-audio/r_$wav_name"
run_both blocked-audio "$work/sources/blocked-audio"
compare_runs blocked-audio same
if grep -q -F "r_$wav_name" "$work/blocked-audio/windows.out"; then
  pass "blocked-audio: the name is printed in UTF-8"
else
  fail "blocked-audio: the name is printed in UTF-8"
  cat "$work/blocked-audio/windows.out"
fi

echo "== a folder named like a movie"
run_both folder-movie "$folder_movie"
compare_runs folder-movie 4
if ffprobe -v error "$work/folder-movie/windows/r_片段02.mov" >/dev/null 2>&1; then
  pass "folder-movie: the movie without frames is still a readable file"
else
  fail "folder-movie: the movie without frames is not readable"
fi

echo "== outputs flushed before they are named"
# The server does Wine's renames, so it is started anew under the same trace
# as the tool; each output's flush (FlushFileBuffers, an fsync underneath)
# must come before the rename that names it.
rm -rf "$work/flush"
cp -a "$recording" "$work/flush"
"$wine_server" -k >/dev/null 2>&1 || true
(cd "$work/flush" && strace -f -qq -o "$work/flush.trace" \
  -e trace=fsync,fdatasync,rename,renameat,renameat2 "$wine_loader" "$exe" >/dev/null 2>&1) || true
# strace shows the non-ASCII part of a name as escapes: the names are told by their ends.
for output in "01.MOV" "01.WAV" "r_A001C001.wav"; do
  rename_line=$(grep -n -F "$output.part\"" "$work/flush.trace" | grep rename | head -1 |
    cut -d: -f1 || true)
  flushes=$(head -n "${rename_line:-0}" "$work/flush.trace" | grep -c -E 'fsync|fdatasync' || true)
  if [ -n "$rename_line" ] && [ "$flushes" -gt 0 ]; then
    pass "flush: $output is flushed before it is renamed into place"
  else
    fail "flush: $output is flushed before it is renamed into place"
    grep -E 'fsync|fdatasync|rename' "$work/flush.trace" | head -20
  fi
done
total=$(grep -c -E 'fsync|fdatasync' "$work/flush.trace" || true)
if [ "$total" -ge 3 ]; then pass "flush: one flush for each of the three outputs"; else
  fail "flush: $total flushes for three outputs"
fi

echo "== an output path longer than 260 characters"
# Windows' plain paths stop at 260 characters, and so does the working folder
# a program can start in. The folder here stays below that, but the movie's
# name takes its output path past 290, so the long form of the wide calls
# must be in use.
deep_tail="$(printf 'd%.0s' {1..60})/$(printf 'e%.0s' {1..60})/$(printf 'f%.0s' {1..60})"
long_movie="片段01$(printf 'L%.0s' {1..70}).MOV"
rm -rf "$work/deep"
for side in linux windows; do
  mkdir -p "$work/deep/$side/$deep_tail"
  cp -a "$recording"/. "$work/deep/$side/$deep_tail/"
  mv "$work/deep/$side/$deep_tail/$movie_name" "$work/deep/$side/$deep_tail/$long_movie"
done
deep_path="Z:${work//\//\\}\\deep\\windows\\${deep_tail//\//\\}\\r_$long_movie"
echo "output path: $(printf '%s' "$deep_path" | iconv -f UTF-8 -t UTF-16LE | wc -c | awk '{print $1 / 2}') characters"
code=0
(cd "$work/deep/linux/$deep_tail" && "$linux_tool" >"$work/deep/linux.out" 2>&1) || code=$?
echo "$code" >"$work/deep/linux.code"
code=0
(cd "$work/deep/windows/$deep_tail" &&
  "$wine_loader" "$exe" >"$work/deep/windows.out" 2>"$work/deep/windows.err") || code=$?
echo "$code" >"$work/deep/windows.code"
if [ "$(cat "$work/deep/linux.code")" = 0 ] && [ "$(cat "$work/deep/windows.code")" = 0 ]; then
  pass "deep: both exit with 0"
else
  fail "deep: exit codes linux $(cat "$work/deep/linux.code"), windows $(cat "$work/deep/windows.code")"
  cat "$work/deep/windows.out" "$work/deep/windows.err"
fi
if diff -u <(normalized "$work/deep/linux.out" "$work/deep/linux/$deep_tail") \
  <(normalized "$work/deep/windows.out" "$work/deep/windows/$deep_tail"); then
  pass "deep: stdout matches the Linux build's"
else
  fail "deep: stdout differs from the Linux build's"
fi
check_movie deep "$work/deep/windows/$deep_tail/r_$long_movie"
check_same_bytes "deep: the movie is the Linux build's, byte for byte" \
  "$work/deep/linux/$deep_tail/r_$long_movie" "$work/deep/windows/$deep_tail/r_$long_movie"
check_same_bytes "deep: r_$wav_name is the Linux build's, byte for byte" \
  "$work/deep/linux/$deep_tail/r_$wav_name" "$work/deep/windows/$deep_tail/r_$wav_name"
leftovers=$(cd "$work/deep/windows/$deep_tail" && ls | grep -c -E '\.part$' || true)
if [ "$leftovers" = 0 ]; then pass "deep: no temporary file is left"; else
  fail "deep: temporary files are left"
fi

echo "== packages"
(cd "$build/linux" && cpack -G DEB >"$work/cpack-deb.log" 2>&1) || cat "$work/cpack-deb.log"
(cd "$build/mingw" && cpack -G ZIP >"$work/cpack-zip.log" 2>&1) || cat "$work/cpack-zip.log"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/linux/CMakeCache.txt")
deb=$(ls "$build/linux"/prorescue_"$version"_*.deb 2>/dev/null | head -1 || true)
# grep reads the whole listing: with -q it would stop early and dpkg-deb die of SIGPIPE.
if [ -n "$deb" ] && dpkg-deb -c "$deb" | grep -E ' \./usr/bin/prorescue$' >/dev/null &&
  [ "$(dpkg-deb -f "$deb" Package)" = prorescue ] &&
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ]; then
  pass "the .deb installs /usr/bin/prorescue"
else
  fail "the .deb installs /usr/bin/prorescue"
  [ -n "$deb" ] && dpkg-deb -I "$deb" && dpkg-deb -c "$deb"
fi
zip="$build/mingw/prorescue-$version-win64.zip"
if [ -f "$zip" ] &&
  [ "$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')" = "README.md prorescue.1 prorescue.exe " ]; then
  pass "the .zip holds prorescue.exe, README.md and the man page"
else
  fail "the .zip holds prorescue.exe, README.md and the man page"
  [ -f "$zip" ] && unzip -l "$zip"
fi
# The packed executables are stripped, so they are run rather than compared:
# in a folder without "0.mt" both must stop at the metadata.
mkdir -p "$work/unpacked" "$work/sources/no-meta"
[ -n "$deb" ] && dpkg-deb -x "$deb" "$work/unpacked"
unzip -q -o "$zip" prorescue.exe -d "$work/unpacked" 2>/dev/null || true
exe="$work/unpacked/prorescue.exe"
linux_tool="$work/unpacked/usr/bin/prorescue"
run_both no-meta "$work/sources/no-meta"
compare_runs no-meta 1 "packaged tools"
if grep -q -x 'failed to read meta\.' "$work/no-meta/linux.out"; then
  pass "packaged tools: the missing metadata is reported"
else
  fail "packaged tools: the missing metadata is reported"
fi

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
