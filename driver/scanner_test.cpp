// The frame scanner against crafted sources in temporary folders: the header
// test alone over the buffer, and whole scans compared line for line.
#include "driver/scanner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "movie/recovery_context.h"
#include "platform/file.h"
#include "tests/atom_reader.h"
#include "tests/support.h"

namespace {

using testing_support::TempDir;

constexpr uint64_t kGiB = uint64_t{1} << 30;

Bytes header(uint32_t size, const char* identifier = "icpf", const char* creator = "fmpg") {
  Bytes bytes(16, 0x11);
  store32be(bytes.data(), size);
  std::memcpy(bytes.data() + 4, identifier, 4);
  std::memcpy(bytes.data() + 12, creator, 4);
  return bytes;
}

// A whole frame: the header, then a body that differs from byte to byte.
Bytes frame(uint32_t size, const char* creator = "fmpg") {
  Bytes bytes = header(size, "icpf", creator);
  bytes.resize(size < 16 ? 16 : size);
  for (size_t i = 16; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 5);
  return bytes;
}

// A frame whose body carries a valid header, which must never be found.
Bytes frameHidingHeader(uint32_t size) {
  Bytes bytes = frame(size);
  const Bytes hidden = header(100);
  std::memcpy(bytes.data() + size / 2, hidden.data(), hidden.size());
  return bytes;
}

std::string frameLine(int64_t size, uint64_t at) {
  return std::to_string(size) + " @ " + std::to_string(at) + "\n";
}

std::string skipLine(int64_t size) {
  return "error buffer size " + std::to_string(size) + ", skip\n";
}

const std::string kEnd = "reach end of file!\n";

struct Piece {
  uint64_t at;
  Bytes bytes;
};

// Garbage everywhere (with plenty of 'i' bytes for the search to reject), or
// a sparse file of zeros; the pieces are laid over it in order.
void writeSource(const std::string& path, uint64_t length, const std::vector<Piece>& pieces,
                 bool sparse = false) {
  File out;
  ASSERT_TRUE(out.createNew(path));
  ASSERT_TRUE(out.truncate(length));
  if (!sparse) {
    Bytes chunk(1 << 20);
    uint32_t state = 12345;
    for (uint64_t at = 0; at < length; at += chunk.size()) {
      for (uint8_t& byte : chunk) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 24);
      }
      const uint64_t left = length - at;
      ASSERT_TRUE(out.writeAt(at, chunk.data(), left < chunk.size() ? left : chunk.size()));
    }
  }
  for (const Piece& piece : pieces) {
    ASSERT_TRUE(out.writeAt(piece.at, piece.bytes.data(), piece.bytes.size()));
  }
  ASSERT_TRUE(out.close());
}

struct ScanRun {
  ScanOutcome outcome = ScanOutcome::EndOfSource;
  ScanStats stats;
  std::string out;
  std::vector<Bytes> samples;  // what the finished movie holds
};

// Scans a source with a real context whose movie lives in the same folder,
// then finishes the movie and reads its samples back. The source is left at
// an odd position first: every read must seek.
ScanRun scan(const TempDir& dir, const std::string& sourceName, const FaultPlan& plan = {}) {
  ScanRun run;
  RecoveryContext context;
  std::memcpy(context.meta.shot.bytes, testing_support::shotPayload({}).data(), kShotInfoSize);
  const std::string moviePath = dir.file("r_" + sourceName);
  if (!context.createMovie(moviePath)) {
    ADD_FAILURE() << "movie not created";
    return run;
  }
  File source;
  if (!source.openForReading(dir.file(sourceName)) || !source.seek(12345)) {
    ADD_FAILURE() << "source not opened";
    return run;
  }
  testing_support::CapturedStdout captured;
  setFaultPlan(plan);
  run.outcome = scanFrames(context, source, run.stats);
  clearFaultPlan();
  run.out = captured.finish();
  EXPECT_TRUE(context.finishMovie());
  testing_support::MovieFile movie;
  testing_support::TrackSamples track;
  EXPECT_TRUE(testing_support::readMovieFile(moviePath, movie)) << movie.error;
  EXPECT_TRUE(testing_support::readTrackSamples(movie, track));
  EXPECT_TRUE(testing_support::readSampleBytes(movie, track, run.samples));
  return run;
}

Bytes sourceBytes(const std::string& path, uint64_t at, uint32_t size) {
  Bytes bytes(size);
  File source;
  if (!source.openForReading(path) || !source.seek(at) ||
      source.read(bytes.data(), size).count != size) {
    ADD_FAILURE() << "source bytes not read";
  }
  return bytes;
}

// The frames that an expected scan takes: every "size @ offset" line whose
// frame lies inside the source, in order.
std::vector<Bytes> framesOfLines(const std::string& path, uint64_t length,
                                 const std::string& lines) {
  std::vector<Bytes> frames;
  size_t begin = 0;
  while (begin < lines.size()) {
    const size_t end = lines.find('\n', begin);
    const std::string line = lines.substr(begin, end - begin);
    begin = end + 1;
    const size_t at = line.find(" @ ");
    if (at == std::string::npos) continue;
    const uint64_t size = std::stoull(line.substr(0, at));
    const uint64_t offset = std::stoull(line.substr(at + 3));
    if (offset + size <= length)
      frames.push_back(sourceBytes(path, offset, static_cast<uint32_t>(size)));
  }
  return frames;
}

void clearWindow() {
  std::memset(frameBuffer(), 0, 2 * kScanWindowSize);
}

void place(int32_t at, const Bytes& bytes) {
  std::memcpy(frameBuffer() + at, bytes.data(), bytes.size());
}

struct MarkerCase {
  const char* name;
  std::vector<std::pair<int32_t, Bytes>> headers;
  int32_t first;
  int32_t limit;
  int32_t expected;
};

TEST(FindFrameMarker, HeaderTestAndBounds) {
  const MarkerCase cases[] = {
      {"at candidate 0", {{0, header(1)}}, 0, kScanStep, 0},
      {"at the last candidate", {{kScanStep - 1, header(1)}}, 0, kScanStep, kScanStep - 1},
      {"just past the limit", {{kScanStep, header(1)}}, 0, kScanStep, -1},
      {"limit excludes", {{10, header(1)}}, 0, 10, -1},
      {"limit includes", {{10, header(1)}}, 0, 11, 10},
      {"first skips an earlier one", {{0, header(1)}, {40, header(1)}}, 1, kScanStep, 40},
      {"lowest wins", {{900, header(1)}, {300, header(1)}}, 0, kScanStep, 300},
      {"first equals limit", {{5, header(1)}}, 5, 5, -1},
      {"first above limit", {{5, header(1)}}, 6, 5, -1},
      {"negative first", {{0, header(1)}}, -7, 10, 0},
      {"ZARO", {{3, header(1, "icpf", "ZARO")}}, 0, kScanStep, 3},
      {"fmpg then ZARO halves", {{3, header(1, "icpf", "fmRO")}}, 0, kScanStep, 3},
      {"ZARO then fmpg halves", {{3, header(1, "icpf", "ZApg")}}, 0, kScanStep, 3},
      {"alternating", {{3, header(1, "icpf", "fApO")}}, 0, kScanStep, 3},
      {"creator case", {{3, header(1, "icpf", "fMpg")}}, 0, kScanStep, -1},
      {"creator last byte", {{3, header(1, "icpf", "fmpO")}}, 0, kScanStep, 3},
      {"creator unknown", {{3, header(1, "icpf", "fmpx")}}, 0, kScanStep, -1},
      {"upper-case identifier", {{3, header(1, "ICPF")}}, 0, kScanStep, -1},
      {"capitalised identifier", {{3, header(1, "Icpf")}}, 0, kScanStep, -1},
      {"identifier last byte", {{3, header(1, "icpF")}}, 0, kScanStep, -1},
      // "iicpf": the failed candidate must not hide the one a byte later.
      {"overlapping near miss", {{101, header(1)}, {104, {'i'}}}, 0, kScanStep, 101},
  };
  for (const MarkerCase& c : cases) {
    clearWindow();
    for (const auto& [at, bytes] : c.headers) place(at, bytes);
    EXPECT_EQ(findFrameMarker(c.first, c.limit), c.expected) << c.name;
  }
}

TEST(FindFrameMarker, NeverLooksPastTheBuffer) {
  const int32_t last = static_cast<int32_t>(kFrameBufferSize) - 16;
  std::memset(frameBuffer() + last - 64, 0, 80);
  place(last, header(1));
  EXPECT_EQ(findFrameMarker(last - 64, INT32_MAX), last);
  place(last, Bytes(16, 0));
  EXPECT_EQ(findFrameMarker(last - 64, INT32_MAX), -1);
}

// Holes in tmpfs read at memory speed; on disk, reading gigabytes of holes
// takes many seconds.
struct ScopedTempBase {
  explicit ScopedTempBase(const char* folder) {
    if (const char* base = std::getenv("TMPDIR")) saved = base;
    hadBase = std::getenv("TMPDIR") != nullptr;
    if (isFolder(folder)) ::setenv("TMPDIR", folder, 1);
  }
  ~ScopedTempBase() {
    if (hadBase) {
      ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  std::string saved;
  bool hadBase = false;
};

struct ScanCase {
  const char* name;
  uint64_t length;
  std::vector<Piece> pieces;
  std::string expected;
  uint64_t framesFound;
  bool sparse;
};

std::vector<ScanCase> scanCases() {
  const uint32_t capacity = kFrameBufferSize;
  return {
      {"frame at offset 0", 70000, {{0, frame(100)}}, frameLine(100, 0) + kEnd, 1, false},
      {"source shorter than a window", 1000, {{0, frame(500)}}, kEnd, 0, false},
      {"last partial window not searched", 200000, {{199000, frame(500)}}, kEnd, 0, false},
      {"last candidate of a window",
       3 * 65536,
       {{65519, frame(100)}},
       frameLine(100, 65519) + kEnd,
       1,
       false},
      {"first offset of the overlap",
       3 * 65536,
       {{65520, frame(100)}},
       frameLine(100, 65520) + kEnd,
       1,
       false},
      {"header straddling the window end",
       3 * 65536,
       {{65535, frame(100)}},
       frameLine(100, 65535) + kEnd,
       1,
       false},
      {"size at capacity",
       capacity,
       {{0, header(capacity)}},
       frameLine(capacity, 0) + kEnd,
       1,
       true},
      // A header 12 bytes on overlaps the refused one (its size field is the
      // creator code); it is never tried.
      {"refused size skips the next 15 offsets",
       200000,
       {{12, header(1000)}, {0, header(capacity + 1)}},
       skipLine(capacity + 1) + kEnd,
       0,
       false},
      {"refused size resumes 16 bytes on",
       200000,
       {{0, header(capacity + 1)}, {16, frame(1000)}},
       skipLine(capacity + 1) + frameLine(1000, 16) + kEnd,
       1,
       false},
      {"top bit set shows negative",
       200000,
       {{0, header(0x80000000u)}, {40, header(0xFFFFFFFFu)}},
       skipLine(-2147483648LL) + skipLine(-1) + kEnd,
       0,
       false},
      {"size 0 is refused and passed",
       200000,
       {{0, header(0)}, {16, frame(1000)}},
       skipLine(0) + frameLine(1000, 16) + kEnd,
       1,
       false},
      {"size shorter than a header is taken as given",
       200000,
       {{0, header(8)}},
       frameLine(8, 0) + kEnd,
       1,
       false},
      {"frame running past the end",
       70000,
       {{0, header(100000)}},
       frameLine(100000, 0) + kEnd,
       0,
       false},
      {"frames among garbage, in file order",
       900000,
       {{7, frame(3000)},
        {5000, header(100, "icpf", "fmpx")},
        {6000, header(100, "ICPF")},
        {70001, frameHidingHeader(200000)},
        {270001, frame(65536, "ZARO")},
        {335537, frame(17, "fmRO")},
        {600000, frameHidingHeader(150000)}},
       frameLine(3000, 7) + frameLine(200000, 70001) + frameLine(65536, 270001) +
           frameLine(17, 335537) + frameLine(150000, 600000) + kEnd,
       5,
       false},
  };
}

TEST(ScanFrames, LinesAndFramesTaken) {
  ScopedTempBase inMemory("/dev/shm");
  for (const ScanCase& c : scanCases()) {
    TempDir dir;
    writeSource(dir.file("clip.mov"), c.length, c.pieces, c.sparse);
    const ScanRun run = scan(dir, "clip.mov");
    EXPECT_EQ(run.out, c.expected) << c.name;
    EXPECT_EQ(run.outcome, ScanOutcome::EndOfSource) << c.name;
    EXPECT_EQ(run.stats.framesFound, c.framesFound) << c.name;
    EXPECT_EQ(run.stats.framesRefused, 0u) << c.name;
    EXPECT_EQ(run.stats.unreadableRegions, 0u) << c.name;
    EXPECT_TRUE(run.samples == framesOfLines(dir.file("clip.mov"), c.length, c.expected)) << c.name;
  }
}

TEST(ScanFrames, OffsetsBeyondFourGiB) {
  ScopedTempBase inMemory("/dev/shm");
  TempDir dir;
  const uint64_t at = 5 * kGiB + 3;
  writeSource(dir.file("clip.mov"), at + 100 + kScanWindowSize, {{at, frame(100)}}, true);
  const ScanRun run = scan(dir, "clip.mov");
  EXPECT_EQ(run.out, "100 @ 5368709123\n" + kEnd);
  EXPECT_EQ(run.stats.framesFound, 1u);
  EXPECT_TRUE(run.samples == std::vector<Bytes>{frame(100)});
}

// The movie's one write per frame fails for the second frame only.
TEST(ScanFrames, RefusedFrameIsSteppedOver) {
  TempDir dir;
  const Bytes first = frame(3000);
  const Bytes refused = frameHidingHeader(20000);
  const Bytes last = frame(1000, "ZARO");
  writeSource(dir.file("clip.mov"), 200000, {{0, first}, {5000, refused}, {40000, last}});
  const ScanRun run = scan(dir, "clip.mov", {FaultOp::Write, 2, false});
  EXPECT_EQ(run.out, frameLine(3000, 0) + frameLine(20000, 5000) + "Error write sample!" +
                         frameLine(1000, 40000) + kEnd);
  EXPECT_EQ(run.stats.framesFound, 3u);
  EXPECT_EQ(run.stats.framesRefused, 1u);
  EXPECT_TRUE(run.samples == (std::vector<Bytes>{first, last}));
}

struct FaultCase {
  const char* name;
  FaultPlan plan;
  std::string expected;
  ScanOutcome outcome;
  uint64_t framesFound;
  uint64_t unreadableRegions;
};

// Reads and seeks of the fault source below, in order:
//   window 0, frame 50, window 150, window 65670, frame 70000, window 71000,
//   window 136520 (short: the end).
TEST(ScanFrames, ReadAndSeekFaults) {
  const std::string first = frameLine(100, 50);
  const std::string second = frameLine(1000, 70000);
  const FaultCase cases[] = {
      {"unreadable first window",
       {FaultOp::Read, 1, false},
       "unable to read source at 0, 65520 bytes skipped\n" + second + kEnd,
       ScanOutcome::EndOfSource,
       1,
       1},
      {"unreadable frame",
       {FaultOp::Read, 2, false},
       first + "unable to read frame at 50, 100 bytes skipped\n" + second + kEnd,
       ScanOutcome::EndOfSource,
       1,
       1},
      {"unreadable from the start on",
       {FaultOp::Read, 1, true},
       "unable to read source at 0, 65520 bytes skipped\n"
       "unable to read source at 65520, 65520 bytes skipped\n"
       "unable to read source at 131040, 65520 bytes skipped\n" +
           kEnd,
       ScanOutcome::EndOfSource,
       0,
       3},
      {"unreadable from the second frame on",
       {FaultOp::Read, 5, true},
       first + second + "unable to read frame at 70000, 1000 bytes skipped\n" +
           "unable to read source at 71000, 65520 bytes skipped\n" + kEnd,
       ScanOutcome::EndOfSource,
       1,
       2},
      {"first window seek",
       {FaultOp::Seek, 1, false},
       "error seek!\n",
       ScanOutcome::WindowSeekFailed,
       0,
       0},
      {"frame seek",
       {FaultOp::Seek, 2, false},
       first + "error seek!\n",
       ScanOutcome::FrameSeekFailed,
       0,
       0},
      {"window seek after a frame",
       {FaultOp::Seek, 3, false},
       first + "error seek!\n",
       ScanOutcome::WindowSeekFailed,
       1,
       0},
  };
  TempDir dir;
  writeSource(dir.file("clip.mov"), 200000, {{50, frame(100)}, {70000, frame(1000)}});
  for (const FaultCase& c : cases) {
    const ScanRun run = scan(dir, "clip.mov", c.plan);
    EXPECT_EQ(run.out, c.expected) << c.name;
    EXPECT_EQ(run.outcome, c.outcome) << c.name;
    EXPECT_EQ(run.stats.framesFound, c.framesFound) << c.name;
    EXPECT_EQ(run.stats.unreadableRegions, c.unreadableRegions) << c.name;
    EXPECT_EQ(run.samples.size(), c.framesFound) << c.name;
  }
}

}  // namespace
