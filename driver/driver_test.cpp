// The listing rules that choose the source movie and audio files, and the
// output path formed from the chosen movie.
#include "driver/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

struct ListingCase {
  const char* what;
  std::vector<std::string> entries;  // in listing order
  const char* movie;
  const char* firstWav;
  const char* secondWav;
};

const ListingCase kListingCases[] = {
    {"empty folder", {}, "", "", ""},
    {"extension case is ignored", {"CLIP.MOV"}, "CLIP.MOV", "", ""},
    {"mixed case", {"Clip.Mov", "Tone.WaV"}, "Clip.Mov", "Tone.WaV", ""},
    {"last movie listed wins", {"a1.mov", "b2.mov", "c3.txt"}, "b2.mov", "", ""},
    {"five characters qualify, four do not", {"a.mov", ".mov", ".wav"}, "a.mov", "", ""},
    {"dot entries are skipped", {".", "..", "x.mov"}, "x.mov", "", ""},
    {"outputs of an earlier run are ignored",
     {"clip.mov", "r_clip.mov", "r_clip.wav", "a.wav"},
     "clip.mov",
     "a.wav",
     ""},
    {"any second-character underscore is ignored", {"A_0001.MOV", "B_1.WAV"}, "", "", ""},
    {"temporary outputs are ignored", {"r_clip.mov.part", "r_~1234.part"}, "", "", ""},
    {"first audio, then the last listed after it",
     {"A.wav", "B.wav", "C.wav"},
     "",
     "A.wav",
     "C.wav"},
    {"one audio file", {"x.mov", "tone.wav"}, "x.mov", "tone.wav", ""},
    {"extension must be the last four characters",
     {"clip.mov.bak", "clipmov", "x.wave"},
     "",
     "",
     ""},
    {"first character may be anything", {"_a.mov", "__.wav"}, "_a.mov", "", ""},
    {"names longer than 255 characters are held whole",
     {std::string(300, 'n') + ".mov"},
     nullptr,
     "",
     ""},
};

TEST(ListingRules, ChooseMovieAndAudioFromEntriesInOrder) {
  for (const ListingCase& c : kListingCases) {
    SourceFiles files;
    for (const std::string& entry : c.entries) considerEntry(files, entry);
    const std::string movie = c.movie ? c.movie : c.entries.back();
    EXPECT_EQ(files.movieName, movie) << c.what;
    EXPECT_EQ(files.firstWavName, c.firstWav) << c.what;
    EXPECT_EQ(files.secondWavName, c.secondWav) << c.what;
  }
}

TEST(ListingRules, FolderEntriesCountAndUnlistableFolderFails) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("take.MOV").c_str(), 0755), 0);
  writeText(dir.file("r_old.mov"), "");
  writeText(dir.file("voice.wav"), "");
  SourceFiles files;
  ASSERT_TRUE(findSourceFiles(files, dir.path));
  EXPECT_EQ(files.movieName, "take.MOV");
  EXPECT_EQ(files.firstWavName, "voice.wav");
  EXPECT_EQ(files.secondWavName, "");

  SourceFiles untouched;
  EXPECT_FALSE(findSourceFiles(untouched, dir.file("missing")));
}

TEST(OutputPath, JoinsFolderSeparatorPrefixAndNameUnchanged) {
  const std::string sep(1, kPathSeparator);
  EXPECT_EQ(outputMoviePath("/rec", "clip.MOV"), "/rec" + sep + "r_clip.MOV");
  // The separator is added even after a root folder that ends in one.
  EXPECT_EQ(outputMoviePath("/", "a.mov"), "/" + sep + "r_a.mov");
}

}  // namespace
