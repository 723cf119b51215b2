// The built tool on a copy-on-write file system: on an XFS image with
// reflinks, a real ProRes recovery decodes to the very frames recorded, and
// the movie shares the frames' blocks with the source instead of copying
// them. Needs root and a loop mount; skips with a message where it has none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/ffprobe.h"
#include "tests/prores_fixtures.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

// A small XFS file system with reflinks, mounted for the test's life.
struct XfsMount {
  XfsMount() {
    if (::geteuid() != 0) {
      why = "not root: cannot loop-mount a file system";
      return;
    }
    if (runShell("command -v mkfs.xfs >/dev/null 2>&1") != 0) {
      why = "mkfs.xfs (xfsprogs) is not installed";
      return;
    }
    const std::string image = holder.file("xfs.img");
    mountPoint = holder.file("mnt");
    std::string out;
    if (runShell("truncate -s 1G " + shellQuote(image) + " && mkfs.xfs -q -m reflink=1 " +
                     shellQuote(image) + " && mkdir " + shellQuote(mountPoint) +
                     " && mount -o loop " + shellQuote(image) + " " + shellQuote(mountPoint) +
                     " 2>&1",
                 &out) != 0) {
      why = "the XFS image could not be made or mounted here: " + out;
      return;
    }
    mounted = true;
  }
  ~XfsMount() {
    if (mounted)
      runShell("umount " + shellQuote(mountPoint) + " || umount -l " + shellQuote(mountPoint));
  }
  TempDir holder;
  std::string mountPoint;
  bool mounted = false;
  std::string why;
};

// How many extents filefrag reports as shared with another file.
int sharedExtents(const std::string& path) {
  std::string out;
  if (runShell("filefrag -v " + shellQuote(path) + " | grep -c shared", &out) > 1) return -1;
  return std::atoi(out.c_str());
}

TEST(CopyOnWrite, RecoveryOnXfsSharesTheFramesBlocksAndDecodesBitIdentically) {
  XfsMount xfs;
  if (!xfs.mounted) GTEST_SKIP() << xfs.why;
  ProresClip clip;
  ASSERT_TRUE(makeProresClip(kProresFlavours[3], 8, 1280, 720, clip));
  const Recording recording = withIndexLost(clip);

  struct RoadCase {
    const char* name;
    bool buffered;
  };
  for (const RoadCase road : {RoadCase{"kernel road", false}, RoadCase{"buffered road", true}}) {
    SCOPED_TRACE(road.name);
    const std::string folder = xfs.mountPoint + "/" + (road.buffered ? "buffered" : "kernel");
    ASSERT_EQ(runShell("mkdir " + shellQuote(folder)), 0);
    writeFile(folder + "/0.mt", goodMeta(shotFor(clip), 8));
    writeFile(folder + "/A001.mov", recording.bytes);
    ASSERT_EQ(runShell("sync"), 0);  // the source's blocks must exist before they can be shared
    if (road.buffered) ::setenv("PRORESCUE_TEST_BUFFERED_ROAD", "1", 1);
    const ToolRun run = runTool(folder);
    ::unsetenv("PRORESCUE_TEST_BUFFERED_ROAD");
    ASSERT_EQ(run.exitCode, 0) << run.out;

    const std::string movie = folder + "/r_A001.mov";
    size_t taken = 0;
    expectedScanLines(recording, taken);
    const std::vector<std::string> original(clip.hashes.begin(), clip.hashes.begin() + taken);
    EXPECT_EQ(frameHashes(movie), original);
    ASSERT_EQ(runShell("sync"), 0);
    if (road.buffered) {
      EXPECT_EQ(sharedExtents(movie), 0) << "a copy through the buffer cannot share blocks";
    } else {
      EXPECT_GT(sharedExtents(movie), 0) << "the frames' blocks were copied, not shared";
    }
  }
}

}  // namespace
