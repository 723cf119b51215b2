// The test atom reader; see atom_reader.h.
#include "tests/atom_reader.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace testing_support {

namespace {

bool isContainer(FourCC type) {
  static const char* const kContainers[] = {"moov", "trak", "edts", "mdia", "minf", "dinf", "stbl"};
  return std::any_of(std::begin(kContainers), std::end(kContainers),
                     [&](const char* name) { return fourCCText(type) == name; });
}

bool stop(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t cut = path.find('/', start);
    if (cut == std::string::npos) cut = path.size();
    parts.push_back(path.substr(start, cut - start));
    start = cut + 1;
  }
  return parts;
}

// A full atom's table: entry count at body+4, entries after it.
bool tableStart(const MovieFile& movie, const Atom* atom, uint64_t entrySize, uint32_t& count,
                uint64_t& first) {
  if (atom == nullptr || atom->bodySize() < 8) return false;
  count = get32be(movie.bytes.data() + atom->bodyOffset() + 4);
  first = atom->bodyOffset() + 8;
  return first + count * entrySize <= atom->offset + atom->size;
}

struct ChunkRun {
  uint32_t firstChunk;
  uint32_t samplesPerChunk;
};

bool readChunkOffsets(const MovieFile& movie, const Atom& stbl, TrackSamples& track,
                      std::vector<uint64_t>& offsets) {
  const Atom* stco = findAtom(stbl.children, "stco");
  const Atom* co64 = findAtom(stbl.children, "co64");
  track.usesCo64 = co64 != nullptr;
  const Atom* table = co64 != nullptr ? co64 : stco;
  const uint64_t width = co64 != nullptr ? 8 : 4;
  uint32_t count = 0;
  uint64_t at = 0;
  if (!tableStart(movie, table, width, count, at)) return false;
  for (uint32_t i = 0; i < count; ++i, at += width) {
    const uint8_t* p = movie.bytes.data() + at;
    offsets.push_back(width == 8 ? get64be(p) : get32be(p));
  }
  return true;
}

bool readSizes(const MovieFile& movie, const Atom& stbl, std::vector<uint32_t>& sizes) {
  const Atom* stsz = findAtom(stbl.children, "stsz");
  if (stsz == nullptr || stsz->bodySize() < 12) return false;
  const uint8_t* body = movie.bytes.data() + stsz->bodyOffset();
  const uint32_t fixed = get32be(body + 4);
  const uint32_t count = get32be(body + 8);
  if (fixed != 0) {
    sizes.assign(count, fixed);
    return true;
  }
  if (12 + uint64_t{count} * 4 > stsz->bodySize()) return false;
  for (uint32_t i = 0; i < count; ++i) sizes.push_back(get32be(body + 12 + 4 * i));
  return true;
}

bool readChunkRuns(const MovieFile& movie, const Atom& stbl, std::vector<ChunkRun>& runs) {
  uint32_t count = 0;
  uint64_t at = 0;
  if (!tableStart(movie, findAtom(stbl.children, "stsc"), 12, count, at)) return false;
  for (uint32_t i = 0; i < count; ++i, at += 12) {
    const uint8_t* p = movie.bytes.data() + at;
    runs.push_back({get32be(p), get32be(p + 4)});
  }
  return true;
}

bool readDescriptions(const MovieFile& movie, const Atom& stbl, TrackSamples& track) {
  const Atom* stsd = findAtom(stbl.children, "stsd");
  if (stsd == nullptr || stsd->bodySize() < 8) return false;
  const uint32_t count = get32be(movie.bytes.data() + stsd->bodyOffset() + 4);
  uint64_t at = stsd->bodyOffset() + 8;
  const uint64_t end = stsd->offset + stsd->size;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 8 > end) return false;
    const uint32_t size = get32be(movie.bytes.data() + at);
    if (size < 8 || at + size > end) return false;
    track.descriptions.emplace_back(movie.bytes.begin() + static_cast<ptrdiff_t>(at),
                                    movie.bytes.begin() + static_cast<ptrdiff_t>(at + size));
    at += size;
  }
  return true;
}

bool readTimeToSample(const MovieFile& movie, const Atom& stbl, TrackSamples& track) {
  uint32_t count = 0;
  uint64_t at = 0;
  if (!tableStart(movie, findAtom(stbl.children, "stts"), 8, count, at)) return false;
  for (uint32_t i = 0; i < count; ++i, at += 8) {
    const uint8_t* p = movie.bytes.data() + at;
    track.timeToSample.push_back({get32be(p), get32be(p + 4)});
  }
  return true;
}

bool readMediaHeader(const MovieFile& movie, const Atom& mdia, TrackSamples& track) {
  const Atom* mdhd = findAtom(mdia.children, "mdhd");
  if (mdhd == nullptr || mdhd->bodySize() < 24) return false;
  const uint8_t* body = movie.bytes.data() + mdhd->bodyOffset();
  if (body[0] == 1) {
    if (mdhd->bodySize() < 36) return false;
    track.mediaTimeScale = get32be(body + 20);
    track.mediaDuration = get64be(body + 24);
  } else {
    track.mediaTimeScale = get32be(body + 12);
    track.mediaDuration = get32be(body + 16);
  }
  return true;
}

// Walks chunks in order, taking each run's sample count until the next run begins.
bool resolveSamples(const std::vector<uint64_t>& offsets, const std::vector<uint32_t>& sizes,
                    const std::vector<ChunkRun>& runs, TrackSamples& track) {
  size_t sample = 0;
  for (size_t chunk = 0; chunk < offsets.size(); ++chunk) {
    uint32_t perChunk = 0;
    for (const ChunkRun& run : runs) {
      if (run.firstChunk <= chunk + 1) perChunk = run.samplesPerChunk;
    }
    uint64_t at = offsets[chunk];
    for (uint32_t i = 0; i < perChunk; ++i, ++sample) {
      if (sample >= sizes.size()) return false;
      track.samples.push_back({at, sizes[sample]});
      at += sizes[sample];
    }
  }
  return sample == sizes.size();
}

}  // namespace

std::string fourCCText(FourCC code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>(code >> (24 - 8 * i));
  return text;
}

bool parseAtoms(const Bytes& bytes, uint64_t begin, uint64_t end, std::vector<Atom>& atoms,
                std::string* error) {
  uint64_t at = begin;
  while (at < end) {
    if (end - at < 8) return stop(error, "truncated atom header at " + std::to_string(at));
    Atom atom;
    atom.offset = at;
    atom.size = get32be(bytes.data() + at);
    atom.type = get32be(bytes.data() + at + 4);
    if (atom.size == 1) {
      if (end - at < 16) return stop(error, "truncated 64-bit header at " + std::to_string(at));
      atom.size = get64be(bytes.data() + at + 8);
      atom.headerSize = 16;
    } else if (atom.size == 0) {
      atom.size = end - at;
    }
    if (atom.size < atom.headerSize || atom.size > end - at) {
      return stop(error, "bad size of '" + fourCCText(atom.type) + "' at " + std::to_string(at));
    }
    if (isContainer(atom.type) &&
        !parseAtoms(bytes, atom.bodyOffset(), at + atom.size, atom.children, error)) {
      return false;
    }
    atoms.push_back(std::move(atom));
    at += atoms.back().size;
  }
  return true;
}

bool readMovieFile(const std::string& path, MovieFile& movie) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    movie.error = "cannot open " + path;
    return false;
  }
  // Sized first: a movie past 4 GiB is read in one go, not byte by byte.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  movie.bytes.resize(size > 0 ? static_cast<size_t>(size) : 0);
  if (size > 0 && !in.read(reinterpret_cast<char*>(movie.bytes.data()), size)) {
    movie.error = "cannot read " + path;
    return false;
  }
  movie.atoms.clear();
  movie.error.clear();
  return parseAtoms(movie.bytes, 0, movie.bytes.size(), movie.atoms, &movie.error);
}

const Atom* findAtom(const std::vector<Atom>& atoms, const std::string& path) {
  const std::vector<Atom>* level = &atoms;
  const Atom* found = nullptr;
  for (const std::string& part : splitPath(path)) {
    found = nullptr;
    for (const Atom& atom : *level) {
      if (fourCCText(atom.type) == part) {
        found = &atom;
        break;
      }
    }
    if (found == nullptr) return nullptr;
    level = &found->children;
  }
  return found;
}

std::vector<const Atom*> childrenOfType(const std::vector<Atom>& atoms, const std::string& type) {
  std::vector<const Atom*> found;
  for (const Atom& atom : atoms) {
    if (fourCCText(atom.type) == type) found.push_back(&atom);
  }
  return found;
}

Bytes atomBody(const MovieFile& movie, const Atom& atom) {
  const auto first = movie.bytes.begin() + static_cast<ptrdiff_t>(atom.bodyOffset());
  return Bytes(first, first + static_cast<ptrdiff_t>(atom.bodySize()));
}

bool readTrackSamples(const MovieFile& movie, TrackSamples& track, const std::string& handlerType) {
  const Atom* moov = findAtom(movie.atoms, "moov");
  if (moov == nullptr) return false;
  for (const Atom* trak : childrenOfType(moov->children, "trak")) {
    const Atom* mdia = findAtom(trak->children, "mdia");
    const Atom* hdlr = mdia != nullptr ? findAtom(mdia->children, "hdlr") : nullptr;
    if (hdlr == nullptr || hdlr->bodySize() < 12) continue;
    const FourCC subtype = get32be(movie.bytes.data() + hdlr->bodyOffset() + 8);
    if (fourCCText(subtype) != handlerType) continue;
    const Atom* stbl = findAtom(mdia->children, "minf/stbl");
    if (stbl == nullptr) return false;
    track = TrackSamples{};
    track.handlerType = subtype;
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> sizes;
    std::vector<ChunkRun> runs;
    return readMediaHeader(movie, *mdia, track) && readDescriptions(movie, *stbl, track) &&
           readTimeToSample(movie, *stbl, track) &&
           readChunkOffsets(movie, *stbl, track, offsets) && readSizes(movie, *stbl, sizes) &&
           readChunkRuns(movie, *stbl, runs) && resolveSamples(offsets, sizes, runs, track);
  }
  return false;
}

bool readSampleBytes(const MovieFile& movie, const TrackSamples& track,
                     std::vector<Bytes>& samples) {
  samples.clear();
  for (const SampleLocation& s : track.samples) {
    if (s.offset + s.size > movie.bytes.size()) return false;
    const auto first = movie.bytes.begin() + static_cast<ptrdiff_t>(s.offset);
    samples.emplace_back(first, first + s.size);
  }
  return true;
}

}  // namespace testing_support
