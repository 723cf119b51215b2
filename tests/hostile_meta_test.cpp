// The built tool on hostile "0.mt" files beside a good recording: lengths
// that wrap a 32-bit position, skips that land past 4 GiB, and sections cut
// short. Every build, whatever its word size or byte order, must end each
// case with the same lines and exit code, and must never loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "meta/meta.h"
#include "tests/recording_folder.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

struct HostileMetaCase {
  const char* what;
  Bytes meta;
  // A section placed far out in a sparse "0.mt"; empty: none.
  uint64_t farOffset = 0;
  Bytes farSection = {};
  std::string metaLines;  // what the reader prints
  bool shotRead = true;   // the run goes on to rebuild the recording
};

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) appendBytes(all, part);
  return all;
}

Bytes header(int32_t type, uint32_t length) {
  return metaSection(type, length, {});
}

Bytes frams(int32_t value) {
  Bytes payload;
  put32le(payload, static_cast<uint32_t>(value));
  return metaSection(kSectionFrams, payload);
}

bool writeMeta(const std::string& path, const HostileMetaCase& c) {
  writeFile(path, c.meta);
  if (c.farSection.empty()) return true;
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const ssize_t put =
      ::pwrite(fd, c.farSection.data(), c.farSection.size(), static_cast<off_t>(c.farOffset));
  return ::close(fd) == 0 && put == static_cast<ssize_t>(c.farSection.size());
}

TEST(HostileMeta, EveryBuildEndsEachCaseAlike) {
  ShotValues values;
  values.width = 64;
  values.height = 32;
  const Bytes shot = metaSection(kSectionShot, shotPayload(values));
  const uint32_t afterShot = static_cast<uint32_t>(shot.size()) + kMetaSectionHeaderSize;
  const std::string endOfMeta = "unexpected end of meta!\n";
  const std::string unknown77 = "unknown meta type: 77\n";

  const std::vector<HostileMetaCase> cases = {
      // As a 32-bit offset this skip points back at its own header.
      {"unknown section of 2^32 - 8 after the shot",
       join({shot, header(77, 0xFFFFFFF8u), frams(100)}),
       0,
       {},
       unknown77 + endOfMeta},
      {"unknown section of 2^32 - 8 before the shot",
       join({header(77, 0xFFFFFFF8u), shot, frams(100)}),
       0,
       {},
       unknown77 + endOfMeta,
       false},
      {"unknown section of 2^32 - 1",
       join({shot, header(77, 0xFFFFFFFFu), frams(100)}),
       0,
       {},
       unknown77 + endOfMeta},
      {"unknown section of 2^31",
       join({shot, header(77, 0x80000000u), frams(100)}),
       0,
       {},
       unknown77 + endOfMeta},
      {"unknown section of length 0",
       join({shot, header(77, 0), frams(100)}),
       0,
       {},
       unknown77 + "invalid section length!\n"},
      {"type with all bits set",
       join({shot, metaSection(-1, Bytes(3, 1)), frams(100)}),
       0,
       {},
       "unknown meta type: -1\nmax frame number = 100\n"},
      // The skip's far end holds the frame count: it must be read there, not
      // 4 GiB earlier.
      {"skip lands on 4 GiB", join({shot, header(77, static_cast<uint32_t>(k4GiB - afterShot))}),
       k4GiB, frams(9), unknown77 + "max frame number = 9\n"},
      {"skip of 2^32 - 8 lands past 4 GiB", join({shot, header(77, 0xFFFFFFF8u)}),
       afterShot + uint64_t{0xFFFFFFF8u}, frams(-3), unknown77 + "max frame number = -3\n"},
      {"shot of length 2^32 - 1",
       join({header(kSectionShot, 0xFFFFFFFFu), shot}),
       0,
       {},
       "meta shot lengh mis-match!\n",
       false},
      {"curve cut short after the shot",
       join({shot, metaSection(kSectionCurve, kCurveSize, Bytes(1000, 2))}),
       0,
       {},
       "err reading meta curve!\n"},
      {"header cut short after the shot", join({shot, Bytes(5, 0xFF)}), 0, {}, endOfMeta},
  };

  const RecordingFolder recording = makeRecording(3);
  ASSERT_FALSE(recording.frames.empty()) << "the frames could not be made";
  const std::string good = recording.successOutput();
  const std::string rebuiltLines = good.substr(good.find('\n') + 1);

  for (const HostileMetaCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    recording.writeTo(dir.path);
    ASSERT_TRUE(writeMeta(dir.file("0.mt"), c));
    ToolOptions options;
    // A reader that loops prints without end; both limits make that a failure, not a hang.
    options.timeoutSeconds = 60;
    options.fileSizeLimit = 1 << 20;
    const ToolRun run = runTool(dir.path, options);
    // A looping reader's megabyte of lines would drown the report.
    const std::string shown =
        run.out.size() <= 4096
            ? run.out
            : run.out.substr(0, 4096) + "... (" + std::to_string(run.out.size()) + " bytes)";
    EXPECT_EQ(shown, c.metaLines + (c.shotRead ? rebuiltLines : "failed to read meta.\n"));
    EXPECT_EQ(run.exitCode, c.shotRead ? 0 : 1);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile(dir.file(recording.movieName)), recording.source);
  }
}

}  // namespace
