// scripts/make-meta.sh, which the sample, the benchmark and the Windows
// check use to write "0.mt", writes what the tests' goodMeta() writes.
#include <gtest/gtest.h>

#include <string>

#include "tests/support.h"

namespace {

using namespace testing_support;

struct ScriptCase {
  std::string arguments;
  ShotValues shot;
  int32_t maxFrame;
};

ShotValues shotOf(int32_t width, int32_t height, float rate, int8_t codecId, uint8_t flags) {
  ShotValues shot;
  shot.width = width;
  shot.height = height;
  shot.reportedRate = rate;
  shot.frameRate = rate;
  shot.codecId = codecId;
  shot.flags = flags;
  return shot;
}

TEST(MakeMetaScript, WritesWhatGoodMetaWrites) {
  const std::string source = __FILE__;
  const std::string script = source.substr(0, source.rfind("/tests/")) + "/scripts/make-meta.sh";
  const ScriptCase kCases[] = {
      {"", shotOf(1920, 1080, 25.0f, 18, 0), 100},
      {"--width 1280 --height 720 --rate 50 --codec 21 --flags 16 --frames 48",
       shotOf(1280, 720, 50.0f, 21, 0x10), 48},
      {"--rate 24 --codec 16 --frames 7", shotOf(1920, 1080, 24.0f, 16, 0), 7},
      {"--width 64 --height 32 --rate 1", shotOf(64, 32, 1.0f, 18, 0), 100},
  };
  for (const ScriptCase& c : kCases) {
    SCOPED_TRACE(c.arguments);
    TempDir dir;
    ASSERT_EQ(runShell(shellQuote(script) + " " + c.arguments + " " + shellQuote(dir.file("0.mt"))),
              0);
    EXPECT_EQ(readFile(dir.file("0.mt")), goodMeta(c.shot, c.maxFrame));
  }
}

}  // namespace
