// A movie whose samples lie past 4 GiB, written for real on both roads of a
// frame (copied inside the kernel, or through memory): the 64-bit mdat and
// chunk offsets must come out as readers expect, in a sparse output. And
// the gap a placed sample leaves is clean even after a sample that failed.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "movie/movie_test_util.h"
#include "movie/qt_layer.h"
#include "movie/recovery_context.h"
#include "platform/file.h"
#include "tests/atom_reader.h"
#include "tests/ffprobe.h"
#include "tests/recording_folder.h"
#include "tests/support.h"

namespace {

using namespace movie_testing;
using namespace testing_support;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

enum class FrameRoad { Kernel, Buffered };

// What the atom reader makes of a movie of several gigabytes, read without
// bringing the sample data into memory: the top-level atoms must be ftyp,
// mdat and moov tiling the file; the index comes from moov, and each
// sample's bytes are read where the index puts them.
struct LargeMovieIndex {
  uint64_t mdatHeaderSize = 0;
  TrackSamples track;
  std::vector<Bytes> samples;
  std::string error;
};

bool readAt(std::ifstream& in, uint64_t offset, Bytes& into) {
  in.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(
      in.read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size())));
}

bool readLargeMovie(const std::string& path, LargeMovieIndex& index) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const uint64_t fileSize = static_cast<uint64_t>(in.tellg());
  const char* const expected[] = {"ftyp", "mdat", "moov"};
  uint64_t at = 0;
  MovieFile moov;
  for (const char* type : expected) {
    Bytes header(16);
    if (!readAt(in, at, header)) return index.error = "cannot read a header", false;
    if (fourCCText(get32be(header.data() + 4)) == "wide") {
      at += 8;  // the reserved 8 bytes a compact mdat leaves in front of itself
      if (!readAt(in, at, header)) return index.error = "cannot read a header", false;
    }
    if (fourCCText(get32be(header.data() + 4)) != type) return index.error = type, false;
    uint64_t size = get32be(header.data());
    uint64_t headerSize = 8;
    if (size == 1) {
      size = get64be(header.data() + 8);
      headerSize = 16;
    }
    if (std::string(type) == "mdat") index.mdatHeaderSize = headerSize;
    if (std::string(type) == "moov") {
      moov.bytes.resize(size);
      if (!readAt(in, at, moov.bytes)) return index.error = "cannot read moov", false;
      if (!parseAtoms(moov.bytes, 0, size, moov.atoms, &moov.error)) {
        return index.error = moov.error, false;
      }
    }
    at += size;
  }
  if (at != fileSize) return index.error = "atoms do not tile the file", false;
  if (!readTrackSamples(moov, index.track)) return index.error = "no video track", false;
  for (const SampleLocation& sample : index.track.samples) {
    Bytes bytes(sample.size);
    if (!readAt(in, sample.offset, bytes)) return index.error = "sample outside the file", false;
    index.samples.push_back(bytes);
  }
  return true;
}

// Appends the frame at offset of source by the road asked for.
bool appendBy(FrameRoad road, RecoveryContext& context, File& source, uint64_t offset,
              const Bytes& frame) {
  CapturedStdout quiet;
  if (road == FrameRoad::Kernel) {
    return context.copyFrame(source, offset, static_cast<int32_t>(frame.size())) ==
           FrameCopy::Appended;
  }
  return context.appendFrame(frame.data(), static_cast<int32_t>(frame.size()), source, offset);
}

TEST(LargeMovie, TwoFramesPast4GiBReadBackOnBothRoads) {
  const std::vector<Bytes>& frames = realProresFrames();
  ASSERT_GE(frames.size(), 2u) << "the frames could not be made";
  TempDir dir;
  Bytes sourceBytes(100, 0);
  std::vector<uint64_t> offsets;
  for (size_t i = 0; i < 2; ++i) {
    offsets.push_back(sourceBytes.size());
    sourceBytes.insert(sourceBytes.end(), frames[i].begin(), frames[i].end());
  }
  writeFile(dir.file("clip.mov"), sourceBytes);

  for (const FrameRoad road : {FrameRoad::Kernel, FrameRoad::Buffered}) {
    SCOPED_TRACE(road == FrameRoad::Kernel ? "kernel road" : "buffered road");
    const std::string path = dir.file("r_clip.mov");
    {
      RecoveryContext context;
      setShot(context, {});
      ASSERT_TRUE(createMovieCapturing(context, path).ok);
      // As if four gigabytes of frames had come before: the file stays sparse.
      QtDataHandler& storage = *context.output.dataHandler;
      storage.dataEnd = storage.fileEnd = k4GiB - 100;
      File source;
      ASSERT_TRUE(source.openForReading(dir.file("clip.mov")));
      for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(appendBy(road, context, source, offsets[i], frames[i]));
      }
      ASSERT_EQ(context.finishMovie(), MovieFinish::Finished);
    }
    LargeMovieIndex index;
    ASSERT_TRUE(readLargeMovie(path, index)) << index.error;
    EXPECT_EQ(index.mdatHeaderSize, 16u);
    EXPECT_TRUE(index.track.usesCo64);
    EXPECT_TRUE(index.samples == std::vector<Bytes>(frames.begin(), frames.begin() + 2));
    ASSERT_EQ(index.track.samples.size(), 2u);
    EXPECT_GT(index.track.samples[1].offset, k4GiB);

    const ProbeResult probe = probeMovie(path);
    EXPECT_EQ(probe.errors, "");
    ASSERT_EQ(probe.streams.size(), 1u) << probe.json;
    EXPECT_EQ(probe.streams[0].packets, 2);
    EXPECT_EQ(frameHashes(path).size(), 2u);
  }
}

// A kernel copy that fails partway (here: its source ends early) leaves
// bytes behind; where the file cannot be cut back, the next sample, placed
// a little further on, must not leave them showing in its gap.
TEST(LargeMovie, AFailedSampleLeavesNothingInTheGapBeforeTheNext) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  RecoveryContext context;
  setShot(context, {});
  ASSERT_TRUE(createMovieCapturing(context, path).ok);
  const uint32_t block = context.output.dataHandler->blockSize;
  if (block < 4096) GTEST_SKIP() << "this file system gives no block size to place samples by";

  const Bytes first = patternFrame(1000, 1);
  ASSERT_TRUE(appendCapturing(context, first).ok);  // packed: the data now ends at dataEnd
  const uint64_t dataEnd = kSampleDataOffset + first.size();

  // The cut frame would sit 10 bytes on, the next one 3000 bytes on.
  const Bytes cutFrame = patternFrame(1000000, 2);
  const uint64_t cutAt = 2 * block + (dataEnd + 10) % block;
  Bytes cutSource(cutAt, 0);
  cutSource.insert(cutSource.end(), cutFrame.begin(), cutFrame.begin() + 500000);
  const Bytes next = patternFrame(1000000, 3);
  const uint64_t nextAt = 3 * block + (dataEnd + 3000) % block;
  Bytes nextSource(nextAt, 0);
  nextSource.insert(nextSource.end(), next.begin(), next.end());
  writeFile(dir.file("cut.mov"), cutSource);
  writeFile(dir.file("next.mov"), nextSource);
  File cut;
  File whole;
  ASSERT_TRUE(cut.openForReading(dir.file("cut.mov")));
  ASSERT_TRUE(whole.openForReading(dir.file("next.mov")));

  setFaultPlan({FaultOp::Truncate, 1, true});
  EXPECT_EQ(context.copyFrame(cut, cutAt, static_cast<int32_t>(cutFrame.size())),
            FrameCopy::Failed);
  clearFaultPlan();
  ASSERT_EQ(context.copyFrame(whole, nextAt, static_cast<int32_t>(next.size())),
            FrameCopy::Appended);
  ASSERT_EQ(context.finishMovie(), MovieFinish::Finished);

  ReadBack back;
  ASSERT_TRUE(readBack(path, back)) << back.file.error;
  EXPECT_TRUE(back.samples == (std::vector<Bytes>{first, next}));
  ASSERT_EQ(back.track.samples[1].offset, dataEnd + 3000);
  const Bytes gap(back.file.bytes.begin() + static_cast<std::ptrdiff_t>(dataEnd),
                  back.file.bytes.begin() + static_cast<std::ptrdiff_t>(dataEnd + 3000));
  EXPECT_TRUE(gap == Bytes(3000, 0)) << "the failed sample's bytes show in the gap";
}

}  // namespace
