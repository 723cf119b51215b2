// Audio repair: reads a WAV file whole, lays the canonical header over its
// first 44 bytes, and publishes the copy under "r_" + name only once it is
// complete, so neither a failed write nor a link at that name can do harm.
#include "audio/wav.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/bytes.h"
#include "platform/publish.h"

namespace {

constexpr uint16_t kWavFormatPcm = 1;
constexpr uint16_t kWavChannels = 1;
constexpr uint32_t kWavSampleRate = 48000;
constexpr uint16_t kWavBitsPerSample = 16;
constexpr uint16_t kWavBlockAlign = kWavChannels * kWavBitsPerSample / 8;
constexpr uint32_t kWavByteRate = kWavSampleRate * kWavBlockAlign;
// The part of the RIFF chunk that precedes the sample data, after its own size field.
constexpr uint32_t kRiffOverhead = kWavHeaderSize - 8;

// The size fields are 32 bits wide and the whole file is held in memory, so
// only sizes that a signed 32-bit count can hold are taken.
constexpr uint64_t kLargestWavSize = 0x7fffffff;

// Whole 2-byte sample frames only: an odd last byte is copied but not declared.
uint32_t canonicalDataSize(uint32_t fileSize) {
  if (fileSize < kWavHeaderSize) return 0;
  return (fileSize - kWavHeaderSize) & ~uint32_t{1};
}

void reportUnwritable(const std::string& copyName) {
  std::printf("unable to write file %s!\n", copyName.c_str());
}

void reportNotCopied(const std::string& copyName) {
  std::printf("error writing file %s, no copy made!\n", copyName.c_str());
}

// The copy reaches its name only whole and flushed, so the name holds either
// what it held before or the complete copy, and a link there is replaced
// rather than written through.
WavOutcome publishCopy(const std::string& copyName, const uint8_t* image, size_t size) {
  PendingOutput copy;
  switch (beginOutput(copy, copyName)) {
    case BeginOutcome::Begun:
      break;
    case BeginOutcome::Refused:
      reportUnwritable(copyName);
      return WavOutcome::Refused;
    case BeginOutcome::Failed:
      reportNotCopied(copyName);
      return WavOutcome::CopyFailed;
  }
  if (!copy.file.writeAt(0, image, size)) {
    abandonOutput(copy);
    reportNotCopied(copyName);
    return WavOutcome::CopyFailed;
  }
  switch (commitOutput(copy, true)) {
    case CommitOutcome::Published:
      return WavOutcome::Repaired;
    case CommitOutcome::NotFlushed:
      printNotFlushed(copyName);
      return WavOutcome::CopyFailed;
    case CommitOutcome::WriteFailed:
    case CommitOutcome::KeptExisting:
      reportNotCopied(copyName);
      return WavOutcome::CopyFailed;
    case CommitOutcome::RenameFailed:
      reportUnwritable(copyName);
      return WavOutcome::CopyFailed;
  }
  return WavOutcome::CopyFailed;
}

}  // namespace

void fillCanonicalWavHeader(uint8_t* header, uint32_t fileSize) {
  const uint32_t dataSize = canonicalDataSize(fileSize);
  std::memcpy(header + 0, "RIFF", 4);
  store32le(header + 4, dataSize + kRiffOverhead);
  std::memcpy(header + 8, "WAVE", 4);
  std::memcpy(header + 12, "fmt ", 4);
  store32le(header + 16, 16);  // the plain PCM format chunk, no extension
  store16le(header + 20, kWavFormatPcm);
  store16le(header + 22, kWavChannels);
  store32le(header + 24, kWavSampleRate);
  store32le(header + 28, kWavByteRate);
  store16le(header + 32, kWavBlockAlign);
  store16le(header + 34, kWavBitsPerSample);
  std::memcpy(header + 36, "data", 4);
  store32le(header + 40, dataSize);
}

WavOutcome repairWav(const std::string& name) {
  File input;
  bool storageFailed = false;
  if (!input.openForReading(name, &storageFailed)) {
    std::printf("unable to open %s!\n", name.c_str());
    // A missing file holds no audio to lose; one the disk failed to open might.
    return storageFailed ? WavOutcome::Unreadable : WavOutcome::Refused;
  }
  uint64_t fileSize = 0;
  const bool sized = input.seekToEnd(fileSize);
  if (!sized || fileSize == 0) {
    std::puts("error seek.");
    // An empty file holds no audio to lose; a file that cannot be sized might.
    return sized ? WavOutcome::Refused : WavOutcome::Unreadable;
  }
  // Refused before anything is allocated: the header would not fit the image.
  if (fileSize < kWavHeaderSize) {
    std::printf("wav file %s is shorter than a 44-byte header, skipped!\n", name.c_str());
    return WavOutcome::Refused;
  }
  if (fileSize > kLargestWavSize) {
    std::printf("wav file %s is 2 GiB or larger, skipped!\n", name.c_str());
    return WavOutcome::Refused;
  }
  const size_t size = static_cast<size_t>(fileSize);
  // Declared after the input so that the image is freed before the input closes.
  std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size]);
  if (!image) {
    std::puts("err alloc.");
    return WavOutcome::Refused;
  }
  if (!input.seek(0)) {
    std::puts("err read wav.");
    return WavOutcome::Unreadable;
  }
  const ReadResult got = input.read(image.get(), size);
  if (got.failed || got.count != size) {
    std::puts("err read wav.");
    return got.failed ? WavOutcome::Unreadable : WavOutcome::Refused;
  }
  // Only read from; a failed close cannot have lost anything.
  input.close();
  fillCanonicalWavHeader(image.get(), static_cast<uint32_t>(size));
  return publishCopy("r_" + name, image.get(), size);
}

bool rewriteWavHeader(const std::string& name) {
  return repairWav(name) == WavOutcome::Repaired;
}
