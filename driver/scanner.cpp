// The frame scanner: one forward pass over the source in overlapping windows,
// taking every frame whose header passes the test, straight from the one
// static buffer into the movie.
#include "driver/scanner.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "movie/recovery_context.h"
#include "platform/bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace {

// Lives in zero-initialised static storage and is never cleared by hand, so
// only the pages that windows and frames actually reach are ever touched.
alignas(64) uint8_t gFrameBuffer[kFrameBufferSize];

constexpr char kIdentifier[] = "icpf";
constexpr char kCreatorA[] = "fmpg";
constexpr char kCreatorB[] = "ZARO";

// How much is read at once across a stretch without frames: far fewer calls
// than one per window, which is what keeps such a stretch at the speed of
// reading it.
constexpr size_t kReadAhead = size_t{1} << 18;
static_assert(kReadAhead <= kFrameBufferSize, "read-ahead lies in the frame buffer");

// The highest candidate whose whole header span lies inside the buffer.
constexpr int32_t kLastCandidate = static_cast<int32_t>(kFrameBufferSize) - kHeaderSpan;

bool isCreatorByte(uint8_t value, int at) {
  return value == static_cast<uint8_t>(kCreatorA[at]) ||
         value == static_cast<uint8_t>(kCreatorB[at]);
}

// Each creator byte is judged alone, so codes mixing the two makers pass too.
bool passesHeaderTest(const uint8_t* candidate) {
  if (std::memcmp(candidate + 4, kIdentifier, 4) != 0) return false;
  for (int at = 0; at < 4; ++at) {
    if (!isCreatorByte(candidate[12 + at], at)) return false;
  }
  return true;
}

// Candidates are sifted a group at a time: a group is looked at closely only
// when one of its candidates has the identifier's first and last bytes in
// place, which random frame data does about once in a thousand groups.
constexpr int32_t kGroupSize = 64;

// The four vectors of a group are spelled out: compilers at -O2 keep a
// loop of four, and its branch costs as much as the compares.
#if defined(__SSE2__) || defined(__aarch64__)
static_assert(kGroupSize == 4 * 16, "a group is four vectors");
#endif
#if defined(__SSE2__)
__m128i vectorMayHoldHeader(const uint8_t* candidates) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(candidates + 4));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(candidates + 7));
  return _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(kIdentifier[0])),
                       _mm_cmpeq_epi8(b, _mm_set1_epi8(kIdentifier[3])));
}

bool groupMayHoldHeader(const uint8_t* group) {
  const __m128i low = _mm_or_si128(vectorMayHoldHeader(group), vectorMayHoldHeader(group + 16));
  const __m128i high =
      _mm_or_si128(vectorMayHoldHeader(group + 32), vectorMayHoldHeader(group + 48));
  return _mm_movemask_epi8(_mm_or_si128(low, high)) != 0;
}
#elif defined(__aarch64__)
uint8x16_t vectorMayHoldHeader(const uint8_t* candidates) {
  const uint8x16_t a = vld1q_u8(candidates + 4);
  const uint8x16_t b = vld1q_u8(candidates + 7);
  return vandq_u8(vceqq_u8(a, vdupq_n_u8(static_cast<uint8_t>(kIdentifier[0]))),
                  vceqq_u8(b, vdupq_n_u8(static_cast<uint8_t>(kIdentifier[3]))));
}

bool groupMayHoldHeader(const uint8_t* group) {
  const uint8x16_t low = vorrq_u8(vectorMayHoldHeader(group), vectorMayHoldHeader(group + 16));
  const uint8x16_t high =
      vorrq_u8(vectorMayHoldHeader(group + 32), vectorMayHoldHeader(group + 48));
  return vmaxvq_u8(vorrq_u8(low, high)) != 0;
}
#else
// Sets the top bit of exactly the zero bytes of word; unlike the shorter
// "has a zero byte" trick it never marks a byte after a zero one, so two
// marks can be ANDed place by place.
uint64_t zeroBytes(uint64_t word) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  return ~(((word & kLow7) + kLow7) | word | kLow7);
}

// Eight candidates per word; both words are loaded in the same byte order,
// so their byte places line up whatever the machine's order is.
bool groupMayHoldHeader(const uint8_t* group) {
  constexpr uint64_t kEveryByte = 0x0101010101010101ull;
  const uint64_t first = kEveryByte * static_cast<uint8_t>(kIdentifier[0]);
  const uint64_t last = kEveryByte * static_cast<uint8_t>(kIdentifier[3]);
  uint64_t any = 0;
  for (int at = 0; at < kGroupSize; at += 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, group + at + 4, sizeof a);
    std::memcpy(&b, group + at + 7, sizeof b);
    any |= zeroBytes(a ^ first) & zeroBytes(b ^ last);
  }
  return any != 0;
}
#endif

int32_t firstPassing(int32_t first, int32_t limit) {
  for (int32_t candidate = first; candidate < limit; ++candidate) {
    if (passesHeaderTest(gFrameBuffer + candidate)) return candidate;
  }
  return -1;
}

// Zero would leave the scan where it stands, finding the same header forever.
bool sizeIsTaken(uint32_t size) {
  return size != 0 && size <= kFrameBufferSize;
}

enum class FrameStep { Taken, Unreadable, EndOfSource, SeekFailed };

// Reads the frame at start whole into the buffer and hands it to the movie.
// Two roads for a frame. Inside the kernel, its bytes go from the source to
// the movie without passing through the buffer, and are shared where the
// file system can. Through the buffer, one read and one write; that road is
// taken for the rest of the run once the kernel says it cannot copy, and for
// any frame whose kernel copy failed, so that the failure shows up as what
// it is: a read error, a write error, or the end of the source.
FrameStep takeFrame(RecoveryContext& context, File& source, uint64_t start, uint32_t size,
                    ScanStats& stats, bool& kernelRoad) {
  if (!source.seek(start)) return FrameStep::SeekFailed;
  if (kernelRoad) {
    switch (context.copyFrame(source, start, static_cast<int32_t>(size))) {
      case FrameCopy::Appended:
        return FrameStep::Taken;
      case FrameCopy::Unsupported:
        kernelRoad = false;
        break;
      case FrameCopy::Failed:
        break;
    }
  }
  const ReadResult frame = source.read(gFrameBuffer, size);
  if (frame.failed) return FrameStep::Unreadable;
  if (frame.count != size) return FrameStep::EndOfSource;
  if (!context.appendFrame(gFrameBuffer, static_cast<int32_t>(size), source, start)) {
    ++stats.framesRefused;
  }
  return FrameStep::Taken;
}

// A failed read past which no whole window remains has reached the end, or
// else a source that fails every read would be walked forever.
bool windowFitsBefore(File& source, uint64_t position, bool& fits) {
  uint64_t end = 0;
  if (!source.seekToEnd(end)) return false;
  fits = end >= kScanWindowSize && position <= end - kScanWindowSize;
  return true;
}

ScanOutcome endOfSource() {
  std::puts("reach end of file!");
  return ScanOutcome::EndOfSource;
}

ScanOutcome seekFailed(ScanOutcome outcome) {
  std::puts("error seek!");
  return outcome;
}

}  // namespace

uint8_t* frameBuffer() {
  return gFrameBuffer;
}

int32_t findFrameMarker(int32_t first, int32_t limit) {
  if (first < 0) first = 0;
  if (limit > kLastCandidate + 1) limit = kLastCandidate + 1;
  if (first >= limit) return -1;
  if (limit - first < kGroupSize) return firstPassing(first, limit);
  // The last group is drawn back to end at the limit rather than run past
  // it; the candidates it repeats have already failed, and fail again.
  const int32_t lastGroup = limit - kGroupSize;
  for (int32_t group = first;; group += kGroupSize) {
    if (group > lastGroup) group = lastGroup;
    if (groupMayHoldHeader(gFrameBuffer + group)) {
      const int32_t found = firstPassing(group, group + kGroupSize);
      if (found >= 0) return found;
    }
    if (group == lastGroup) return -1;
  }
}

ScanOutcome scanFrames(RecoveryContext& context, File& source, ScanStats& stats) {
  uint64_t position = 0;
  bool kernelRoad = true;
  // Source bytes already at the buffer's start: [heldFrom, heldFrom + held).
  // Across a stretch without frames the reads grow to kReadAhead, and the
  // windows that follow are searched where they already lie.
  uint64_t heldFrom = 0;
  size_t held = 0;
  size_t readSize = kScanWindowSize;
  for (;;) {
    size_t at = 0;  // where the window starts in the buffer
    if (position >= heldFrom && position - heldFrom <= held &&
        held - (position - heldFrom) >= static_cast<size_t>(kScanWindowSize)) {
      at = static_cast<size_t>(position - heldFrom);
    } else {
      held = 0;
      if (!source.seek(position)) return seekFailed(ScanOutcome::WindowSeekFailed);
      ReadResult window = source.read(gFrameBuffer, readSize);
      if (window.failed && readSize > static_cast<size_t>(kScanWindowSize)) {
        // Whether this very window can be read decides what is said of it.
        readSize = kScanWindowSize;
        if (!source.seek(position)) return seekFailed(ScanOutcome::WindowSeekFailed);
        window = source.read(gFrameBuffer, readSize);
      }
      if (window.failed) {
        bool fits = false;
        if (!windowFitsBefore(source, position, fits)) {
          return seekFailed(ScanOutcome::WindowSeekFailed);
        }
        if (!fits) return endOfSource();
        std::printf("unable to read source at %" PRIu64 ", %" PRId32 " bytes skipped\n", position,
                    kScanStep);
        ++stats.unreadableRegions;
        position += kScanStep;
        continue;
      }
      if (window.count < static_cast<size_t>(kScanWindowSize)) return endOfSource();
      heldFrom = position;
      held = window.count;
    }

    const int32_t first = static_cast<int32_t>(at);
    const int32_t found = findFrameMarker(first, first + kScanStep);
    if (found < 0) {
      position += kScanStep;
      readSize = kReadAhead;
      continue;
    }
    const int32_t candidate = found - first;
    const uint64_t start = position + static_cast<uint64_t>(candidate);
    const uint32_t size = get32be(gFrameBuffer + found);
    if (!sizeIsTaken(size)) {
      std::printf("error buffer size %" PRId32 ", skip\n", asSigned32(size));
      position = start + kHeaderSpan;
      continue;
    }
    std::printf("%" PRId32 " @ %" PRIu64 "\n", asSigned32(size), start);
    // After a frame the next one is usually near: a window is read, not more.
    readSize = kScanWindowSize;
    const FrameStep step = takeFrame(context, source, start, size, stats, kernelRoad);
    if (!kernelRoad || step != FrameStep::Taken) held = 0;  // the frame may have been read over it
    switch (step) {
      case FrameStep::Taken:
        break;
      case FrameStep::Unreadable:
        std::printf("unable to read frame at %" PRIu64 ", %" PRIu32 " bytes skipped\n", start,
                    size);
        ++stats.unreadableRegions;
        break;
      case FrameStep::EndOfSource:
        return endOfSource();
      case FrameStep::SeekFailed:
        return seekFailed(ScanOutcome::FrameSeekFailed);
    }
    position = start + size;
  }
}
