// The movie writer through RecoveryContext: each failing step's message and
// the state it leaves, finishing from every state, and the written movie as
// our atom reader and ffprobe/ffmpeg see it.
#include "movie/recovery_context.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

#include "movie/movie_test_util.h"
#include "movie/qt_layer.h"
#include "tests/ffprobe.h"
#include "tests/prores_fixtures.h"

namespace {

using namespace movie_testing;
using testing_support::listNames;
using testing_support::probeMovie;
using testing_support::ProbeResult;
using testing_support::TempDir;

enum class Finish { ByCall, ByDestructor };

// The writer's whole sequence for one movie: create it at path for shot,
// append every frame, finish it. Stops at the first step that fails and says
// which; description, when given, receives the track's as created.
::testing::AssertionResult writeMovie(const std::string& path, const ShotValues& shot,
                                      const std::vector<Bytes>& frames,
                                      Finish finish = Finish::ByCall,
                                      Bytes* description = nullptr) {
  RecoveryContext context;
  setShot(context, shot);
  if (!createMovieCapturing(context, path).ok) {
    return ::testing::AssertionFailure() << "the movie was not created";
  }
  if (description != nullptr) *description = context.output.imageDescription->bytes;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!appendCapturing(context, frames[i]).ok) {
      return ::testing::AssertionFailure() << "frame " << i << " was refused";
    }
  }
  if (finish == Finish::ByCall && context.finishMovie() != MovieFinish::Finished) {
    return ::testing::AssertionFailure() << "the movie was not finished";
  }
  return ::testing::AssertionSuccess();
}

ShotValues shotOfSize(int32_t width, int32_t height) {
  ShotValues shot;
  shot.width = width;
  shot.height = height;
  return shot;
}

// Real frames of one flavour from the fixture maker; empty when ffmpeg failed.
std::vector<Bytes> realFrames(int profile, int width, int height, int count) {
  testing_support::ProresClip clip;
  if (!testing_support::makeProresClip(testing_support::kProresFlavours[profile], count, width,
                                       height, clip)) {
    return {};
  }
  return testing_support::clipFrames(clip);
}

enum class LeftState { Stored, Described };

struct CreateFailure {
  const char* what;
  ShotValues shot;
  const char* message;
  LeftState state;
  bool trackMade;
};

ShotValues shotWith(void (*change)(ShotValues&)) {
  ShotValues values;
  change(values);
  return values;
}

const CreateFailure kCreateFailures[] = {
    {"codec 22", shotWith([](ShotValues& v) { v.codecId = 22; }), "unsupported codec 22\n",
     LeftState::Described, true},
    {"codec byte 200", shotWith([](ShotValues& v) { v.codecId = static_cast<int8_t>(200); }),
     "unsupported codec -56\n", LeftState::Described, true},
    {"rate 0", shotWith([](ShotValues& v) { v.frameRate = 0; }), "unexpected media state!\n",
     LeftState::Stored, true},
    {"rate -1", shotWith([](ShotValues& v) { v.frameRate = -1; }), "unexpected media state!\n",
     LeftState::Stored, true},
    {"rate NaN", shotWith([](ShotValues& v) { v.frameRate = std::nanf(""); }),
     "unexpected media state!\n", LeftState::Stored, true},
    {"rate 3e7", shotWith([](ShotValues& v) { v.frameRate = 3e7f; }), "unexpected media state!\n",
     LeftState::Stored, true},
    {"width 0", shotWith([](ShotValues& v) { v.width = 0; }), "Failed to create movie track!",
     LeftState::Stored, false},
    {"height -5", shotWith([](ShotValues& v) { v.height = -5; }), "Failed to create movie track!",
     LeftState::Stored, false},
    {"doubled height 80000", shotWith([](ShotValues& v) {
       v.height = 40000;
       v.flags = 0x10;
     }),
     "Failed to create movie track!", LeftState::Stored, false},
};

// From Stored on the file exists; finishing completes it without samples.
TEST(CreateMovie, FailingStepPrintsItsMessageAndFinishingStillLeavesAMovie) {
  for (const CreateFailure& c : kCreateFailures) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.file("r_clip.mov");
    RecoveryContext context;
    setShot(context, c.shot);
    const Printed created = createMovieCapturing(context, path);
    EXPECT_FALSE(created.ok);
    EXPECT_EQ(created.text, c.message);
    const MovieOutput& out = context.output;
    EXPECT_NE(out.movie, nullptr);
    EXPECT_NE(out.dataHandler, nullptr);
    EXPECT_EQ(out.track != nullptr, c.trackMade);
    EXPECT_EQ(out.media != nullptr, c.state == LeftState::Described);
    EXPECT_EQ(out.imageDescription != nullptr, c.state == LeftState::Described);
    EXPECT_FALSE(out.editsOpen);

    testing_support::CapturedStdout quiet;
    EXPECT_EQ(context.finishMovie(), MovieFinish::Finished);
    EXPECT_EQ(quiet.finish(), "");
    EXPECT_TRUE(allObjectsReleased(out));
    EXPECT_EQ(listNames(dir.path), std::vector<std::string>{"r_clip.mov"});
    const ProbeResult probe = probeMovie(path);
    EXPECT_EQ(probe.exitCode, 0);
    EXPECT_EQ(probe.errors, "");
    ReadBack back;
    testing_support::MovieFile file;
    ASSERT_TRUE(testing_support::readMovieFile(path, file)) << file.error;
    EXPECT_EQ(testing_support::findAtom(file.atoms, "moov/trak") != nullptr, c.trackMade);
  }
}

TEST(CreateMovie, NamingFailuresLeaveOnlyTheDataReference) {
  struct NamingCase {
    const char* what;
    std::string path;
    const char* message;
    bool named;
  };
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("r_folder.mov").c_str(), 0755), 0);
  const NamingCase kCases[] = {
      {"empty path", "", "Failed to create new data: !", false},
      {"folder at the name", dir.file("r_folder.mov"), "Failed to create new movie!", true},
      {"missing folder", dir.file("absent/r_clip.mov"), "Failed to create new movie!", true},
  };
  for (const NamingCase& c : kCases) {
    SCOPED_TRACE(c.what);
    RecoveryContext context;
    setShot(context, {});
    const Printed created = createMovieCapturing(context, c.path);
    EXPECT_FALSE(created.ok);
    EXPECT_EQ(created.text, c.message);
    EXPECT_EQ(context.output.dataRef != nullptr, c.named);
    EXPECT_EQ(context.output.movie, nullptr);
    EXPECT_EQ(context.output.dataHandler, nullptr);
    EXPECT_EQ(context.finishMovie(), MovieFinish::Finished);
    EXPECT_TRUE(allObjectsReleased(context.output));
  }
  EXPECT_TRUE(isFolder(dir.file("r_folder.mov")));
  EXPECT_EQ(listNames(dir.path), std::vector<std::string>{"r_folder.mov"});
}

TEST(FinishMovie, IsHarmlessWithoutAMovieAndWhenRepeated) {
  {
    RecoveryContext neverCreated;
    testing_support::CapturedStdout quiet;
    EXPECT_EQ(neverCreated.finishMovie(), MovieFinish::Finished);
    EXPECT_EQ(neverCreated.finishMovie(), MovieFinish::Finished);
    EXPECT_EQ(quiet.finish(), "");
  }
  TempDir dir;
  {
    RecoveryContext context;
    setShot(context, {});
    ASSERT_TRUE(createMovieCapturing(context, dir.file("r_a.mov")).ok);
    EXPECT_EQ(context.finishMovie(), MovieFinish::Finished);
    EXPECT_TRUE(allObjectsReleased(context.output));
    EXPECT_EQ(context.finishMovie(), MovieFinish::Finished);
    // An append after the movie is gone is refused, not a crash.
    EXPECT_EQ(appendCapturing(context, patternFrame(10, 1)).text, "Error write sample!");
  }  // the destructor finishes a third time
  EXPECT_EQ(listNames(dir.path), std::vector<std::string>{"r_a.mov"});
}

TEST(FinishMovie, DestructorAloneWritesTheMovie) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  const std::vector<Bytes> frames = realFrames(2, 320, 180, 2);
  ASSERT_EQ(frames.size(), 2u);
  ASSERT_TRUE(writeMovie(path, shotOfSize(320, 180), {frames[0]}, Finish::ByDestructor));
  const ProbeResult probe = probeMovie(path);
  EXPECT_EQ(probe.errors, "");
  ASSERT_EQ(probe.streams.size(), 1u);
  EXPECT_EQ(probe.streams[0].packets, 1);
  ReadBack back;
  ASSERT_TRUE(readBack(path, back)) << back.file.error;
  EXPECT_EQ(back.samples, std::vector<Bytes>{frames[0]});
}

// Nothing is decoded when there are no packets, so the size and colour that
// ffprobe reports are the description's own.
TEST(WrittenMovie, WithoutSamplesStillDeclaresItsTrack) {
  TempDir dir;
  const std::string path = dir.file("r_clip.mov");
  ShotValues shot = shotOfSize(1000, 540);
  shot.flags = 0x10;
  shot.frameRate = 29.97f;
  Bytes description;
  ASSERT_TRUE(writeMovie(path, shot, {}, Finish::ByCall, &description));

  const ProbeResult probe = probeMovie(path);
  EXPECT_EQ(probe.errors, "");
  ASSERT_EQ(probe.streams.size(), 1u);
  EXPECT_EQ(probe.streams[0].codecType, "video");
  EXPECT_EQ(probe.streams[0].codecTag, "apcn");
  EXPECT_EQ(probe.streams[0].width, 666);
  EXPECT_EQ(probe.streams[0].height, 1080);
  EXPECT_EQ(probe.streams[0].packets, 0);
  EXPECT_EQ(probe.streams[0].timeBase, "1/30000");
  EXPECT_EQ(probe.streams[0].colorPrimaries, "bt709");
  EXPECT_EQ(probe.streams[0].colorTransfer, "bt709");
  EXPECT_EQ(probe.streams[0].colorSpace, "bt709");

  ReadBack back;
  ASSERT_TRUE(readBack(path, back)) << back.file.error;
  EXPECT_TRUE(back.samples.empty());
  ASSERT_EQ(back.track.descriptions.size(), 1u);
  Bytes expected = description;
  expected[15] = 1;  // the file's data reference index
  EXPECT_EQ(back.track.descriptions[0], expected);
  const testing_support::Atom* tkhd = testing_support::findAtom(back.file.atoms, "moov/trak/tkhd");
  ASSERT_NE(tkhd, nullptr);
  const uint8_t* body = back.file.bytes.data() + tkhd->bodyOffset();
  EXPECT_EQ(get32be(body + 76), 666u << 16);
  EXPECT_EQ(get32be(body + 80), 1080u << 16);
  EXPECT_EQ(get32be(body) & 0xFFFFFF, 3u);  // enabled, in movie
}

struct CodecCase {
  int profile;  // prores_ks's, for codec id 16 + profile
  const char* tag;
  float rate;
  const char* timeBase;
  uint32_t frameDuration;
  // Frames are decoded and compared with the originals for every flavour;
  // one runs at a size whose frames are cut into many slices.
  int width;
  int height;
  int frames;
};

const CodecCase kCodecs[] = {
    {0, "apco", 25.0f, "1/2500", 100, 320, 180, 2},
    {1, "apcs", 23.976f, "1/24000", 1001, 320, 180, 2},
    {2, "apcn", 25.0f, "1/2500", 100, 1280, 720, 3},
    {2, "apcn", 29.97f, "1/30000", 1001, 320, 180, 2},
    {3, "apch", 59.94f, "1/60000", 1001, 320, 180, 2},
    {4, "ap4h", 23.98f, "1/2397", 100, 320, 180, 2},
    {5, "ap4x", 50.0f, "1/5000", 100, 320, 180, 2},
};

// Real frames of each flavour, read back byte for byte by both readers and
// decoded to the very pictures ffmpeg encoded.
TEST(WrittenMovie, CarriesEachCodecsFramesUnchanged) {
  for (const CodecCase& c : kCodecs) {
    SCOPED_TRACE(std::string(c.tag) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    testing_support::ProresClip clip;
    ASSERT_TRUE(testing_support::makeProresClip(testing_support::kProresFlavours[c.profile],
                                                c.frames, c.width, c.height, clip));
    const std::vector<Bytes> frames = testing_support::clipFrames(clip);
    TempDir dir;
    const std::string path = dir.file("r_clip.mov");
    ShotValues shot = shotOfSize(c.width, c.height);
    shot.codecId = static_cast<int8_t>(16 + c.profile);
    shot.frameRate = c.rate;
    ASSERT_TRUE(writeMovie(path, shot, frames));

    const ProbeResult probe = probeMovie(path);
    EXPECT_EQ(probe.errors, "");
    ASSERT_EQ(probe.streams.size(), 1u);
    const testing_support::ProbedStream& stream = probe.streams[0];
    EXPECT_EQ(stream.codecName, "prores");
    EXPECT_EQ(stream.codecTag, c.tag);
    EXPECT_EQ(stream.width, c.width);
    EXPECT_EQ(stream.height, c.height);
    EXPECT_EQ(stream.packets, c.frames);
    EXPECT_EQ(stream.timeBase, c.timeBase);
    // Colour is left out here: the decoder reports the frames' own tags.
    EXPECT_EQ(stream.fieldOrder, "progressive");
    EXPECT_EQ(stream.sampleAspectRatio, "1:1");
    EXPECT_EQ(testing_support::frameHashes(path), clip.hashes);

    ReadBack back;
    ASSERT_TRUE(readBack(path, back)) << back.file.error;
    EXPECT_EQ(back.samples, frames);
    const uint32_t duration = static_cast<uint32_t>(c.frames) * c.frameDuration;
    ASSERT_EQ(back.track.timeToSample.size(), 1u);
    EXPECT_EQ(back.track.timeToSample[0].count, static_cast<uint32_t>(c.frames));
    EXPECT_EQ(back.track.timeToSample[0].duration, c.frameDuration);
    EXPECT_EQ(back.track.mediaDuration, duration);
    EXPECT_FALSE(back.track.usesCo64);
    ASSERT_EQ(back.track.descriptions.size(), 1u);
    EXPECT_EQ(back.track.descriptions[0].size(), 130u);
    EXPECT_EQ(testing_support::fourCCText(get32be(back.track.descriptions[0].data() + 4)), c.tag);
    // The edit covers the whole media from its start, at rate 1.
    const testing_support::Atom* elst =
        testing_support::findAtom(back.file.atoms, "moov/trak/edts/elst");
    ASSERT_NE(elst, nullptr);
    Bytes entry = {0, 0, 0, 0, 0, 0, 0, 1};
    put32be(entry, duration);
    put32be(entry, 0);
    put32be(entry, kFixedOne);
    EXPECT_EQ(testing_support::atomBody(back.file, *elst), entry);
  }
}

}  // namespace
