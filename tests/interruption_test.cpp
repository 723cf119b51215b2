// A run killed part way (power pulled, terminal closed) and the run after it:
// the killed run leaves nothing under a final name, its temporary file is
// never taken for an input, and the next run in the same folder recovers
// everything as if the first had never happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/recording_folder.h"
#include "tests/support.h"
#include "tests/tool_command.h"

using namespace testing_support;

namespace {

// Where the first run is killed.
enum class KillPoint { TemporaryOutputAppears, FrameLinesPrinted };

struct Child {
  pid_t pid = -1;
  int out = -1;  // read end of the child's stdout
  std::string errPath;
};

// Starts the built tool in folder with its stdout on a pipe of one page. As
// long as nobody reads the pipe the tool blocks on its frame lines, so it is
// sure to be in the middle of its scan when it is killed.
Child startTool(const std::string& folder, const std::string& errPath) {
  Child child;
  child.errPath = errPath;
  const ToolCommand command = toolCommand();
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return child;
  ::fcntl(pipeEnds[0], F_SETPIPE_SZ, 4096);
  child.pid = ::fork();
  if (child.pid == 0) {
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    if (err < 0 || in < 0 || ::chdir(folder.c_str()) != 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(pipeEnds[1], 1);
    ::dup2(err, 2);
    ::close(pipeEnds[0]);
    execTool(command);
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  child.out = pipeEnds[0];
  return child;
}

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

std::vector<std::string> namesBesides(const std::string& folder,
                                      const std::vector<std::string>& known) {
  std::vector<std::string> others;
  for (const std::string& name : listNames(folder)) {
    if (std::find(known.begin(), known.end(), name) == known.end()) others.push_back(name);
  }
  return others;
}

// Reads the child's stdout until it has shown count frame lines.
bool readFrameLines(int fd, size_t count) {
  size_t lines = 0;
  char chunk[256];
  while (lines < count + 2) {  // the metadata and geometry lines come first
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    lines += static_cast<size_t>(std::count(chunk, chunk + got, '\n'));
  }
  return true;
}

TEST(Interruption, RunAfterAKilledRunRecoversEverything) {
  // Many small real frames, so that the scan prints far more than the pipe holds.
  const RecordingFolder recording = makeRecording(1500);
  ASSERT_FALSE(recording.frames.empty());
  const std::vector<std::string> inputs = recording.inputNames();

  for (const KillPoint point : {KillPoint::TemporaryOutputAppears, KillPoint::FrameLinesPrinted}) {
    const char* what = point == KillPoint::TemporaryOutputAppears
                           ? "killed at its temporary output"
                           : "killed after printing frame lines";
    TempDir dir;
    TempDir scratch;
    recording.writeTo(dir.path);

    Child child = startTool(dir.path, scratch.file("stderr"));
    ASSERT_GT(child.pid, 0);
    bool reached = false;
    switch (point) {
      case KillPoint::TemporaryOutputAppears:
        reached = waitFor([&] { return !namesBesides(dir.path, inputs).empty(); });
        break;
      case KillPoint::FrameLinesPrinted:
        reached = readFrameLines(child.out, 100);
        // Time to fill the pipe again and block on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        break;
    }
    int status = 0;
    EXPECT_TRUE(reached) << what;
    EXPECT_EQ(::waitpid(child.pid, &status, WNOHANG), 0) << what << ": the run ended by itself";
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    ::close(child.out);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << what;
    EXPECT_EQ(readFile(child.errPath), Bytes{}) << what;

    std::string why;
    EXPECT_TRUE(recording.inputsUnchanged(dir.path, why)) << what << ": " << why;
    // Killed in its scan: nothing may stand under a final name yet.
    const std::vector<std::string> leftovers = namesBesides(dir.path, inputs);
    EXPECT_FALSE(leftovers.empty()) << what << ": no temporary output was left";
    for (const std::string& name : leftovers) {
      EXPECT_NE(name, "r_" + recording.movieName) << what;
      EXPECT_NE(name, "r_" + recording.firstWavName) << what;
      EXPECT_NE(name, "r_" + recording.secondWavName) << what;
    }

    const ToolRun again = runTool(dir.path);
    EXPECT_EQ(again.exitCode, 0) << what;
    EXPECT_EQ(again.out, recording.successOutput()) << what;
    EXPECT_EQ(again.err, "") << what;
    EXPECT_TRUE(recording.inputsUnchanged(dir.path, why)) << what << ": " << why;
    std::vector<Bytes> samples;
    EXPECT_TRUE(readMovieSamples(dir.file("r_" + recording.movieName), samples, why))
        << what << ": " << why;
    EXPECT_TRUE(samples == recording.frames) << what << ": " << samples.size() << " samples";
    EXPECT_EQ(readFile(dir.file("r_" + recording.firstWavName)), repairedWav(recording.firstWav))
        << what;
    EXPECT_EQ(readFile(dir.file("r_" + recording.secondWavName)), repairedWav(recording.secondWav))
        << what;
    // The killed run's temporary file was replaced, not kept beside the outputs.
    std::vector<std::string> expected = inputs;
    for (const std::string* name :
         {&recording.movieName, &recording.firstWavName, &recording.secondWavName}) {
      expected.push_back("r_" + *name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listNames(dir.path), expected) << what;
  }
}

}  // namespace
