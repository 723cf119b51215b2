// A small QuickTime atom reader for tests: parses a movie file into a tree,
// finds atoms by path, and reads a track's sample table and sample bytes.
// Written independently of the writer, so that the two check each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace testing_support {

struct Atom {
  FourCC type = 0;
  uint64_t offset = 0;      // of the header, from the start of the parsed bytes
  uint64_t size = 0;        // header included
  uint64_t headerSize = 8;  // 16 for a 64-bit size
  std::vector<Atom> children;

  uint64_t bodyOffset() const { return offset + headerSize; }
  uint64_t bodySize() const { return size - headerSize; }
};

struct MovieFile {
  Bytes bytes;  // the whole file
  std::vector<Atom> atoms;
  std::string error;  // why parsing stopped; empty when the tree is whole
};

// Reads and parses a whole file; false (with error set) when the atoms do not
// tile the file exactly.
bool readMovieFile(const std::string& path, MovieFile& movie);
// Parses bytes [begin, end) as a sequence of atoms, descending into the
// containers of a movie (moov, trak, edts, mdia, minf, dinf, stbl).
bool parseAtoms(const Bytes& bytes, uint64_t begin, uint64_t end, std::vector<Atom>& atoms,
                std::string* error = nullptr);

std::string fourCCText(FourCC code);

// "moov/trak/mdia/minf/stbl/stsd": the first atom along that path, or null.
const Atom* findAtom(const std::vector<Atom>& atoms, const std::string& path);
// Every atom of that type directly under atoms.
std::vector<const Atom*> childrenOfType(const std::vector<Atom>& atoms, const std::string& type);
// The body bytes of an atom.
Bytes atomBody(const MovieFile& movie, const Atom& atom);

struct SampleLocation {
  uint64_t offset = 0;
  uint32_t size = 0;
};
struct TimeToSample {
  uint32_t count = 0;
  uint32_t duration = 0;
};
struct TrackSamples {
  uint32_t mediaTimeScale = 0;
  uint64_t mediaDuration = 0;
  FourCC handlerType = 0;                  // 'vide', 'soun', ...
  std::vector<Bytes> descriptions;         // each stsd entry, header included
  std::vector<TimeToSample> timeToSample;  // stts as stored
  std::vector<SampleLocation> samples;     // resolved through stsc, stsz and stco/co64
  bool usesCo64 = false;
};
// The first track whose media handler is handlerType ("vide" by default).
bool readTrackSamples(const MovieFile& movie, TrackSamples& track,
                      const std::string& handlerType = "vide");
// The bytes of each sample, in order; false when one lies outside the file.
bool readSampleBytes(const MovieFile& movie, const TrackSamples& track,
                     std::vector<Bytes>& samples);

}  // namespace testing_support
