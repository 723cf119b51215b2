// The audio stage of a whole run: which of the folder's WAV files the built
// tool repairs, what it prints, and that a failed repair keeps exit code 0.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/recording_folder.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

Bytes numbered(size_t count, uint8_t seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed);
  return bytes;
}

// The file system's own listing of these names, unsorted and unfiltered.
std::vector<std::string> listedOrder(const std::string& folder,
                                     const std::vector<std::string>& names) {
  std::vector<std::string> listed;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return listed;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (std::find(names.begin(), names.end(), name) != names.end()) listed.push_back(name);
  }
  ::closedir(listing);
  return listed;
}

// A source with no frame in it: the scan ends at once and the audio follows.
void writeRecording(const TempDir& dir) {
  writeFile(dir.file("0.mt"), goodMeta());
  writeFile(dir.file("src.mov"), Bytes(100 * 1024, 0));
}

const char kRunLines[] = "max frame number = 100\n1920x1080@25.000000\nreach end of file!\n";

struct AudioCase {
  const char* what;
  std::vector<std::string> files;  // beside 0.mt and src.mov
  // The names repaired. Empty where the folder holds three audio files: which
  // two are taken is then the listing's order, which only the file system
  // knows, and the copies must be of the first and last of files as listed.
  std::vector<std::string> repaired;
};

const AudioCase kAudioCases[] = {
    {"one audio file", {"a.wav"}, {"a.wav"}},
    {"any letter case", {"A.WAV", "b.Wav"}, {"A.WAV", "b.Wav"}},
    {"a second character '_' is passed over", {"a_b.wav", "r_c.wav", "d.wav"}, {"d.wav"}},
    {"other endings are passed over", {"notes.txt", "a.wav.bak", "b.wavx", "c.wav"}, {"c.wav"}},
    {"of three, the middle listed one is not repaired", {"a.wav", "b.wav", "c.wav"}, {}},
};

TEST(AudioStage, RepairsTheFirstAndLastListedAudioFiles) {
  for (const AudioCase& c : kAudioCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeRecording(dir);
    std::vector<Bytes> inputs;
    for (size_t i = 0; i < c.files.size(); ++i) {
      inputs.push_back(numbered(1000 + 501 * i, static_cast<uint8_t>(i + 1)));
      writeFile(dir.file(c.files[i]), inputs.back());
    }
    std::vector<std::string> repaired = c.repaired;
    if (repaired.empty()) {
      const std::vector<std::string> listed = listedOrder(dir.path, c.files);
      ASSERT_EQ(listed.size(), 3u);
      repaired = {listed.front(), listed.back()};
    }

    const ToolRun run = runTool(dir.path);

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kRunLines);
    EXPECT_EQ(run.err, "");
    std::vector<std::string> names = {"0.mt", "r_src.mov", "src.mov"};
    for (size_t i = 0; i < c.files.size(); ++i) {
      const std::string& name = c.files[i];
      EXPECT_EQ(readFile(dir.file(name)), inputs[i]) << name << " changed";
      names.push_back(name);
      if (std::find(repaired.begin(), repaired.end(), name) == repaired.end()) continue;
      EXPECT_EQ(readFile(dir.file("r_" + name)), repairedWav(inputs[i])) << name;
      names.push_back("r_" + name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listNames(dir.path), names);
  }
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
