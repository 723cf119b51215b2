// The frame scanner: walks the damaged source as plain bytes, finds each
// ProRes frame by its header and appends it to the output movie.
#pragma once

#include <cstdint>

#include "platform/file.h"

class RecoveryContext;

constexpr int32_t kScanWindowSize = 65536;
constexpr int32_t kScanStep = kScanWindowSize - 16;
constexpr int32_t kHeaderSpan = 16;
constexpr uint32_t kFrameBufferSize = 49766400;

enum class ScanOutcome { EndOfSource, WindowSeekFailed, FrameSeekFailed };

// What the scan met on the way, for the exit code: a run whose output is
// incomplete must not report success.
struct ScanStats {
  uint64_t framesRefused = 0;      // frames read whole that the movie could not take
  uint64_t unreadableRegions = 0;  // windows or frames skipped after a read error
};

// The scanner's static buffer; windows and frames are read into its start.
uint8_t* frameBuffer();

// Lowest candidate index in [first, limit) of the frame buffer that passes
// the header test, or -1. Candidates whose 16 header bytes would lie outside
// the buffer are never tried.
int32_t findFrameMarker(int32_t first, int32_t limit);

// One forward pass from offset 0 to the end of the source, appending every
// frame found. A read that fails (rather than meeting the end) skips the
// unreadable window or frame with a line of its own and is counted, so all
// that can be read is still recovered.
ScanOutcome scanFrames(RecoveryContext& context, File& source, ScanStats& stats);
