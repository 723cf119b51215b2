// The audio stage of a whole run: which of the folder's WAV files the built
// tool repairs, what it prints, and that a failed repair keeps exit code 0.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

Bytes numbered(size_t count, uint8_t seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed);
  return bytes;
}

Bytes repaired(const Bytes& input) {
  Bytes copy = input;
  fillCanonicalWavHeader(copy.data(), static_cast<uint32_t>(copy.size()));
  return copy;
}

// The tool takes audio files in the order the folder listing yields them,
// which is the file system's and not sorted, so the test asks the same way.
std::vector<std::string> wavNamesInListingOrder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() >= 5 && name[1] != '_' && name.substr(name.size() - 4) == ".wav") {
      names.push_back(name);
    }
  }
  ::closedir(listing);
  return names;
}

// A source with no frame in it: the scan ends at once and the audio follows.
void writeRecording(const TempDir& dir) {
  writeFile(dir.file("0.mt"), goodMeta());
  writeFile(dir.file("src.mov"), Bytes(100 * 1024, 0));
}

const char kRunLines[] = "max frame number = 100\n1920x1080@25.000000\nreach end of file!\n";

TEST(AudioStage, FirstAndLastListedWavAreRepairedTheMiddleOneIsNot) {
  TempDir dir;
  writeRecording(dir);
  writeFile(dir.file("a.wav"), numbered(1000, 1));
  writeFile(dir.file("b.wav"), numbered(1501, 2));
  writeFile(dir.file("c.wav"), numbered(2002, 3));
  const std::vector<std::string> order = wavNamesInListingOrder(dir.path);
  ASSERT_EQ(order.size(), 3u);
  const std::string& first = order[0];
  const std::string& middle = order[1];
  const std::string& last = order[2];
  const Bytes firstInput = readFile(dir.file(first));
  const Bytes middleInput = readFile(dir.file(middle));
  const Bytes lastInput = readFile(dir.file(last));

  const ToolRun run = runTool(dir.path);

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kRunLines);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(dir.file("r_" + first)), repaired(firstInput));
  EXPECT_EQ(readFile(dir.file("r_" + last)), repaired(lastInput));
  EXPECT_FALSE(fileExists(dir.file("r_" + middle)));
  EXPECT_EQ(readFile(dir.file(first)), firstInput);
  EXPECT_EQ(readFile(dir.file(middle)), middleInput);
  EXPECT_EQ(readFile(dir.file(last)), lastInput);
  std::vector<std::string> names = {"0.mt",       "a.wav",     "b.wav",     "c.wav",
                                    "r_" + first, "r_" + last, "r_src.mov", "src.mov"};
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listNames(dir.path), names);
}

TEST(AudioStage, FailedRepairIsReportedAfterTheScanAndKeepsExitCodeZero) {
  TempDir dir;
  writeRecording(dir);
  writeFile(dir.file("s.wav"), numbered(10, 4));

  const ToolRun run = runTool(dir.path);

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            std::string(kRunLines) + "wav file s.wav is shorter than a 44-byte header, skipped!\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(dir.file("s.wav")), numbered(10, 4));
  EXPECT_EQ(listNames(dir.path),
            (std::vector<std::string>{"0.mt", "r_src.mov", "s.wav", "src.mov"}));
}

}  // namespace
