// The built tool on a recording past 4 GiB: a sparse source whose frames lie
// across the 2 GiB and 4 GiB marks and beyond, where a build with 32-bit file
// positions cannot open, seek or report them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "tests/recording_folder.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

constexpr uint64_t k2GiB = uint64_t{1} << 31;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

// Puts each piece at its offset and leaves everything between as holes, so
// the file takes a few kilobytes of disk whatever its length.
bool writeSparse(const std::string& path, const std::vector<std::pair<uint64_t, Bytes>>& pieces,
                 uint64_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool written = ::ftruncate(fd, static_cast<off_t>(length)) == 0;
  for (const auto& piece : pieces) {
    const ssize_t put =
        ::pwrite(fd, piece.second.data(), piece.second.size(), static_cast<off_t>(piece.first));
    written = written && put == static_cast<ssize_t>(piece.second.size());
  }
  return ::close(fd) == 0 && written;
}

bool keptSparse(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && info.st_blocks * 512 < (64 << 20);
}

TEST(LargeRecording, FramesPast4GiBAreFoundReportedAndCopied) {
  RecordingFolder recording = makeRecording(1);
  const std::vector<Bytes>& real = realProresFrames();
  ASSERT_FALSE(real.empty()) << "the frames could not be made";

  // The first frame sits where makeRecording put it; the others straddle the
  // signed and unsigned 32-bit limits, and lie past 4 GiB.
  const uint64_t farStarts[] = {k2GiB - 7, k4GiB - 10, k4GiB + 3 * 65536, k4GiB + 5 * 65536 + 1};
  std::vector<std::pair<uint64_t, Bytes>> pieces = {
      {0, Bytes(recording.source.begin(), recording.source.begin() + 28)},
      {recording.starts[0], recording.frames[0]}};
  for (size_t i = 0; i < std::size(farStarts); ++i) {
    const Bytes& frame = real[(i + 1) % real.size()];
    recording.starts.push_back(farStarts[i]);
    recording.frames.push_back(frame);
    pieces.emplace_back(farStarts[i], frame);
  }
  // Filler that never holds a header, long enough behind the last frame for a whole window.
  const uint64_t tail = recording.starts.back() + recording.frames.back().size();
  pieces.emplace_back(tail, Bytes(70000, 0x5A));

  TempDir dir;
  writeFile(dir.file("0.mt"), recording.meta);
  writeFile(dir.file(recording.firstWavName), recording.firstWav);
  writeFile(dir.file(recording.secondWavName), recording.secondWav);
  const std::string source = dir.file(recording.movieName);
  ASSERT_TRUE(writeSparse(source, pieces, tail + 70000)) << "cannot write " << source;
  if (!keptSparse(source)) {
    GTEST_SKIP() << "the temp folder's file system does not keep files sparse; "
                    "set TMPDIR to a folder on one that does";
  }

  ToolOptions options;
  options.timeoutSeconds = 900;  // 4 GiB of holes, read under an emulator at worst
  const ToolRun run = runTool(dir.path, options);
  EXPECT_EQ(run.out, recording.successOutput());
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");

  std::vector<Bytes> samples;
  std::string why;
  ASSERT_TRUE(readMovieSamples(dir.file("r_" + recording.movieName), samples, why)) << why;
  EXPECT_EQ(samples, recording.frames);
  EXPECT_EQ(readFile(dir.file("r_" + recording.firstWavName)), repairedWav(recording.firstWav));
  EXPECT_EQ(readFile(dir.file("r_" + recording.secondWavName)), repairedWav(recording.secondWav));
}

}  // namespace
