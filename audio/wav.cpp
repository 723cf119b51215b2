// Audio repair: reads a WAV file whole, lays the canonical header over its
// first 44 bytes, and publishes the copy under "r_" + name only once it is
// complete, so neither a failed write nor a link at that name can do harm.
#include "audio/wav.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/bytes.h"
#include "platform/file.h"

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

// The longest single name a folder entry can carry on the file systems we meet.
constexpr size_t kMaxEntryName = 255;
constexpr char kTempSuffix[] = ".part";

// Whole 2-byte sample frames only: an odd last byte is copied but not declared.
uint32_t canonicalDataSize(uint32_t fileSize) {
  if (fileSize < kWavHeaderSize) return 0;
  return (fileSize - kWavHeaderSize) & ~uint32_t{1};
}

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The copy is written beside its final name under a name that the folder
// listing never takes as an input (its second character is '_' and it does
// not end in .wav), shortened when needed so that it still fits one entry.
std::string temporaryName(const std::string& copyName) {
  const size_t suffixLength = sizeof kTempSuffix - 1;
  const size_t separator = copyName.find_last_of(std::string("/") + kPathSeparator);
  const size_t entryStart = separator == std::string::npos ? 0 : separator + 1;
  if (copyName.size() - entryStart + suffixLength <= kMaxEntryName) {
    return copyName + kTempSuffix;
  }
  size_t cut = entryStart + kMaxEntryName - suffixLength;
  // A cut inside a multi-byte character would leave a name some file systems refuse.
  while (cut > entryStart && isContinuationByte(copyName[cut])) --cut;
  return copyName.substr(0, cut) + kTempSuffix;
}

void reportUnwritable(const std::string& copyName) {
  std::printf("unable to write file %s!\n", copyName.c_str());
}

// Writes the image under a temporary name and renames it into place, so the
// final name holds either what it held before or the complete copy, and a
// link there is replaced rather than written through.
WavOutcome publishCopy(const std::string& name, const std::string& copyName, const uint8_t* image,
                       size_t size) {
  // Checked first so that a large image is not written only to be thrown away.
  if (isFolder(copyName)) {
    reportUnwritable(copyName);
    return WavOutcome::Refused;
  }
  const std::string tempName = temporaryName(copyName);
  // Removing the stale temp below must never reach the input itself.
  if (tempName == name) {
    reportUnwritable(copyName);
    return WavOutcome::Refused;
  }
  // A temp left by a killed run is ours; whatever it is, it is replaced.
  removeFile(tempName);
  File copy;
  if (!copy.createNew(tempName)) {
    reportUnwritable(copyName);
    return WavOutcome::Refused;
  }
  const bool written = copy.writeAt(0, image, size);
  const bool closed = copy.close();
  if (!written || !closed) {
    removeFile(tempName);
    std::printf("error writing file %s, no copy made!\n", copyName.c_str());
    return WavOutcome::CopyFailed;
  }
  if (!renameReplacing(tempName, copyName)) {
    removeFile(tempName);
    reportUnwritable(copyName);
    return WavOutcome::CopyFailed;
  }
  return WavOutcome::Repaired;
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
  if (!input.openForReading(name)) {
    std::printf("unable to open %s!\n", name.c_str());
    return WavOutcome::Refused;
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
  return publishCopy(name, "r_" + name, image.get(), size);
}

bool rewriteWavHeader(const std::string& name) {
  return repairWav(name) == WavOutcome::Repaired;
}
