// Fuzzes the frame scanner and the movie writer together on arbitrary source
// files: a context with a fixed good shot creates the movie, the scan feeds
// it, and finishing writes it, as in a run. Short inputs are padded with zeros
// to two whole scan windows, so that even small inputs reach the frame path.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/scanner.h"
#include "fuzz/fuzz_support.h"
#include "movie/recovery_context.h"
#include "platform/bytes.h"
#include "platform/file.h"

using namespace fuzz_support;

namespace {

constexpr size_t kPaddedSize = 2 * static_cast<size_t>(kScanWindowSize);

std::string gFolder;

void placeShot(ShotInfo& shot) {
  // Filler that is not zero, as a camera's unread fields would be.
  for (size_t i = 0; i < kShotInfoSize; ++i) shot.bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  const float rate = 25.0f;
  uint32_t rawRate;
  std::memcpy(&rawRate, &rate, sizeof rawRate);
  store32le(shot.bytes + 0, 64);  // width
  store32le(shot.bytes + 4, 32);  // height
  store32le(shot.bytes + 180, rawRate);
  store32le(shot.bytes + 184, rawRate);
  shot.bytes[316] = 18;  // ProRes 422
  shot.bytes[466] = 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFolder = makeScratchFolder();
  silenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InScratchFolder inScratch;
  removeAllBut({});
  // Kept across inputs: fresh large buffers would cost a page fault per page each time.
  static std::vector<uint8_t> source;
  static std::vector<uint8_t> after;
  source.assign(data, data + size);
  if (source.size() < kPaddedSize) source.resize(kPaddedSize, 0);
  if (!writeWhole("clip.mov", source.data(), source.size())) {
    invariantBroken("cannot write clip.mov");
  }
  {
    RecoveryContext context;
    placeShot(context.meta.shot);
    if (context.createMovie(gFolder + kPathSeparator + "r_clip.mov")) {
      File input;
      if (!input.openForReading("clip.mov")) invariantBroken("cannot open clip.mov");
      ScanStats stats;
      scanFrames(context, input, stats);
      input.close();
    }
    context.finishMovie();
  }
  if (!readWhole("clip.mov", after) || after != source) invariantBroken("the source changed");
  return 0;
}
