// The built tool's promise about its outputs: each is flushed before it is
// named and its folder after; an output name that stands in the way is
// respected; a run that knows its movie lacks frames never destroys the one
// already there; and every movie it leaves, even on a failure path, opens in
// ffprobe, GPAC's reader and mkvmerge.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ffprobe.h"
#include "tests/readers.h"
#include "tests/recording_folder.h"
#include "tests/support.h"
#include "tests/tool_command.h"

using namespace testing_support;

namespace {

const char* const kMetaLines = "max frame number = 100\n64x32@25.000000\n";

struct TracedCall {
  std::string name;
  std::string args;
  long result = -1;
};

// strace's lines for the calls we follow, in order.
std::vector<TracedCall> readTrace(const std::string& path) {
  std::vector<TracedCall> calls;
  const std::regex shape(R"(^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+).*$)");
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, shape)) continue;
    calls.push_back({match[1], match[2], std::stol(match[3])});
  }
  return calls;
}

bool isRename(const TracedCall& call) {
  return call.name == "rename" || call.name == "renameat" || call.name == "renameat2";
}

// Checks, for the output named name, that its temporary file was flushed
// before the rename that put it in place, and its folder after; "" when so.
std::string checkPublished(const std::vector<TracedCall>& calls, const std::string& name) {
  const std::string temp = name + ".part\"";
  size_t at = 0;
  long fd = -1;
  for (; at < calls.size() && fd < 0; ++at) {
    const TracedCall& c = calls[at];
    if (c.name == "openat" && c.args.find("/" + temp) != std::string::npos &&
        c.args.find("O_CREAT") != std::string::npos) {
      fd = c.result;
    } else if (c.name == "openat" && c.args.find("\"" + temp) != std::string::npos &&
               c.args.find("O_CREAT") != std::string::npos) {
      fd = c.result;
    }
  }
  if (fd < 0) return name + ": its temporary file was never created";
  bool flushed = false;
  for (; at < calls.size(); ++at) {
    const TracedCall& c = calls[at];
    if ((c.name == "fsync" || c.name == "fdatasync") && c.args == std::to_string(fd) &&
        c.result == 0) {
      flushed = true;
    }
    if (isRename(c) && c.args.find(temp) != std::string::npos) break;
  }
  if (at == calls.size()) return name + ": never renamed into place";
  if (!flushed) return name + ": renamed before its bytes were flushed";
  long folderFd = -1;
  for (++at; at < calls.size(); ++at) {
    const TracedCall& c = calls[at];
    if (c.name == "openat" && c.args.find("O_DIRECTORY") != std::string::npos && c.result >= 0) {
      folderFd = c.result;
    } else if (c.name == "fsync" && folderFd >= 0 && c.args == std::to_string(folderFd) &&
               c.result == 0) {
      return "";
    }
  }
  return name + ": its folder was not flushed after the rename";
}

TEST(Durability, EveryOutputIsFlushedBeforeItsRenameAndItsFolderAfter) {
  if (runShell("command -v strace >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is not installed (scripts/test.sh installs it)";
  }
  const ToolCommand tool = toolCommand();
  if (!tool.emulator.empty()) GTEST_SKIP() << "system calls are traced on the native build only";
  const RecordingFolder recording = makeRecording(3);
  ASSERT_FALSE(recording.frames.empty());
  TempDir dir;
  recording.writeTo(dir.path);
  TempDir scratch;
  const std::string trace = scratch.file("trace");
  std::string out;
  const int status = runShell(
      "cd " + shellQuote(dir.path) + " && strace -qq -o " + shellQuote(trace) +
          " -e trace=openat,fsync,fdatasync,rename,renameat,renameat2 " + shellQuote(tool.binary),
      &out);
  if (status != 0 && out.empty()) {
    // LeakSanitizer refuses to run under a tracer, so a sanitizer build ends here.
    GTEST_SKIP() << "the tool would not run under strace here: no permission to trace, or a "
                    "sanitizer build whose leak checker refuses to be traced";
  }
  ASSERT_EQ(out, recording.successOutput());
  const std::vector<TracedCall> calls = readTrace(trace);
  for (const std::string& name : {"r_" + recording.movieName, "r_" + recording.firstWavName,
                                  "r_" + recording.secondWavName}) {
    EXPECT_EQ(checkPublished(calls, name), "");
  }
}

struct StandingCase {
  const char* what;
  std::string movieName;
  std::string firstWavName;
  std::function<void(const std::string& folder)> place;
  std::string expectedOut;  // a leading '+' stands for a good run's lines before it
  int expectedCode;
  std::vector<std::string> keptAsTheyWere;  // names whose bytes must not change
  std::vector<std::string> made;            // outputs that must be whole afterwards
};

void makeReadOnly(const std::string& path, const Bytes& bytes) {
  writeFile(path, bytes);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
}

TEST(Durability, AnOutputNameThatCannotBeTakenIsRespected) {
  const Bytes old = {'o', 'l', 'd'};
  const std::string longWav = std::string(251, 'w') + ".wav";  // "r_" + it: 257
  const std::vector<StandingCase> cases = {
      {"a read-only movie at the movie's output name",
       "clip.mov",
       "a.wav",
       [&](const std::string& f) { makeReadOnly(f + "/r_clip.mov", old); },
       std::string(kMetaLines) + "Failed to create new movie!",
       4,
       {"r_clip.mov"},
       {}},
      {"a read-only copy at an audio copy's name",
       "clip.mov",
       "a.wav",
       [&](const std::string& f) { makeReadOnly(f + "/r_a.wav", old); },
       "+unable to write file r_a.wav!\n",
       0,
       {"r_a.wav"},
       {"r_clip.mov", "r_b.wav"}},
      {"an audio copy name longer than an entry can be",
       "clip.mov",
       longWav,
       [](const std::string&) {},
       "+unable to write file r_" + longWav + "!\n",
       0,
       {},
       {"r_clip.mov", "r_b.wav"}},
  };
  for (const StandingCase& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingFolder recording = makeRecording(3);
    ASSERT_FALSE(recording.frames.empty());
    recording.movieName = c.movieName;
    recording.firstWavName = c.firstWavName;
    TempDir dir;
    recording.writeTo(dir.path);
    c.place(dir.path);
    std::vector<std::string> expectedNames = listNames(dir.path);

    const ToolRun run = runTool(dir.path);

    const std::string expectedOut = c.expectedOut[0] == '+'
                                        ? recording.successOutput() + c.expectedOut.substr(1)
                                        : c.expectedOut;
    EXPECT_EQ(run.out, expectedOut);
    EXPECT_EQ(run.exitCode, c.expectedCode);
    std::string why;
    EXPECT_TRUE(recording.inputsUnchanged(dir.path, why)) << why;
    for (const std::string& name : c.keptAsTheyWere) EXPECT_EQ(readFile(dir.file(name)), old);
    for (const std::string& name : c.made) {
      EXPECT_TRUE(fileExists(dir.file(name))) << name;
      expectedNames.push_back(name);
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(listNames(dir.path), expectedNames) << "no temporary file is left";
  }
}

// A second run on a card with room for a few frames only must not replace
// the complete movie of the first.
TEST(Durability, ARunThatRunsOutOfRoomKeepsTheMovieAlreadyThere) {
  const RecordingFolder recording = makeRecording(6);
  ASSERT_FALSE(recording.frames.empty());
  TempDir dir;
  recording.writeTo(dir.path);
  const ToolRun first = runTool(dir.path);
  ASSERT_EQ(first.exitCode, 0) << first.out;
  const std::string movie = dir.file("r_" + recording.movieName);
  const Bytes complete = readFile(movie);

  // Room for all but the last frame, and for the index of the frames before it.
  ToolOptions nearlyFull;
  nearlyFull.fileSizeLimit = complete.size() - recording.frames.back().size();
  const ToolRun second = runTool(dir.path, nearlyFull);

  EXPECT_EQ(second.exitCode, 4);
  EXPECT_NE(second.out.find("Error write sample!"), std::string::npos) << second.out;
  const std::string kept = "r_" + recording.movieName +
                           " already exists and was kept: this run's movie lacks frames and was "
                           "not saved.\n";
  EXPECT_EQ(second.out.substr(second.out.size() - std::min(second.out.size(), kept.size())), kept);
  EXPECT_EQ(readFile(movie), complete);
  for (const std::string& name : listNames(dir.path)) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name << " was left behind";
  }

  // With nothing at the name, the frames that fitted are still worth having.
  TempDir fresh;
  recording.writeTo(fresh.path);
  const ToolRun alone = runTool(fresh.path, nearlyFull);
  EXPECT_EQ(alone.exitCode, 4);
  std::vector<Bytes> samples;
  std::string why;
  ASSERT_TRUE(readMovieSamples(fresh.file("r_" + recording.movieName), samples, why)) << why;
  EXPECT_EQ(samples, std::vector<Bytes>(recording.frames.begin(), recording.frames.end() - 1));
}

struct FailurePathCase {
  const char* what;
  int8_t codecId;
  bool sourceIsFolder;
  std::string expectedTail;  // the lines after the geometry line
  int expectedCode;
  const char* codecType;  // as the readers name it; "" for a description never filled
};

// The movies a run leaves when it could not take any frame: each must still
// open cleanly with one video track and no samples.
TEST(FailurePathMovies, OpenInEveryReaderWithOneTrackAndNoSamples) {
  PRORESCUE_REQUIRE_READERS();
  const std::vector<FailurePathCase> cases = {
      {"unsupported codec 22", 22, false, "unsupported codec 22\n", 4, ""},
      {"unsupported codec 200", static_cast<int8_t>(200), false, "unsupported codec -56\n", 4, ""},
      {"unsupported codec 15", 15, false, "unsupported codec 15\n", 4, ""},
      {"source that cannot be opened", 18, true, "unable to open source!\n", 4, "apcn"},
  };
  for (const FailurePathCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ShotValues shot;
    shot.width = 64;
    shot.height = 32;
    shot.codecId = c.codecId;
    writeFile(dir.file("0.mt"), goodMeta(shot));
    if (c.sourceIsFolder) {
      ASSERT_EQ(::mkdir(dir.file("clip.mov").c_str(), 0755), 0);
    } else {
      writeFile(dir.file("clip.mov"), Bytes(70000, 0));
    }
    const ToolRun run = runTool(dir.path);
    EXPECT_EQ(run.out, std::string(kMetaLines) + c.expectedTail);
    EXPECT_EQ(run.exitCode, c.expectedCode);

    const std::string movie = dir.file("r_clip.mov");
    const ProbeResult probe = probeMovie(movie);
    EXPECT_EQ(probe.errors, "");
    ASSERT_EQ(probe.streams.size(), 1u) << probe.json;
    EXPECT_EQ(probe.streams[0].packets, 0);

    ReaderReport gpac = readMovieWith("mp4box", movie);
    EXPECT_TRUE(gpac.ran);
    EXPECT_TRUE(gpac.errors.empty()) << (gpac.errors.empty() ? "" : gpac.errors.front());
    EXPECT_EQ(gpac.tracks, 1);
    EXPECT_EQ(gpac.track["width"], "64");
    EXPECT_EQ(gpac.track["height"], "32");
    EXPECT_EQ(gpac.track["samples"], "0");
    if (*c.codecType != '\0') {
      EXPECT_EQ(gpac.track["codec"], c.codecType);
    }

    const ReaderReport mkv = readMovieWith("mkvmerge", movie);
    EXPECT_TRUE(mkv.ran);
    EXPECT_TRUE(mkv.errors.empty()) << (mkv.errors.empty() ? "" : mkv.errors.front());
  }
}

}  // namespace
