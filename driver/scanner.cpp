// The frame scanner: one forward pass over the source in overlapping windows,
// taking every frame whose header passes the test, straight from the one
// static buffer into the movie.
#include "driver/scanner.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "movie/recovery_context.h"
#include "platform/bytes.h"

namespace {

// Lives in zero-initialised static storage and is never cleared by hand, so
// only the pages that windows and frames actually reach are ever touched.
alignas(64) uint8_t gFrameBuffer[kFrameBufferSize];

constexpr char kIdentifier[] = "icpf";
constexpr char kCreatorA[] = "fmpg";
constexpr char kCreatorB[] = "ZARO";

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

int32_t asSigned(uint32_t value) {
  int32_t result;
  std::memcpy(&result, &value, sizeof result);
  return result;
}

// Zero would leave the scan where it stands, finding the same header forever.
bool sizeIsTaken(uint32_t size) {
  return size != 0 && size <= kFrameBufferSize;
}

enum class FrameStep { Taken, Unreadable, EndOfSource, SeekFailed };

// Reads the frame at start whole into the buffer and hands it to the movie.
FrameStep takeFrame(RecoveryContext& context, File& source, uint64_t start, uint32_t size,
                    ScanStats& stats) {
  if (!source.seek(start)) return FrameStep::SeekFailed;
  const ReadResult frame = source.read(gFrameBuffer, size);
  if (frame.failed) return FrameStep::Unreadable;
  if (frame.count != size) return FrameStep::EndOfSource;
  ++stats.framesFound;
  if (!context.appendFrame(gFrameBuffer, static_cast<int32_t>(size))) ++stats.framesRefused;
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
  // Almost every candidate fails on its first identifier byte, so only the
  // places of an 'i' are looked at closely.
  const uint8_t* cursor = gFrameBuffer + first + 4;
  const uint8_t* const end = gFrameBuffer + limit + 4;
  while (cursor < end) {
    const void* hit = std::memchr(cursor, kIdentifier[0], static_cast<size_t>(end - cursor));
    if (hit == nullptr) return -1;
    const uint8_t* at = static_cast<const uint8_t*>(hit);
    if (passesHeaderTest(at - 4)) return static_cast<int32_t>(at - 4 - gFrameBuffer);
    cursor = at + 1;
  }
  return -1;
}

ScanOutcome scanFrames(RecoveryContext& context, File& source, ScanStats& stats) {
  uint64_t position = 0;
  for (;;) {
    if (!source.seek(position)) return seekFailed(ScanOutcome::WindowSeekFailed);
    const ReadResult window = source.read(gFrameBuffer, kScanWindowSize);
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
    if (window.count != kScanWindowSize) return endOfSource();

    const int32_t candidate = findFrameMarker(0, kScanStep);
    if (candidate < 0) {
      position += kScanStep;
      continue;
    }
    const uint64_t start = position + static_cast<uint64_t>(candidate);
    const uint32_t size = get32be(gFrameBuffer + candidate);
    if (!sizeIsTaken(size)) {
      std::printf("error buffer size %" PRId32 ", skip\n", asSigned(size));
      position = start + kHeaderSpan;
      continue;
    }
    std::printf("%" PRId32 " @ %" PRIu64 "\n", asSigned(size), start);
    switch (takeFrame(context, source, start, size, stats)) {
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
