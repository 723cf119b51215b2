// Shared test fixtures: temporary folders, whole-file reads and writes, the
// one runner of child processes (the built tool, or test code under a
// file-size limit), captured stdout, and crafted "0.mt" files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/file.h"

namespace testing_support {

// A fresh folder under the system temp folder, removed with its contents at
// the end of the test (kept when PRORESCUE_KEEP_TEMP is set, for debugging).
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

void writeFile(const std::string& path, const Bytes& bytes);
void writeText(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);                       // lstat: a dangling link exists too
std::vector<std::string> listNames(const std::string& folder);  // sorted, without . and ..

struct ToolOptions {
  uint64_t fileSizeLimit = 0;  // bytes, 0 for none; SIGXFSZ is ignored in the child
  // Drops root to the "nobody" user, so that folder permissions bite in the child.
  bool asUnprivileged = false;
  // The child is killed by SIGALRM (exit code 142) after this long; 0 for no limit.
  unsigned timeoutSeconds = 0;
};
struct ToolRun {
  std::string out;  // the tool's stdout, byte for byte
  std::string err;  // must stay empty: the tool never writes to stderr
  int exitCode = -1;
};
// Runs the built prorescue with folder as its working folder.
ToolRun runTool(const std::string& folder, const ToolOptions& options = {});

// Runs body in a child process with folder (when not empty) as its working
// folder and its stdout and stderr kept apart; body's result is the child's
// exit code. Every process the tests start goes through here, so a limit or
// a user that cannot be put in place is a test failure, never a child that
// quietly runs without it.
ToolRun runInChild(const std::string& folder, const ToolOptions& options,
                   const std::function<int()>& body);

// Runs body in a child whose files cannot grow past limit bytes (SIGXFSZ
// ignored, so a write past it fails with EFBIG, as on a full disk); returns
// body's result, or -1 when the child died, and what it printed.
int runWithFileSizeLimit(uint64_t limit, const std::function<int()>& body, std::string& printed);

// Runs a shell command; returns its exit status and fills out with stdout.
int runShell(const std::string& command, std::string* out = nullptr);
std::string shellQuote(const std::string& text);

// Captures what this process writes to stdout (stdio and fd 1) while alive.
struct CapturedStdout {
  CapturedStdout();
  ~CapturedStdout();
  std::string finish();  // stops capturing and returns the text
  int savedFd = -1;
  std::string tempPath;
  bool done = false;
};

// Runs fn with the working folder switched to folder.
struct ScopedChdir {
  explicit ScopedChdir(const std::string& folder);
  ~ScopedChdir();
  std::string previous;
};

// --- "0.mt" crafting ---
Bytes metaSection(int32_t type, uint32_t length, const Bytes& payload);
Bytes metaSection(int32_t type, const Bytes& payload);  // length = payload size
struct ShotValues {
  int32_t width = 1920;
  int32_t height = 1080;
  float reportedRate = 25.0f;
  float frameRate = 25.0f;
  int8_t codecId = 18;
  uint8_t flags = 0;
};
Bytes shotPayload(const ShotValues& values);
Bytes revisionPayload(int32_t revision);
// A revision 4 section, a shot section and a FRAMS section: what a camera writes.
Bytes goodMeta(const ShotValues& values = {}, int32_t maxFrame = 100);

// A fault plan in force for the scope's life.
struct FaultPlanScope {
  explicit FaultPlanScope(const FaultPlan& plan) { setFaultPlan(plan); }
  ~FaultPlanScope() { clearFaultPlan(); }
  FaultPlanScope(const FaultPlanScope&) = delete;
  FaultPlanScope& operator=(const FaultPlanScope&) = delete;
};

void appendBytes(Bytes& to, const Bytes& from);
void put32le(Bytes& out, uint32_t value);

}  // namespace testing_support
