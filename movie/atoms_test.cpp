// The atom builder: the 64-bit switches, the file's opening bytes, the
// description extensions and the index derived from a synthetic sample list.
#include "movie/atoms.h"

#include <gtest/gtest.h>

#include "movie/movie_format.h"
#include "tests/atom_reader.h"

namespace {

using testing_support::Atom;
using testing_support::findAtom;
using testing_support::parseAtoms;

struct Threshold {
  uint64_t value;
  bool wide;
};
const Threshold kAroundUint32Max[] = {
    {uint64_t{UINT32_MAX} - 1, false}, {UINT32_MAX, false}, {uint64_t{UINT32_MAX} + 1, true}};

TEST(SixtyFourBit, EachSwitchTurnsJustPastUint32Max) {
  for (const Threshold& t : kAroundUint32Max) {
    EXPECT_EQ(needsLargeMdat(t.value), t.wide) << t.value;
    EXPECT_EQ(needsCo64(t.value), t.wide) << t.value;
    EXPECT_EQ(needsVersion1(t.value), t.wide) << t.value;
  }
}

struct PlacementCase {
  uint64_t dataEnd;
  uint64_t sourceOffset;
  uint64_t size;
  uint32_t blockSize;
  uint64_t offset;
};

TEST(Placement, MatchesTheSourceWithinABlockWhereTheGapCostsAtMostOnePercent) {
  const uint64_t past4G = uint64_t{1} << 32;
  const PlacementCase kCases[] = {
      {36, 4096 + 36, 1000, 4096, 36},              // already in step
      {36, 100, 1000000, 4096, 100},                // a gap of 64 for a large frame
      {4000, 8192 + 10, 1000000, 4096, 4096 + 10},  // the gap wraps into the next block
      {36, 4095, 409500, 4096, 4095},               // a gap of 4059: 0.99% of the frame
      {36, 4095, 405899, 4096, 36},                 // the same gap is just over 1%: packed
      {36, 100, 6399, 4096, 36},                    // a gap of 64 for a small frame: packed
      {36, 100, 6400, 4096, 100},                   // exactly 1%
      {36, 100 + 65536 * 3, 1000000, 65536, 100},   // 64 KiB blocks
      {36, 100, 1000000, 0, 36},                    // no usable block size
      {36, 100, 1000000, 3000, 36},                 // not a power of two
      {past4G - 20, past4G + 5000, 1000000, 4096, past4G + 904},  // past 4 GiB
      {UINT64_MAX - 4095, 5, 1000000, 4096, UINT64_MAX - 4095 + 5},
  };
  for (const PlacementCase& c : kCases) {
    const uint64_t offset = placeSample(c.dataEnd, c.sourceOffset, c.size, c.blockSize);
    EXPECT_EQ(offset, c.offset) << c.dataEnd << " " << c.sourceOffset << " " << c.size;
    EXPECT_GE(offset, c.dataEnd);
    EXPECT_LE(offset - c.dataEnd, c.size / 100);
  }
}

TEST(MdatHeader, StaysCompactUpToA32BitAtomSize) {
  // The compact atom is 8 header bytes plus the data.
  const Bytes compact = mdatHeader(uint64_t{UINT32_MAX} - 8);
  const Bytes expectedCompact = {0,    0,    0,    8,    'w', 'i', 'd', 'e',
                                 0xFF, 0xFF, 0xFF, 0xFF, 'm', 'd', 'a', 't'};
  EXPECT_EQ(compact, expectedCompact);
  // One byte more no longer fits; the 64-bit size counts its 16-byte header.
  const Bytes large = mdatHeader(uint64_t{UINT32_MAX} - 7);
  const Bytes expectedLarge = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0, 0, 0, 8};
  EXPECT_EQ(large, expectedLarge);
  const Bytes empty = {0, 0, 0, 8, 'w', 'i', 'd', 'e', 0, 0, 0, 8, 'm', 'd', 'a', 't'};
  EXPECT_EQ(mdatHeader(0), empty);
}

TEST(MovieFileStart, IsFtypThenTheReservedMdatHeader) {
  const Bytes start = movieFileStart();
  ASSERT_EQ(start.size(), kSampleDataOffset);
  const Bytes ftyp = {0,   0,   0, 20, 'f', 't', 'y', 'p', 'q', 't',
                      ' ', ' ', 0, 0,  2,   0,   'q', 't', ' ', ' '};
  EXPECT_EQ(Bytes(start.begin(), start.begin() + 20), ftyp);
  EXPECT_EQ(Bytes(start.begin() + 20, start.end()), mdatHeader(0));
}

TEST(DescriptionExtensions, AppendAtomsAndGrowTheEntrySize) {
  Bytes description(kImageDescriptionSize, 0);
  store32be(description.data(), kImageDescriptionSize);
  appendDescriptionExtension(description, fourCC("pasp"), kPaspPayload, sizeof kPaspPayload);
  appendDescriptionExtension(description, fourCC("colr"), kNclcPayload, sizeof kNclcPayload);
  appendDescriptionExtension(description, fourCC("fiel"), kFielPayload, sizeof kFielPayload);
  ASSERT_EQ(description.size(), 130u);
  EXPECT_EQ(get32be(description.data()), 130u);
  const Bytes expected = {
      0, 0, 0, 16, 'p', 'a', 's', 'p', 0,   0,   0,   1,   0, 0, 0, 1,        // 1:1
      0, 0, 0, 18, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1,  // BT.709
      0, 0, 0, 10, 'f', 'i', 'e', 'l', 1,   0,                                // progressive
  };
  EXPECT_EQ(Bytes(description.begin() + 86, description.end()), expected);
}

struct BuiltMoov {
  Bytes bytes;
  std::vector<Atom> atoms;
  const Atom* find(const std::string& path) const { return findAtom(atoms, path); }
  const uint8_t* body(const std::string& path) const {
    return bytes.data() + find(path)->bodyOffset();
  }
};

BuiltMoov build(const MovieHeader& movie, const TrackHeader* track, const MediaTable* media) {
  BuiltMoov built;
  built.bytes = buildMoov(movie, track, media);
  std::string error;
  EXPECT_TRUE(parseAtoms(built.bytes, 0, built.bytes.size(), built.atoms, &error)) << error;
  return built;
}

MediaTable tableOf(const std::vector<SampleRef>& samples, uint32_t duration) {
  MediaTable media;
  media.type = fourCC("vide");
  media.timeScale = 2500;
  media.samples = samples;
  media.sampleDuration = duration;
  media.description.assign(130, 0);
  store32be(media.description.data(), 130);
  return media;
}

const char* const kStbl = "moov/trak/mdia/minf/stbl";

TEST(Moov, ChunkOffsetsTurnTo64BitOnlyWhenAnOffsetNeedsIt) {
  for (const Threshold& t : kAroundUint32Max) {
    MediaTable media = tableOf({{36, 100}, {t.value, 100}}, 100);
    TrackHeader track;
    const BuiltMoov moov = build(MovieHeader{}, &track, &media);
    const std::string stbl = kStbl;
    ASSERT_EQ(moov.find(stbl + "/co64") != nullptr, t.wide) << t.value;
    ASSERT_EQ(moov.find(stbl + "/stco") != nullptr, !t.wide) << t.value;
    const uint8_t* table = moov.body(stbl + (t.wide ? "/co64" : "/stco"));
    EXPECT_EQ(get32be(table + 4), 2u);
    const uint64_t second = t.wide ? get64be(table + 16) : get32be(table + 12);
    EXPECT_EQ(second, t.value);
  }
}

TEST(Moov, SampleSizesAreOneValueWhenAllAreEqual) {
  const std::string stsz = std::string(kStbl) + "/stsz";
  MediaTable equal = tableOf({{36, 7}, {43, 7}, {50, 7}}, 100);
  TrackHeader track;
  BuiltMoov moov = build(MovieHeader{}, &track, &equal);
  EXPECT_EQ(moov.find(stsz)->size, 20u);
  EXPECT_EQ(get32be(moov.body(stsz) + 4), 7u);
  EXPECT_EQ(get32be(moov.body(stsz) + 8), 3u);

  MediaTable differ = tableOf({{36, 7}, {43, 9}}, 100);
  moov = build(MovieHeader{}, &track, &differ);
  EXPECT_EQ(get32be(moov.body(stsz) + 4), 0u);
  EXPECT_EQ(get32be(moov.body(stsz) + 8), 2u);
  EXPECT_EQ(get32be(moov.body(stsz) + 12), 7u);
  EXPECT_EQ(get32be(moov.body(stsz) + 16), 9u);
}

TEST(Moov, DurationsPast32BitsUseVersion1Headers) {
  for (const Threshold& t : kAroundUint32Max) {
    // One sample of that duration, or two halves where it needs 33 bits.
    const bool halves = t.value > UINT32_MAX;
    MediaTable media = halves ? tableOf({{36, 1}, {37, 1}}, static_cast<uint32_t>(t.value / 2))
                              : tableOf({{36, 1}}, static_cast<uint32_t>(t.value));
    ASSERT_EQ(mediaDuration(media), t.value);
    TrackHeader track;
    track.hasEdit = true;
    track.editDuration = t.value;
    MovieHeader movie;
    movie.duration = t.value;
    const BuiltMoov moov = build(movie, &track, &media);
    const uint32_t version = t.wide ? 1 : 0;
    for (const char* path :
         {"moov/mvhd", "moov/trak/tkhd", "moov/trak/edts/elst", "moov/trak/mdia/mdhd"}) {
      EXPECT_EQ(moov.body(path)[0], version) << path << " at " << t.value;
    }
    const uint8_t* mdhd = moov.body("moov/trak/mdia/mdhd");
    EXPECT_EQ(t.wide ? get64be(mdhd + 24) : get32be(mdhd + 16), t.value);
  }
}

TEST(Moov, AnEmptyMediaHasEmptyTablesAndNoEdit) {
  MediaTable media = tableOf({}, 100);
  TrackHeader track;
  const BuiltMoov moov = build(MovieHeader{}, &track, &media);
  EXPECT_EQ(moov.find("moov/trak/edts"), nullptr);
  const std::string stbl = kStbl;
  ASSERT_NE(moov.find(stbl), nullptr);
  for (const char* table : {"/stts", "/stsc", "/stco"}) {
    EXPECT_EQ(get32be(moov.body(stbl + table) + 4), 0u) << table;
  }
  EXPECT_EQ(get32be(moov.body(stbl + "/stsd") + 4), 1u);
  EXPECT_EQ(get32be(moov.body(stbl + "/stsz") + 8), 0u);
  EXPECT_EQ(moov.find(stbl + "/stss"), nullptr);
}

// Readers refuse a media without a sample table, so even one that never got
// a description keeps its five tables, empty.
TEST(Moov, AMediaWithoutADescriptionStillHasEveryTable) {
  MediaTable media = tableOf({}, 100);
  media.description.clear();
  TrackHeader track;
  const BuiltMoov moov = build(MovieHeader{}, &track, &media);
  EXPECT_NE(moov.find("moov/trak/mdia/minf/dinf"), nullptr);
  const std::string stbl = kStbl;
  for (const char* table : {"/stsd", "/stts", "/stsc", "/stco"}) {
    ASSERT_NE(moov.find(stbl + table), nullptr) << table;
    EXPECT_EQ(get32be(moov.body(stbl + table) + 4), 0u) << table;
  }
  ASSERT_NE(moov.find(stbl + "/stsz"), nullptr);
  EXPECT_EQ(get32be(moov.body(stbl + "/stsz") + 8), 0u);
}

TEST(Moov, StsdEntryPointsAtTheOneDataReference) {
  MediaTable media = tableOf({{36, 7}}, 100);
  TrackHeader track;
  const BuiltMoov moov = build(MovieHeader{}, &track, &media);
  const uint8_t* stsd = moov.body(std::string(kStbl) + "/stsd");
  EXPECT_EQ(get32be(stsd + 8), 130u);     // entry size
  EXPECT_EQ(get16be(stsd + 8 + 14), 1u);  // data reference index
  const uint8_t* dref = moov.body("moov/trak/mdia/minf/dinf/dref");
  const Bytes aliasEntry = {0, 0, 0, 12, 'a', 'l', 'i', 's', 0, 0, 0, 1};
  EXPECT_EQ(get32be(dref + 4), 1u);
  EXPECT_EQ(Bytes(dref + 8, dref + 20), aliasEntry);
}

}  // namespace
