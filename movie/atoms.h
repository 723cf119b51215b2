// Pure building of the movie file's atoms: the file's opening bytes, the mdat
// header settled at the end, and the moov index derived from the sample list.
// Everything is built in memory, so building cannot fail halfway.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/bytes.h"

// The file opens with ftyp, then 16 bytes that hold either a free 'wide' atom
// and a 32-bit mdat header, or one 64-bit mdat header; the samples follow.
constexpr uint64_t kMdatHeaderOffset = 20;
constexpr uint64_t kSampleDataOffset = 36;
constexpr uint32_t kFixedOne = 0x00010000;  // 1.0 in 16.16 fixed point

struct SampleRef {
  uint64_t offset = 0;  // in the file
  uint32_t size = 0;
};

struct MediaTable {
  FourCC type = 0;
  int32_t timeScale = 0;
  std::vector<SampleRef> samples;
  uint32_t sampleDuration = 0;  // every sample of ours lasts this long
  // The one sample description entry, exactly as stsd stores it; empty when
  // the media never received one.
  Bytes description;
};

struct TrackHeader {
  uint32_t id = 1;
  uint32_t width = 0;  // whole pixels; stored as 16.16
  uint32_t height = 0;
  int16_t volume = 0;
  bool hasEdit = false;
  uint64_t editDuration = 0;  // in the movie's time scale
  int64_t editMediaTime = 0;  // in the media's time scale
  uint32_t editRate = kFixedOne;
};

struct MovieHeader {
  int32_t timeScale = 600;
  uint64_t duration = 0;
  uint32_t nextTrackId = 1;
};

// The 64-bit decisions, each at its own threshold.
bool needsLargeMdat(uint64_t atomSize);
bool needsCo64(uint64_t maxOffset);
bool needsVersion1(uint64_t duration);

uint64_t mediaDuration(const MediaTable& media);

// Where the next sample goes: at dataEnd, or a little later so that it lies
// at the same offset within a block as it does in its source (sourceOffset),
// letting a copy-on-write file system share its whole blocks with the source.
// The gap is taken only for a usable blockSize (a power of two, 0 for none)
// and only when it costs at most 1% of the sample's own size.
uint64_t placeSample(uint64_t dataEnd, uint64_t sourceOffset, uint64_t size, uint32_t blockSize);

// Writes the header, runs body, then patches the size over the placeholder.
void atom(Bytes& out, FourCC type, const std::function<void()>& body);

// ftyp, the reserved 16 bytes and an empty mdat: kSampleDataOffset bytes.
Bytes movieFileStart();
// The 16 bytes at kMdatHeaderOffset once dataSize bytes of samples are known.
Bytes mdatHeader(uint64_t dataSize);

// The whole moov; track and media may each be absent.
Bytes buildMoov(const MovieHeader& movie, const TrackHeader* track, const MediaTable* media);

// Appends an extension atom to a sample description entry and grows the
// entry's size field to cover it.
void appendDescriptionExtension(Bytes& description, FourCC type, const uint8_t* payload,
                                size_t size);
