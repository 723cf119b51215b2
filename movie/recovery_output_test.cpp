// The output file under stress: write faults while frames arrive and while
// the movie is finished, real file-size limits, and whatever already sits at
// the output name (a file, links, a stale temporary, a very long name).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "movie/movie_test_util.h"
#include "movie/qt_layer.h"
#include "movie/recovery_context.h"
#include "platform/file.h"

namespace {

using namespace movie_testing;
using testing_support::listNames;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

const std::vector<std::string> kOnlyTheMovie = {"r_clip.mov"};

struct CreatedMovie {
  RecoveryContext context;
  explicit CreatedMovie(const std::string& path) {
    setShot(context, {});
    created = createMovieCapturing(context, path).ok;
  }
  bool created = false;
};

TEST(SampleWrites, AFailedWriteIsNotIndexedAndTheNextFrameTakesItsPlace) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  CreatedMovie run(path);
  ASSERT_TRUE(run.created);
  const Bytes first = patternFrame(5000, 1), lost = patternFrame(7000, 2),
              second = patternFrame(3000, 3);
  ASSERT_TRUE(appendCapturing(run.context, first).ok);
  setFaultPlan({FaultOp::Write, 1, true});
  std::string printed;
  for (int i = 0; i < 2; ++i) {
    const Printed refused = appendCapturing(run.context, lost);
    EXPECT_FALSE(refused.ok);
    printed += refused.text;
  }
  clearFaultPlan();
  EXPECT_EQ(printed, "Error write sample!Error write sample!");
  ASSERT_TRUE(appendCapturing(run.context, second).ok);
  ASSERT_EQ(run.context.finishMovie(), MovieFinish::Finished);
  ReadBack back;
  ASSERT_TRUE(readBack(path, back)) << back.file.error;
  EXPECT_EQ(back.samples, (std::vector<Bytes>{first, second}));
  EXPECT_EQ(back.track.samples[1].offset, kSampleDataOffset + first.size());
}

TEST(SampleWrites, AFileSizeLimitRefusesFramesButKeepsTheOnesTaken) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  const size_t kFrame = 100000;
  std::vector<Bytes> frames;
  for (uint32_t i = 0; i < 5; ++i) frames.push_back(patternFrame(kFrame, i));
  const Bytes small = patternFrame(5000, 9);
  // Three frames fit, the fourth is cut off midway; the small one and the
  // index still fit after the third.
  const uint64_t limit = kSampleDataOffset + 3 * kFrame + 20000;
  std::string printed;
  const int finished = runWithFileSizeLimit(
      limit,
      [&] {
        CreatedMovie run(path);
        if (!run.created) return 2;
        for (const Bytes& frame : frames) run.context.appendFrame(frame.data(), kFrame);
        run.context.appendFrame(small.data(), static_cast<int32_t>(small.size()));
        return run.context.finishMovie() == MovieFinish::Finished ? 1 : 0;
      },
      printed);
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(printed, "Error write sample!Error write sample!");
  EXPECT_EQ(listNames(dir.path), kOnlyTheMovie);
  ReadBack back;
  ASSERT_TRUE(readBack(path, back)) << back.file.error;
  EXPECT_EQ(back.samples, (std::vector<Bytes>{frames[0], frames[1], frames[2], small}));
  // The cut-off bytes past the index are gone.
  const testing_support::Atom& last = back.file.atoms.back();
  EXPECT_EQ(last.offset + last.size, back.file.bytes.size());
}

TEST(FinishMovie, AMovieThatCannotBeWrittenLeavesNoFile) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  const size_t kFrame = 100000;
  const Bytes frame = patternFrame(kFrame, 4);
  std::string printed;
  const int finished = runWithFileSizeLimit(
      kSampleDataOffset + 3 * kFrame + 100,
      [&] {
        CreatedMovie run(path);
        if (!run.created) return 2;
        for (int i = 0; i < 3; ++i) {
          if (!run.context.appendFrame(frame.data(), kFrame)) return 3;
        }
        return run.context.finishMovie() == MovieFinish::Finished ? 1 : 0;
      },
      printed);
  EXPECT_EQ(finished, 0);
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(listNames(dir.path).empty());
}

TEST(FinishMovie, WriteCloseOrRenameFaultsLeaveNoFile) {
  for (FaultOp op : {FaultOp::Write, FaultOp::Close, FaultOp::Rename}) {
    SCOPED_TRACE(static_cast<int>(op));
    TempDir dir;
    CreatedMovie run(dir.file("r_clip.mov"));
    ASSERT_TRUE(run.created);
    ASSERT_TRUE(appendCapturing(run.context, patternFrame(1000, 5)).ok);
    setFaultPlan({op, 1, false});
    const bool finished = run.context.finishMovie() == MovieFinish::Finished;
    clearFaultPlan();
    EXPECT_FALSE(finished);
    EXPECT_TRUE(allObjectsReleased(run.context.output));
    EXPECT_TRUE(listNames(dir.path).empty());
  }
}

enum class Existing { File, Symlink, HardLink, StaleTemp, StaleTempLink };

TEST(OutputName, WhatSitsThereIsReplacedNeverWrittenThrough) {
  const Bytes old = patternFrame(300000, 11);
  const Bytes frame = patternFrame(2000, 12);
  for (Existing existing : {Existing::File, Existing::Symlink, Existing::HardLink,
                            Existing::StaleTemp, Existing::StaleTempLink}) {
    SCOPED_TRACE(static_cast<int>(existing));
    TempDir dir;
    TempDir elsewhere;
    const std::string path = dir.file("r_clip.mov");
    const std::string target = elsewhere.file("precious.mov");
    writeFile(target, old);
    switch (existing) {
      case Existing::File:
        writeFile(path, old);
        break;
      case Existing::Symlink:
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
        break;
      case Existing::HardLink:
        ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);
        break;
      case Existing::StaleTemp:
        writeFile(temporaryPathFor(path), old);
        break;
      case Existing::StaleTempLink:
        ASSERT_EQ(::symlink(target.c_str(), temporaryPathFor(path).c_str()), 0);
        break;
    }
    {
      CreatedMovie run(path);
      ASSERT_TRUE(run.created);
      ASSERT_TRUE(appendCapturing(run.context, frame).ok);
      // Until it is finished, the movie is not under its final name.
      if (existing == Existing::StaleTemp || existing == Existing::StaleTempLink) {
        EXPECT_FALSE(testing_support::fileExists(path));
      }
      ASSERT_EQ(run.context.finishMovie(), MovieFinish::Finished);
    }
    EXPECT_EQ(readFile(target), old);
    EXPECT_EQ(listNames(dir.path), kOnlyTheMovie);
    struct stat info;
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    ReadBack back;
    ASSERT_TRUE(readBack(path, back)) << back.file.error;
    EXPECT_EQ(back.samples, std::vector<Bytes>{frame});
    EXPECT_LT(back.file.bytes.size(), 4000u);
  }
}

TEST(OutputName, ALongNameIsWrittenThroughAShortTemporaryName) {
  TempDir dir;
  const std::string name = "r_" + std::string(249, 'n') + ".mov";
  CreatedMovie run(dir.file(name));
  ASSERT_TRUE(run.created);
  const std::vector<std::string> during = listNames(dir.path);
  ASSERT_EQ(during.size(), 1u);
  EXPECT_LE(during[0].size(), 255u);
  EXPECT_EQ(during[0][1], '_');
  ASSERT_EQ(run.context.finishMovie(), MovieFinish::Finished);
  EXPECT_EQ(listNames(dir.path), std::vector<std::string>{name});
}

}  // namespace
