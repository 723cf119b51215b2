// Fuzzes the "0.mt" reader: every input is the whole metadata file of a run,
// read from the working folder exactly as the tool reads it.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "meta/meta.h"

using namespace fuzz_support;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makeScratchFolder();
  silenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InScratchFolder inScratch;
  if (!writeWhole("0.mt", data, size)) invariantBroken("cannot write 0.mt");
  // Far too large for a fuzzer's stack frame; the reader fills it in place.
  static RecordingMeta meta;
  readRecordingMeta(meta);
  return 0;
}
