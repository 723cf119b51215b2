// The built tool run in real folders: the early exits and what each leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support.h"

using namespace testing_support;

namespace {

struct EarlyExitCase {
  const char* what;
  std::function<void(const TempDir&)> setUp;
  mode_t folderMode;  // while the tool runs
  std::string expectedOut;
  int expectedCode;
};

Bytes metaWith(const ShotValues& shot) {
  return goodMeta(shot, 100);
}

TEST(DriverEndToEnd, EarlyExitsPrintTheirLinesAndWriteNothing) {
  ShotValues uhd;
  uhd.width = 4096;
  uhd.height = 2160;
  uhd.reportedRate = 29.97f;  // shown in the geometry line
  uhd.frameRate = 25.0f;      // sets the time base, never printed

  const std::vector<EarlyExitCase> cases = {
      {"no metadata file", [](const TempDir& d) { writeText(d.file("clip.mov"), "x"); }, 0755,
       "unable read 0.mt\nfailed to read meta.\n", 1},
      {"metadata file is a folder",
       [](const TempDir& d) { ASSERT_EQ(::mkdir(d.file("0.mt").c_str(), 0755), 0); }, 0755,
       "unable read 0.mt\nfailed to read meta.\n", 1},
      {"wrong revision before the shot",
       [](const TempDir& d) {
         Bytes meta = metaSection(16, revisionPayload(3));
         appendBytes(meta, metaSection(18, shotPayload({})));
         writeFile(d.file("0.mt"), meta);
         writeText(d.file("clip.mov"), "x");
       },
       0755, "unexpected meta rev: 3!=4\nfailed to read meta.\n", 1},
      {"audio but no movie",
       [&](const TempDir& d) {
         writeFile(d.file("0.mt"), metaWith(uhd));
         writeText(d.file("a.wav"), std::string(100, 'a'));
         writeText(d.file("b.WAV"), std::string(100, 'b'));
       },
       0755, "max frame number = 100\n4096x2160@29.969999\ncan't find mov file.\n", 3},
      {"only outputs and underscored movies",
       [](const TempDir& d) {
         writeFile(d.file("0.mt"), metaWith({}));
         writeText(d.file("A_0001.MOV"), "x");
         writeText(d.file("r_clip.mov"), "x");
         writeText(d.file(".mov"), "x");
       },
       0755, "max frame number = 100\n1920x1080@25.000000\ncan't find mov file.\n", 3},
      {"folder cannot be listed",
       [](const TempDir& d) {
         writeFile(d.file("0.mt"), metaWith({}));
         writeText(d.file("clip.mov"), "x");
         ::chmod(d.file("0.mt").c_str(), 0644);
       },
       0311,  // enter and open by name, but not list
       "max frame number = 100\n1920x1080@25.000000\nErr open dir.\n", 2},
  };

  for (const EarlyExitCase& c : cases) {
    TempDir dir;
    c.setUp(dir);
    const std::vector<std::string> before = listNames(dir.path);
    ::chmod(dir.path.c_str(), c.folderMode);
    ToolOptions options;
    options.asUnprivileged = true;
    const ToolRun run = runTool(dir.path, options);
    ::chmod(dir.path.c_str(), 0755);
    EXPECT_EQ(run.out, c.expectedOut) << c.what;
    EXPECT_EQ(run.exitCode, c.expectedCode) << c.what;
    EXPECT_EQ(run.err, "") << c.what;
    EXPECT_EQ(listNames(dir.path), before) << c.what << ": nothing may be written";
  }
}

TEST(DriverEndToEnd, FolderNamedLikeAMovieLeavesAnEmptyOutputMovie) {
  TempDir dir;
  writeFile(dir.file("0.mt"), goodMeta({}, 7));
  ASSERT_EQ(::mkdir(dir.file("take.mov").c_str(), 0755), 0);
  const ToolRun run = runTool(dir.path);
  EXPECT_EQ(run.out, "max frame number = 7\n1920x1080@25.000000\nunable to open source!\n");
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(fileExists(dir.file("r_take.mov")));
  std::string probe;
  EXPECT_EQ(
      runShell("ffprobe -v error -count_packets -show_entries stream=codec_type,nb_read_packets "
               "-of csv=p=0 " +
                   shellQuote(dir.file("r_take.mov")) + " 2>&1",
               &probe),
      0);
  // ffprobe shows a stream that it read no packet from as N/A.
  EXPECT_TRUE(probe == "video,0\n" || probe == "video,N/A\n") << probe;
}

}  // namespace
