// The built tool in recording folders that are odd or hostile: special files
// where inputs should be, names and paths at the file system's limits, and
// links at the outputs' names. The tool must never hang, never change an
// input, and end each case with its own lines and exit code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/recording_folder.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

enum class Outputs { None, EmptyMovie, AudioOnly, All };

struct HostileCase {
  const char* what;
  std::string movieName;
  // Turns a written recording folder hostile; returns false when the system
  // refuses to make it so.
  std::function<bool(const std::string& folder)> setUp;
  // "" stands for a good run's lines, and a leading '+' for lines after them.
  std::string expectedOut;
  int expectedCode;
  Outputs outputs;
  bool deepFolder = false;  // run in a folder whose path is over 255 characters
};

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The inputs that setUp left as plain files, which must keep their bytes.
std::vector<std::pair<std::string, const Bytes*>> plainInputs(const RecordingFolder& recording,
                                                              const std::string& folder) {
  std::vector<std::pair<std::string, const Bytes*>> inputs = {
      {"0.mt", &recording.meta},
      {recording.movieName, &recording.source},
      {recording.firstWavName, &recording.firstWav},
      {recording.secondWavName, &recording.secondWav}};
  inputs.erase(
      std::remove_if(inputs.begin(), inputs.end(),
                     [&](const auto& input) { return !isRegularFile(folder + "/" + input.first); }),
      inputs.end());
  return inputs;
}

void replaceBy(const std::string& path, const std::function<int(const char*)>& make) {
  ::unlink(path.c_str());
  ASSERT_EQ(make(path.c_str()), 0) << path;
}

TEST(HostileFolders, EachEndsWithItsOwnLinesAndLeavesTheInputsAlone) {
  const std::string meta = "max frame number = 100\n64x32@25.000000\n";
  const std::string noSource = meta + "unable to open source!\n";
  const std::string longName = std::string(246, 'm') + ".mov";     // "r_" + it: 252
  const std::string tooLongName = std::string(250, 'n') + ".mov";  // "r_" + it: 256
  const auto fifo = [](const char* path) { return ::mkfifo(path, 0644); };

  const std::vector<HostileCase> cases = {
      {"0.mt is a folder", "clip.mov",
       [&](const std::string& f) {
         replaceBy(f + "/0.mt", [](const char* p) { return ::mkdir(p, 0755); });
         return true;
       },
       "unable read 0.mt\nfailed to read meta.\n", 1, Outputs::None},
      {"0.mt is a FIFO", "clip.mov",
       [&](const std::string& f) {
         replaceBy(f + "/0.mt", fifo);
         return true;
       },
       "unable read 0.mt\nfailed to read meta.\n", 1, Outputs::None},
      {"movie name of 250 characters", longName, [](const std::string&) { return true; }, "", 0,
       Outputs::All},
      // Refused as the movie is created, before a scan that could only be wasted.
      {"movie name too long for r_ in front", tooLongName, [](const std::string&) { return true; },
       meta + "Failed to create new movie!", 4, Outputs::None},
      {"working folder path longer than 255 characters", "clip.mov",
       [](const std::string&) { return true; }, "", 0, Outputs::All, true},
      {"source is a FIFO", "clip.mov",
       [&](const std::string& f) {
         replaceBy(f + "/clip.mov", fifo);
         return true;
       },
       noSource, 4, Outputs::EmptyMovie},
      {"source is a device node", "clip.mov",
       [](const std::string& f) {
         const std::string path = f + "/clip.mov";
         ::unlink(path.c_str());
         return ::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;  // /dev/zero
       },
       noSource, 4, Outputs::EmptyMovie},
      {"source is a link to /dev/zero", "clip.mov",
       [](const std::string& f) {
         replaceBy(f + "/clip.mov", [](const char* p) { return ::symlink("/dev/zero", p); });
         return true;
       },
       noSource, 4, Outputs::EmptyMovie},
      {"r_ movie is a link to the source", "clip.mov",
       [](const std::string& f) { return ::symlink("clip.mov", (f + "/r_clip.mov").c_str()) == 0; },
       "", 0, Outputs::All},
      {"r_ audio copy is a link to its input", "clip.mov",
       [](const std::string& f) { return ::symlink("a.wav", (f + "/r_a.wav").c_str()) == 0; }, "",
       0, Outputs::All},
  };

  RecordingFolder recording = makeRecording(3);
  ASSERT_FALSE(recording.frames.empty());
  for (const HostileCase& c : cases) {
    TempDir dir;
    std::string folder = dir.path;
    if (c.deepFolder) {
      for (const char part : {'d', 'e', 'f'}) {
        folder += "/" + std::string(100, part);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
      }
    }
    recording.movieName = c.movieName;
    recording.writeTo(folder);
    if (!c.setUp(folder)) {
      // Only a device node needs privileges; the link to /dev/zero covers the same ground.
      if (::geteuid() == 0) ADD_FAILURE() << c.what << ": the system refused to set the case up";
      std::printf("%s: not set up without root, case skipped\n", c.what);
      continue;
    }
    const std::vector<std::string> before = listNames(folder);
    const auto inputs = plainInputs(recording, folder);

    ToolOptions options;
    options.timeoutSeconds = 60;  // a blocking open of a FIFO would hang forever
    const ToolRun run = runTool(folder, options);

    std::string expectedOut = c.expectedOut;
    if (expectedOut.empty() || expectedOut[0] == '+') {
      expectedOut = recording.successOutput() + expectedOut.substr(expectedOut.empty() ? 0 : 1);
    }
    EXPECT_EQ(run.out, expectedOut) << c.what;
    EXPECT_EQ(run.exitCode, c.expectedCode) << c.what;
    EXPECT_EQ(run.err, "") << c.what;
    for (const auto& input : inputs) {
      EXPECT_EQ(readFile(folder + "/" + input.first), *input.second)
          << c.what << ": " << input.first << " changed";
    }

    const std::string movie = folder + "/r_" + recording.movieName;
    std::vector<std::string> expectedNames = before;
    const bool movieMade = c.outputs == Outputs::EmptyMovie || c.outputs == Outputs::All;
    const bool audioMade = c.outputs == Outputs::AudioOnly || c.outputs == Outputs::All;
    if (movieMade) expectedNames.push_back("r_" + recording.movieName);
    if (audioMade) {
      expectedNames.push_back("r_" + recording.firstWavName);
      expectedNames.push_back("r_" + recording.secondWavName);
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    expectedNames.erase(std::unique(expectedNames.begin(), expectedNames.end()),
                        expectedNames.end());
    EXPECT_EQ(listNames(folder), expectedNames) << c.what;

    if (movieMade) {
      // A link that stood at the output's name was replaced, not written through.
      EXPECT_TRUE(isRegularFile(movie)) << c.what;
      std::vector<Bytes> samples;
      std::string why;
      EXPECT_TRUE(readMovieSamples(movie, samples, why)) << c.what << ": " << why;
      const std::vector<Bytes> expectedSamples =
          c.outputs == Outputs::EmptyMovie ? std::vector<Bytes>{} : recording.frames;
      EXPECT_TRUE(samples == expectedSamples) << c.what << ": " << samples.size() << " samples";
    }
    if (audioMade) {
      const std::string firstCopy = folder + "/r_" + recording.firstWavName;
      EXPECT_TRUE(isRegularFile(firstCopy)) << c.what;
      EXPECT_EQ(readFile(firstCopy), repairedWav(recording.firstWav)) << c.what;
      EXPECT_EQ(readFile(folder + "/r_" + recording.secondWavName),
                repairedWav(recording.secondWav))
          << c.what;
    }
  }
}

}  // namespace
