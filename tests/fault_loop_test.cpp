// Whole recoveries with a fault at every point where the file layer can fail:
// the nth call of each kind (read, write, seek, rename, close, create,
// truncate, flush), once or from then on, for n = 1,
// 2, ... until a run no longer reaches the fault. Every run must either
// recover everything and exit 0, or say so on stdout and exit non-zero; the
// inputs never change, and a file under a final "r_" name is always whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/file.h"
#include "tests/recording_folder.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

struct FaultKind {
  FaultOp op;
  const char* name;
  FaultPlan also{};  // in force throughout, besides the fault at n
};

constexpr FaultKind kFaultKinds[] = {
    {FaultOp::Write, "write"},       {FaultOp::Rename, "rename"}, {FaultOp::Close, "close"},
    {FaultOp::Read, "read"},         {FaultOp::Seek, "seek"},     {FaultOp::Create, "create"},
    {FaultOp::Truncate, "truncate"}, {FaultOp::Flush, "flush"},   {FaultOp::Copy, "copy"},
    {FaultOp::Open, "open"},         {FaultOp::List, "list"}};
static_assert(sizeof kFaultKinds / sizeof kFaultKinds[0] == kFaultOpCount,
              "the loop covers every kind of fault the file layer can inject");

// Every kernel copy fails, so every frame is done again through the buffer,
// and that retry meets a fault of its own.
constexpr FaultPlan kEveryCopyFails = {FaultOp::Copy, 1, true};
constexpr FaultKind kRetryKinds[] = {{FaultOp::Seek, "seek-after-copy", kEveryCopyFails},
                                     {FaultOp::Read, "read-after-copy", kEveryCopyFails},
                                     {FaultOp::Write, "write-after-copy", kEveryCopyFails},
                                     {FaultOp::Truncate, "truncate-after-copy", kEveryCopyFails}};

// Far above the operations one run of this recording needs; reaching it
// means the loop no longer ends.
constexpr uint64_t kMaxFaultPoint = 400;

struct RunResult {
  std::string out;
  int code = -1;
  bool faultHit = false;
};

RunResult recoverWithFault(const std::string& folder, const FaultPlan& plan,
                           const FaultPlan& also) {
  RunResult result;
  CapturedStdout capture;
  {
    ScopedChdir inFolder(folder);
    setFaultPlan(plan, also);
    result.code = runRecovery();
    result.faultHit = faultCount(plan.op) >= plan.nth;
    clearFaultPlan();
  }
  result.out = capture.finish();
  return result;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// A failure is reported when stdout holds a line that a good run never prints.
bool reportsFailure(const std::string& out, const std::string& goodOut) {
  const std::vector<std::string> good = linesOf(goodOut);
  const std::set<std::string> known(good.begin(), good.end());
  for (const std::string& line : linesOf(out)) {
    if (known.count(line) == 0) return true;
  }
  return false;
}

bool isInOrderSubsequence(const std::vector<Bytes>& part, const std::vector<Bytes>& whole) {
  size_t at = 0;
  for (const Bytes& sample : part) {
    while (at < whole.size() && whole[at] != sample) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

// Checks the folder after one run; returns what is wrong, or "".
std::string judgeRun(const RecordingFolder& recording, const std::string& folder,
                     const RunResult& run) {
  std::string why;
  if (!recording.inputsUnchanged(folder, why)) return why;

  const std::string movie = folder + "/r_" + recording.movieName;
  const std::string firstCopy = folder + "/r_" + recording.firstWavName;
  const std::string secondCopy = folder + "/r_" + recording.secondWavName;
  std::vector<std::string> expectedNames = recording.inputNames();
  std::vector<Bytes> samples;
  if (fileExists(movie)) {
    expectedNames.push_back("r_" + recording.movieName);
    if (!readMovieSamples(movie, samples, why)) return "r_ movie is not whole: " + why;
    if (!isInOrderSubsequence(samples, recording.frames)) {
      return "r_ movie holds samples that are not the source's frames in order";
    }
  }
  const std::pair<std::string, const Bytes*> copies[] = {{firstCopy, &recording.firstWav},
                                                         {secondCopy, &recording.secondWav}};
  for (const auto& copy : copies) {
    if (!fileExists(copy.first)) continue;
    expectedNames.push_back(copy.first.substr(folder.size() + 1));
    if (readFile(copy.first) != repairedWav(*copy.second)) return copy.first + " is not whole";
  }
  std::sort(expectedNames.begin(), expectedNames.end());
  if (listNames(folder) != expectedNames) return "the run left files besides its outputs";

  const bool everythingWritten =
      samples.size() == recording.frames.size() && fileExists(firstCopy) && fileExists(secondCopy);
  // A fault that cost nothing (say, in the metadata after the shot) may
  // still be mentioned; exit 0 only promises that everything was recovered.
  if (run.code == kExitRecovered) {
    return everythingWritten ? "" : "exit 0 without every frame and both audio copies";
  }
  if (!reportsFailure(run.out, recording.successOutput())) {
    return "non-zero exit without a failure line";
  }
  if (run.code == kExitSourceUnreadable) {
    // The audio may have been lost to the same failing medium; a copy that
    // exists was checked above.
    if (!fileExists(movie) || samples != recording.framesOutsideSkips(run.out)) {
      return "exit 5 without a movie of every frame outside the skipped regions";
    }
  }
  return "";
}

TEST(FaultLoop, EveryFileFaultEndsInFullRecoveryOrAReportedFailure) {
  // Two frames, a stretch longer than a scan window, then four more: a lost
  // window costs the first two frames only.
  const RecordingFolder recording = makeRecording(6, 1, 100000);
  ASSERT_FALSE(recording.frames.empty());
  uint64_t faultPoints = 0;
  std::string perKind;

  std::vector<FaultKind> kinds(std::begin(kFaultKinds), std::end(kFaultKinds));
  kinds.insert(kinds.end(), std::begin(kRetryKinds), std::end(kRetryKinds));
  for (const FaultKind& kind : kinds) {
    for (const bool persistent : {false, true}) {
      uint64_t n = 1;
      for (; n <= kMaxFaultPoint; ++n) {
        TempDir dir;
        recording.writeTo(dir.path);
        const RunResult run = recoverWithFault(dir.path, {kind.op, n, persistent}, kind.also);
        const std::string verdict = judgeRun(recording, dir.path, run);
        EXPECT_EQ(verdict, "") << kind.name << " fault at " << n
                               << (persistent ? " and after" : " only") << ", exit code "
                               << run.code << ", stdout:\n"
                               << run.out;
        if (!run.faultHit) {
          // A kernel copy that fails is done again through the buffer, unseen.
          EXPECT_EQ(run.code, kExitRecovered) << "a run without a fault must recover";
          EXPECT_EQ(run.out, recording.successOutput());
          break;
        }
        ++faultPoints;
      }
      EXPECT_LE(n, kMaxFaultPoint) << kind.name << " faults never stopped being hit";
      perKind +=
          " " + std::string(kind.name) + (persistent ? "+" : "") + "=" + std::to_string(n - 1);
    }
  }
  // "+" marks faults that persist once hit.
  std::printf("fault points covered: %llu (%s )\n", static_cast<unsigned long long>(faultPoints),
              perKind.c_str());
  RecordProperty("faultPoints", static_cast<int>(faultPoints));
}

// The same promise with a real limit on file size from the system, for the
// tool run as its own process: a full disk is met at whatever write it hits.
TEST(FaultLoop, FileSizeLimitEndsInFullRecoveryOrAReportedFailure) {
  const RecordingFolder recording = makeRecording(6, 1, 100000);
  ASSERT_FALSE(recording.frames.empty());
  uint64_t movieSize = 0;
  {
    TempDir dir;
    recording.writeTo(dir.path);
    const ToolRun run = runTool(dir.path);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    movieSize = readFile(dir.file("r_" + recording.movieName)).size();
  }
  const uint64_t firstCopySize = recording.firstWav.size();
  const uint64_t secondCopySize = recording.secondWav.size();
  const uint64_t limits[] = {1,
                             40,
                             secondCopySize - 1,
                             secondCopySize,
                             firstCopySize - 1,
                             firstCopySize,
                             recording.frames[0].size() + 100,
                             movieSize - 1,
                             movieSize};
  for (const uint64_t limit : limits) {
    TempDir dir;
    recording.writeTo(dir.path);
    ToolOptions options;
    options.fileSizeLimit = limit;
    const ToolRun tool = runTool(dir.path, options);
    RunResult run;
    run.out = tool.out;
    run.code = tool.exitCode;
    EXPECT_EQ(judgeRun(recording, dir.path, run), "")
        << "file size limit " << limit << ", exit code " << run.code << ", stdout:\n"
        << run.out;
    EXPECT_EQ(tool.err, "");
    if (limit >= movieSize) {
      EXPECT_EQ(run.code, kExitRecovered) << "every output fits the limit";
    }
  }
}

}  // namespace
