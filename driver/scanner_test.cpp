// The frame scanner against crafted sources in temporary folders: the header
// test alone over the buffer, and whole scans compared line for line.
#include "driver/scanner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
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
  ASSERT_EQ(out.createNew(path), CreateOutcome::Created);
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
ScanRun scan(const TempDir& dir, const std::string& sourceName, const FaultPlan& plan = {},
             const FaultPlan& also = {}) {
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
  setFaultPlan(plan, also);
  run.outcome = scanFrames(context, source, run.stats);
  clearFaultPlan();
  run.out = captured.finish();
  EXPECT_EQ(context.finishMovie(), MovieFinish::Finished);
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
    EXPECT_EQ(run.samples.size(), c.framesFound) << c.name;
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
  EXPECT_TRUE(run.samples == std::vector<Bytes>{frame(100)});
}

// A frame that fails is met on the buffered road: either the run is on it
// (no kernel copy here), or its kernel copy failed and it is done again there.
struct Road {
  const char* name;
  bool kernelCopyAllowed;
  FaultPlan also;
};
const Road kFailureRoads[] = {{"buffered", false, {}},
                              {"kernel copy failing", true, {FaultOp::Copy, 1, true}}};

struct RoadScope {
  explicit RoadScope(const Road& road) { setKernelCopyAllowed(road.kernelCopyAllowed); }
  ~RoadScope() { setKernelCopyAllowed(true); }
};

// The movie's one write per frame fails for the second frame only.
TEST(ScanFrames, RefusedFrameIsSteppedOver) {
  TempDir dir;
  const Bytes first = frame(3000);
  const Bytes refused = frameHidingHeader(20000);
  const Bytes last = frame(1000, "ZARO");
  writeSource(dir.file("clip.mov"), 200000, {{0, first}, {5000, refused}, {40000, last}});
  for (const Road& road : kFailureRoads) {
    SCOPED_TRACE(road.name);
    RoadScope onRoad(road);
    const ScanRun run = scan(dir, "clip.mov", {FaultOp::Write, 2, false}, road.also);
    EXPECT_EQ(run.out, frameLine(3000, 0) + frameLine(20000, 5000) + "Error write sample!" +
                           frameLine(1000, 40000) + kEnd);
    EXPECT_EQ(run.stats.framesRefused, 1u);
    EXPECT_TRUE(run.samples == (std::vector<Bytes>{first, last}));
  }
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
  for (const Road& road : kFailureRoads) {
    SCOPED_TRACE(road.name);
    RoadScope onRoad(road);
    for (const FaultCase& c : cases) {
      const ScanRun run = scan(dir, "clip.mov", c.plan, road.also);
      EXPECT_EQ(run.out, c.expected) << c.name;
      EXPECT_EQ(run.outcome, c.outcome) << c.name;
      EXPECT_EQ(run.stats.unreadableRegions, c.unreadableRegions) << c.name;
      EXPECT_EQ(run.samples.size(), c.framesFound) << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// The grouped header search: the identifier at every place of a group and of
// a vector, near misses beside real headers, the ends of the window and of the
// buffer, and random buffers dense with partial headers against a plain loop.

// The header test spelled out byte by byte, with nothing shared with the
// scanner's own: the plain loop the fast search must agree with.
bool isReferenceHeader(const uint8_t* at) {
  static const char kLeft[] = "fmpg";
  static const char kRight[] = "ZARO";
  if (at[4] != 'i' || at[5] != 'c' || at[6] != 'p' || at[7] != 'f') return false;
  for (int k = 0; k < 4; ++k) {
    if (at[12 + k] != kLeft[k] && at[12 + k] != kRight[k]) return false;
  }
  return true;
}

int32_t referenceFind(int64_t first, int64_t limit) {
  const int64_t candidates = int64_t{kFrameBufferSize} - kHeaderSpan + 1;
  for (int64_t i = first < 0 ? 0 : first; i < limit && i < candidates; ++i) {
    if (isReferenceHeader(frameBuffer() + i)) return static_cast<int32_t>(i);
  }
  return -1;
}

TEST(FindFrameMarkerGrouped, HeaderAtEveryPlaceOfAGroup) {
  const int32_t bases[] = {0, 1, 1000, kScanStep - 200};
  for (const int32_t base : bases) {
    for (int32_t offset = 0; offset < 160; ++offset) {
      clearWindow();
      place(base + offset, header(1));
      EXPECT_EQ(findFrameMarker(base, kScanStep), base + offset) << base << "+" << offset;
      EXPECT_EQ(findFrameMarker(base + offset, base + offset + 1), base + offset)
          << base << "+" << offset << " alone";
      EXPECT_EQ(findFrameMarker(base + offset + 1, kScanStep), -1) << base << "+" << offset;
      EXPECT_EQ(findFrameMarker(base, base + offset), -1) << base << "+" << offset;
    }
  }
}

// A near miss sits just before a real header, in the same group and often in
// the same vector: the miss must not be taken, nor hide the header.
TEST(FindFrameMarkerGrouped, NearMissesBesideAHeader) {
  std::vector<std::pair<const char*, Bytes>> misses;
  const char* identifiers[] = {"xcpf", "ixpf", "icxf", "icpx", "ICPF", "Icpf", "icpF", "iicp"};
  for (const char* identifier : identifiers) misses.push_back({identifier, header(1, identifier)});
  const char* creators[] = {"xmpg", "fxpg", "fmxg", "fmpx", "FMPG", "zaro", "ZARo", "gpmf"};
  for (const char* creator : creators) misses.push_back({creator, header(1, "icpf", creator)});
  for (const auto& [name, miss] : misses) {
    for (int32_t at = 0; at < 48; ++at) {
      for (const int32_t gap : {1, 3, 4, 15, 16, 17, 40, 63, 64, 65}) {
        clearWindow();
        place(at + gap, header(1));
        place(at, miss);
        const int32_t expected = referenceFind(0, kScanStep);
        EXPECT_EQ(findFrameMarker(0, kScanStep), expected)
            << name << " at " << at << " gap " << gap;
        EXPECT_EQ(findFrameMarker(0, at + gap), -1) << name << " at " << at << " gap " << gap;
      }
    }
  }
}

TEST(FindFrameMarkerGrouped, LowestOfSeveralInOneVector) {
  for (int32_t low = 0; low < 40; ++low) {
    for (int32_t step = 1; step < 20; ++step) {
      clearWindow();
      // Overlapping headers clobber each other's bytes; placed from the top
      // down, the lowest is whole and is the answer.
      for (int32_t at = low + 3 * step; at >= low; at -= step) place(at, header(1, "icpf", "ZARO"));
      EXPECT_EQ(findFrameMarker(0, kScanStep), low) << low << " step " << step;
      EXPECT_EQ(findFrameMarker(low + 1, kScanStep), referenceFind(low + 1, kScanStep))
          << low << " step " << step;
    }
  }
}

// Candidates 65,504..65,519 end inside the window; those from 65,520 on
// belong to the next window and must wait for it.
TEST(FindFrameMarkerGrouped, HeadersAtTheEndOfTheWindow) {
  for (int32_t at = kScanStep - 40; at < kScanWindowSize; ++at) {
    clearWindow();
    place(at, header(1));
    const int32_t expected = at < kScanStep ? at : -1;
    EXPECT_EQ(findFrameMarker(0, kScanStep), expected) << at;
    EXPECT_EQ(findFrameMarker(kScanStep - 64, kScanStep), expected) << at;
    EXPECT_EQ(findFrameMarker(kScanStep - 70, kScanStep), expected) << at;
  }
}

TEST(FindFrameMarkerGrouped, HeadersAtTheEndOfTheBuffer) {
  const int32_t last = static_cast<int32_t>(kFrameBufferSize) - kHeaderSpan;
  uint8_t* const tail = frameBuffer() + last - 200;
  for (int32_t at = last - 100; at <= last; ++at) {
    std::memset(tail, 0, 200 + kHeaderSpan);
    place(at, header(1));
    for (const int32_t first : {last - 199, last - 64, last - 63, at - 1, at, last}) {
      EXPECT_EQ(findFrameMarker(first, INT32_MAX), first <= at ? at : -1) << at << " " << first;
    }
  }
  // A header's first 15 bytes as the buffer's last: the identifier is all
  // there, the creator is cut off, and no candidate past the last is tried.
  std::memset(tail, 0, 200 + kHeaderSpan);
  const Bytes cut = header(1);
  std::memcpy(frameBuffer() + last + 1, cut.data(), kHeaderSpan - 1);
  EXPECT_EQ(findFrameMarker(last - 199, INT32_MAX), -1);
}

// Bytes drawn mostly from the header's own letters, with whole and mutated
// headers laid over them, so that almost every group needs a close look.
void fillWithPartialHeaders(uint8_t* bytes, size_t size, std::mt19937& random) {
  static const char kAlphabet[] = "icpffmpgZAROiIf\x00";
  std::uniform_int_distribution<size_t> letter(0, sizeof kAlphabet - 1);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(kAlphabet[letter(random)]);
  const char* creators[] = {"fmpg", "ZARO", "fApO", "ZmRg", "fmpx", "ZAR0"};
  std::uniform_int_distribution<size_t> where(0, size - kHeaderSpan);
  std::uniform_int_distribution<size_t> creator(0, 5);
  std::uniform_int_distribution<int> mutation(-8, 15);
  for (size_t n = size / 64; n > 0; --n) {
    Bytes h = header(1, "icpf", creators[creator(random)]);
    const int at = mutation(random);
    if (at >= 4 && at != 8 && at != 9 && at != 10 && at != 11) h[at] ^= 0x20;
    std::memcpy(bytes + where(random), h.data(), h.size());
  }
}

TEST(FindFrameMarkerGrouped, AgreesWithAPlainLoopOnRandomBuffers) {
  std::mt19937 random(20240611);
  constexpr int32_t kSpan = 4096;
  const int32_t last = static_cast<int32_t>(kFrameBufferSize) - kHeaderSpan;
  const int32_t regions[] = {0, kScanStep - kSpan + 100, last + kHeaderSpan - kSpan};
  int found = 0;
  for (int round = 0; round < 300; ++round) {
    const int32_t base = regions[round % 3];
    fillWithPartialHeaders(frameBuffer() + base, kSpan, random);
    std::uniform_int_distribution<int32_t> bound(base - 20, base + kSpan + 20);
    for (int query = 0; query < 200; ++query) {
      int32_t first = bound(random);
      int32_t limit = bound(random);
      if (query % 4 == 0) limit = first + query % 130;
      if (query % 7 == 0 && base == regions[2]) limit = INT32_MAX;
      const int32_t expected = referenceFind(first, limit);
      found += expected >= 0;
      ASSERT_EQ(findFrameMarker(first, limit), expected)
          << "round " << round << " first " << first << " limit " << limit;
    }
  }
  // The buffers must really have held headers for the comparison to mean much.
  EXPECT_GT(found, 10000);
}

}  // namespace
