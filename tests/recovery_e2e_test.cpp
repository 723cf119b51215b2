// The built tool on damaged recordings of real ProRes in every flavour: its
// lines, its exit code, and a rebuilt movie that ffmpeg decodes to the very
// frames the camera recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/ffprobe.h"
#include "tests/prores_fixtures.h"
#include "tests/readers.h"
#include "tests/support.h"

namespace {

using namespace testing_support;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 12;

class ProresRecovery : public ::testing::Test {
 protected:
  // Reading the clips is the slow part, so they are read once for the suite.
  static void SetUpTestSuite() {
    clips = std::make_unique<std::vector<ProresClip>>();
    for (const ProresFlavour& flavour : kProresFlavours) {
      ProresClip clip;
      if (!makeProresClip(flavour, kFrames, kWidth, kHeight, clip)) return;
      clips->push_back(clip);
    }
  }
  static void TearDownTestSuite() { clips.reset(); }
  void SetUp() override {
    ASSERT_EQ(clips->size(), kProresFlavours.size()) << "the clips could not be made";
  }

  static std::unique_ptr<std::vector<ProresClip>> clips;
};

std::unique_ptr<std::vector<ProresClip>> ProresRecovery::clips;

// A recording folder as the camera left it: its "0.mt" for the clip and the
// damaged movie.
void writeRecordingFolder(const std::string& folder, const ProresClip& clip,
                          const Recording& recording) {
  writeFile(folder + "/0.mt", goodMeta(shotFor(clip), kFrames));
  writeFile(folder + "/A001.mov", recording.bytes);
}

// Runs the tool on the recording and checks everything a user would see.
void expectRecovered(const ProresClip& clip, const Recording& recording, const char* damage) {
  SCOPED_TRACE(std::string(clip.flavour.name) + ", " + damage);
  TempDir dir;
  writeRecordingFolder(dir.path, clip, recording);

  const ToolRun run = runTool(dir.path);
  size_t taken = 0;
  char geometry[64];
  std::snprintf(geometry, sizeof geometry, "%dx%d@%f\n", clip.width, clip.height,
                static_cast<double>(clip.flavour.frameRate));
  EXPECT_EQ(run.out, "max frame number = " + std::to_string(kFrames) + "\n" + geometry +
                         expectedScanLines(recording, taken));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(readFile(dir.file("A001.mov")), recording.bytes) << "the source was changed";

  const std::string rebuilt = dir.file("r_A001.mov");
  const ProbeResult probe = probeMovie(rebuilt);
  EXPECT_EQ(probe.errors, "");
  ASSERT_EQ(probe.streams.size(), 1u) << "ffprobe exit " << probe.exitCode << ": " << probe.json;
  const ProbedStream& stream = probe.streams[0];
  EXPECT_EQ(stream.codecTag, clip.flavour.codecTag);
  EXPECT_EQ(stream.width, clip.width);
  EXPECT_EQ(stream.height, clip.height);
  EXPECT_EQ(stream.frameRate, clip.flavour.probedRate);
  EXPECT_EQ(stream.packets, static_cast<long long>(taken));

  const std::vector<std::string> original(clip.hashes.begin(), clip.hashes.begin() + taken);
  EXPECT_EQ(frameHashes(rebuilt), original);

  // Frames copied inside the kernel or through the buffer make the same file.
  TempDir buffered;
  writeRecordingFolder(buffered.path, clip, recording);
  ::setenv("PRORESCUE_TEST_BUFFERED_ROAD", "1", 1);
  const ToolRun bufferedRun = runTool(buffered.path);
  ::unsetenv("PRORESCUE_TEST_BUFFERED_ROAD");
  EXPECT_EQ(bufferedRun.out, run.out);
  EXPECT_EQ(bufferedRun.exitCode, run.exitCode);
  EXPECT_TRUE(readFile(buffered.file("r_A001.mov")) == readFile(rebuilt))
      << "the buffered road built another movie";
}

// Readers that share no code with ffmpeg must see the same single track.
void expectReadersAgree(const ProresClip& clip, const std::string& movie, size_t samples) {
  ReaderReport gpac = readMovieWith("mp4box", movie);
  EXPECT_TRUE(gpac.ran);
  EXPECT_TRUE(gpac.errors.empty()) << (gpac.errors.empty() ? "" : gpac.errors.front());
  EXPECT_EQ(gpac.tracks, 1);
  EXPECT_EQ(gpac.track["codec"], clip.flavour.codecTag);
  EXPECT_EQ(gpac.track["width"], std::to_string(clip.width));
  EXPECT_EQ(gpac.track["height"], std::to_string(clip.height));
  EXPECT_EQ(gpac.track["samples"], std::to_string(samples));

  ReaderReport mkv = readMovieWith("mkvmerge", movie);
  EXPECT_TRUE(mkv.ran);
  EXPECT_TRUE(mkv.errors.empty()) << (mkv.errors.empty() ? "" : mkv.errors.front());
  EXPECT_EQ(mkv.tracks, 1);
  EXPECT_EQ(mkv.track["type"], "video");
}

TEST_F(ProresRecovery, EveryReaderSeesOneTrackOfEachFlavour) {
  PRORESCUE_REQUIRE_READERS();
  for (const ProresClip& clip : *clips) {
    SCOPED_TRACE(clip.flavour.name);
    const Recording recording = withGarbageBetween(clip);
    TempDir dir;
    writeRecordingFolder(dir.path, clip, recording);
    const ToolRun run = runTool(dir.path);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    expectReadersAgree(clip, dir.file("r_A001.mov"), clip.frames.size());
  }
}

TEST_F(ProresRecovery, IndexLostKeepsEveryFrameAWindowReaches) {
  for (const ProresClip& clip : *clips) {
    const Recording recording = withIndexLost(clip);
    // Proxy frames are smaller than a window, so the last one is not met.
    expectRecovered(clip, recording, "index lost");
  }
}

TEST_F(ProresRecovery, CutInsideAFrameKeepsTheFramesBeforeIt) {
  for (const ProresClip& clip : *clips) {
    const Recording whole = withIndexLost(clip);
    const FrameSpan& middle = whole.frames[kFrames / 2];
    // Cut just short of the frame's end: where a window still fits at its
    // start, its line is printed, but it is never taken.
    expectRecovered(clip, cutInsideFrame(whole, kFrames / 2, middle.size - 1), "cut late");
    // Cut near its start: too little is left for a window, so it is not met.
    expectRecovered(clip, cutInsideFrame(whole, kFrames / 2, 100), "cut early");
  }
}

TEST_F(ProresRecovery, GarbageBetweenFramesIsPassedOver) {
  for (const ProresClip& clip : *clips) {
    const Recording recording = withGarbageBetween(clip);
    size_t taken = 0;
    expectedScanLines(recording, taken);
    EXPECT_EQ(taken, clip.frames.size()) << clip.flavour.name;
    expectRecovered(clip, recording, "garbage between frames");
  }
}

}  // namespace
