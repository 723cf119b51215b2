// The atoms of the rebuilt movie, one function each, built into byte vectors.
#include "movie/atoms.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kUnityMatrix[9] = {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, 0x40000000};

// Size placeholder first, so a body of any length can be patched afterwards.
void patchSize(Bytes& out, size_t start) {
  store32be(out.data() + start, static_cast<uint32_t>(out.size() - start));
}

void fullAtomHeader(Bytes& out, uint32_t version, uint32_t flags) {
  put32be(out, (version << 24) | (flags & 0x00FFFFFF));
}

void putMatrix(Bytes& out) {
  for (uint32_t value : kUnityMatrix) put32be(out, value);
}

void putPascal(Bytes& out, const char* text) {
  const size_t length = std::strlen(text);
  put8(out, static_cast<uint32_t>(length));
  out.insert(out.end(), text, text + length);
}

// Version 1 headers carry times and durations in 64 bits, version 0 in 32.
void putTime(Bytes& out, bool wide, uint64_t value) {
  if (wide) {
    put64be(out, value);
  } else {
    put32be(out, static_cast<uint32_t>(value));
  }
}

void writeFtyp(Bytes& out) {
  atom(out, fourCC("ftyp"), [&] {
    put32be(out, fourCC("qt  "));
    put32be(out, 0x00000200);
    put32be(out, fourCC("qt  "));
  });
}

void writeMvhd(Bytes& out, const MovieHeader& movie) {
  const bool wide = needsVersion1(movie.duration);
  atom(out, fourCC("mvhd"), [&] {
    fullAtomHeader(out, wide ? 1 : 0, 0);
    putTime(out, wide, 0);  // creation time
    putTime(out, wide, 0);  // modification time
    put32be(out, static_cast<uint32_t>(movie.timeScale));
    putTime(out, wide, movie.duration);
    put32be(out, kFixedOne);  // preferred rate
    put16be(out, 0x0100);     // preferred volume
    putZeros(out, 10);
    putMatrix(out);
    putZeros(out, 6 * 4);  // preview, poster, selection and current times
    put32be(out, movie.nextTrackId);
  });
}

uint64_t trackDuration(const TrackHeader& track) {
  return track.hasEdit ? track.editDuration : 0;
}

void writeTkhd(Bytes& out, const TrackHeader& track) {
  const uint64_t duration = trackDuration(track);
  const bool wide = needsVersion1(duration);
  atom(out, fourCC("tkhd"), [&] {
    fullAtomHeader(out, wide ? 1 : 0, 0x000003);  // enabled, in movie
    putTime(out, wide, 0);
    putTime(out, wide, 0);
    put32be(out, track.id);
    put32be(out, 0);
    putTime(out, wide, duration);
    putZeros(out, 8);
    put16be(out, 0);  // layer
    put16be(out, 0);  // alternate group
    put16be(out, static_cast<uint16_t>(track.volume));
    put16be(out, 0);
    putMatrix(out);
    put32be(out, track.width << 16);
    put32be(out, track.height << 16);
  });
}

void writeEdts(Bytes& out, const TrackHeader& track) {
  const bool wide = needsVersion1(track.editDuration) ||
                    track.editMediaTime != static_cast<int32_t>(track.editMediaTime);
  atom(out, fourCC("edts"), [&] {
    atom(out, fourCC("elst"), [&] {
      fullAtomHeader(out, wide ? 1 : 0, 0);
      put32be(out, 1);
      putTime(out, wide, track.editDuration);
      putTime(out, wide, static_cast<uint64_t>(track.editMediaTime));
      put32be(out, track.editRate);
    });
  });
}

void writeMdhd(Bytes& out, const MediaTable& media) {
  const uint64_t duration = mediaDuration(media);
  const bool wide = needsVersion1(duration);
  atom(out, fourCC("mdhd"), [&] {
    fullAtomHeader(out, wide ? 1 : 0, 0);
    putTime(out, wide, 0);
    putTime(out, wide, 0);
    put32be(out, static_cast<uint32_t>(media.timeScale));
    putTime(out, wide, duration);
    put16be(out, 0);  // language
    put16be(out, 0);  // quality
  });
}

void writeHdlr(Bytes& out, FourCC component, FourCC subtype, const char* name) {
  atom(out, fourCC("hdlr"), [&] {
    fullAtomHeader(out, 0, 0);
    put32be(out, component);
    put32be(out, subtype);
    put32be(out, 0);  // manufacturer
    put32be(out, 0);  // component flags
    put32be(out, 0);  // component flags mask
    putPascal(out, name);
  });
}

void writeVmhd(Bytes& out) {
  atom(out, fourCC("vmhd"), [&] {
    fullAtomHeader(out, 0, 1);
    put16be(out, 0x0040);  // dither copy
    for (int i = 0; i < 3; ++i) put16be(out, 0x8000);
  });
}

// One alias entry with flag 1: the media data is in this same file.
void writeDinf(Bytes& out) {
  atom(out, fourCC("dinf"), [&] {
    atom(out, fourCC("dref"), [&] {
      fullAtomHeader(out, 0, 0);
      put32be(out, 1);
      atom(out, fourCC("alis"), [&] { fullAtomHeader(out, 0, 1); });
    });
  });
}

void writeStsd(Bytes& out, const MediaTable& media) {
  atom(out, fourCC("stsd"), [&] {
    fullAtomHeader(out, 0, 0);
    if (media.description.empty()) {
      put32be(out, 0);
      return;
    }
    put32be(out, 1);
    const size_t entry = out.size();
    out.insert(out.end(), media.description.begin(), media.description.end());
    // The entry's data reference index points at the single dref entry.
    if (media.description.size() >= 16) {
      store16be(&out[entry + 14], 1);
    }
  });
}

void writeStts(Bytes& out, const MediaTable& media) {
  atom(out, fourCC("stts"), [&] {
    fullAtomHeader(out, 0, 0);
    if (media.samples.empty()) {
      put32be(out, 0);
      return;
    }
    put32be(out, 1);
    put32be(out, static_cast<uint32_t>(media.samples.size()));
    put32be(out, media.sampleDuration);
  });
}

// Every sample is its own chunk, so one entry describes them all.
void writeStsc(Bytes& out, const MediaTable& media) {
  atom(out, fourCC("stsc"), [&] {
    fullAtomHeader(out, 0, 0);
    if (media.samples.empty()) {
      put32be(out, 0);
      return;
    }
    put32be(out, 1);
    put32be(out, 1);  // first chunk
    put32be(out, 1);  // samples per chunk
    put32be(out, 1);  // sample description
  });
}

bool allSizesEqual(const std::vector<SampleRef>& samples) {
  return std::all_of(samples.begin(), samples.end(),
                     [&](const SampleRef& s) { return s.size == samples.front().size; });
}

void writeStsz(Bytes& out, const MediaTable& media) {
  const std::vector<SampleRef>& samples = media.samples;
  atom(out, fourCC("stsz"), [&] {
    fullAtomHeader(out, 0, 0);
    if (!samples.empty() && allSizesEqual(samples)) {
      put32be(out, samples.front().size);
      put32be(out, static_cast<uint32_t>(samples.size()));
      return;
    }
    put32be(out, 0);
    put32be(out, static_cast<uint32_t>(samples.size()));
    for (const SampleRef& s : samples) put32be(out, s.size);
  });
}

void writeChunkOffsets(Bytes& out, const MediaTable& media) {
  uint64_t maxOffset = 0;
  for (const SampleRef& s : media.samples) maxOffset = std::max(maxOffset, s.offset);
  const bool wide = needsCo64(maxOffset);
  atom(out, wide ? fourCC("co64") : fourCC("stco"), [&] {
    fullAtomHeader(out, 0, 0);
    put32be(out, static_cast<uint32_t>(media.samples.size()));
    for (const SampleRef& s : media.samples) putTime(out, wide, s.offset);
  });
}

void writeStbl(Bytes& out, const MediaTable& media) {
  atom(out, fourCC("stbl"), [&] {
    writeStsd(out, media);
    writeStts(out, media);
    writeStsc(out, media);
    writeStsz(out, media);
    writeChunkOffsets(out, media);
  });
}

void writeMdia(Bytes& out, const MediaTable& media) {
  atom(out, fourCC("mdia"), [&] {
    writeMdhd(out, media);
    writeHdlr(out, fourCC("mhlr"), media.type, "VideoHandler");
    atom(out, fourCC("minf"), [&] {
      writeVmhd(out);
      writeHdlr(out, fourCC("dhlr"), fourCC("alis"), "DataHandler");
      writeDinf(out);
      writeStbl(out, media);
    });
  });
}

void writeTrak(Bytes& out, const TrackHeader& track, const MediaTable* media) {
  atom(out, fourCC("trak"), [&] {
    writeTkhd(out, track);
    if (track.hasEdit) writeEdts(out, track);
    if (media != nullptr) writeMdia(out, *media);
  });
}

}  // namespace

uint64_t placeSample(uint64_t dataEnd, uint64_t sourceOffset, uint64_t size, uint32_t blockSize) {
  if (blockSize == 0 || (blockSize & (blockSize - 1)) != 0) return dataEnd;
  const uint64_t mask = blockSize - 1;
  const uint64_t gap = ((sourceOffset & mask) - (dataEnd & mask)) & mask;
  if (gap > size / 100) return dataEnd;
  return dataEnd + gap;
}

bool needsLargeMdat(uint64_t atomSize) {
  return atomSize > UINT32_MAX;
}

bool needsCo64(uint64_t maxOffset) {
  return maxOffset > UINT32_MAX;
}

bool needsVersion1(uint64_t duration) {
  return duration > UINT32_MAX;
}

uint64_t mediaDuration(const MediaTable& media) {
  return static_cast<uint64_t>(media.samples.size()) * media.sampleDuration;
}

void atom(Bytes& out, FourCC type, const std::function<void()>& body) {
  const size_t start = out.size();
  put32be(out, 0);
  put32be(out, type);
  body();
  patchSize(out, start);
}

Bytes movieFileStart() {
  Bytes out;
  writeFtyp(out);
  Bytes header = mdatHeader(0);
  out.insert(out.end(), header.begin(), header.end());
  return out;
}

Bytes mdatHeader(uint64_t dataSize) {
  Bytes out;
  const uint64_t compactSize = 8 + dataSize;
  if (needsLargeMdat(compactSize)) {
    put32be(out, 1);
    put32be(out, fourCC("mdat"));
    put64be(out, 16 + dataSize);
    return out;
  }
  put32be(out, 8);
  put32be(out, fourCC("wide"));
  put32be(out, static_cast<uint32_t>(compactSize));
  put32be(out, fourCC("mdat"));
  return out;
}

Bytes buildMoov(const MovieHeader& movie, const TrackHeader* track, const MediaTable* media) {
  Bytes out;
  atom(out, fourCC("moov"), [&] {
    writeMvhd(out, movie);
    if (track != nullptr) writeTrak(out, *track, media);
  });
  return out;
}

void appendDescriptionExtension(Bytes& description, FourCC type, const uint8_t* payload,
                                size_t size) {
  atom(description, type, [&] { description.insert(description.end(), payload, payload + size); });
  if (description.size() >= 4) {
    store32be(description.data(), static_cast<uint32_t>(description.size()));
  }
}
