// Fuzzes the WAV rewrite on arbitrary audio files and checks what it promises:
// the input never changes, a copy exists only when the rewrite succeeded, and
// a copy is the input with the canonical header over its first 44 bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/wav.h"
#include "fuzz/fuzz_support.h"

using namespace fuzz_support;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makeScratchFolder();
  silenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InScratchFolder inScratch;
  removeAllBut({});
  if (!writeWhole("a.wav", data, size)) invariantBroken("cannot write a.wav");
  const bool rewritten = rewriteWavHeader("a.wav");

  std::vector<uint8_t> input;
  if (!readWhole("a.wav", input) || input.size() != size ||
      (size > 0 && std::memcmp(input.data(), data, size) != 0)) {
    invariantBroken("the input changed");
  }
  std::vector<uint8_t> copy;
  const bool copied = readWhole("r_a.wav", copy);
  if (!rewritten) {
    if (copied) invariantBroken("a failed rewrite left a copy");
    return 0;
  }
  if (!copied || copy.size() != size || size < kWavHeaderSize) {
    invariantBroken("the copy is not as long as the input");
  }
  uint8_t header[kWavHeaderSize];
  fillCanonicalWavHeader(header, static_cast<uint32_t>(size));
  if (std::memcmp(copy.data(), header, kWavHeaderSize) != 0) {
    invariantBroken("the copy's header is not the canonical one");
  }
  if (std::memcmp(copy.data() + kWavHeaderSize, data + kWavHeaderSize, size - kWavHeaderSize) !=
      0) {
    invariantBroken("the copy's samples differ from the input's");
  }
  return 0;
}
