// Shared test fixtures; see support.h.
#include "tests/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/tool_command.h"

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/prorescue-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) std::abort();
  path = buffer.data();
}

TempDir::~TempDir() {
  if (std::getenv("PRORESCUE_KEEP_TEMP") != nullptr) return;
  // Folders made read-only by a test are opened up again first.
  runShell("chmod -R u+rwx " + shellQuote(path) + " 2>/dev/null; rm -rf " + shellQuote(path));
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

void writeText(const std::string& path, const std::string& text) {
  writeFile(path, Bytes(text.begin(), text.end()));
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
std::string readAll(int fd) {
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}
}  // namespace

namespace {

// Tells the parent why the child could not be set up, then ends the child.
[[noreturn]] void setupFailed(int channel, const char* what) {
  const std::string text = std::string(what) + ": " + std::strerror(errno);
  ssize_t written = ::write(channel, text.data(), text.size());
  (void)written;
  ::_exit(127);
}

// In the child, before body runs; anything that cannot be put in place ends it.
void setUpChild(int channel, const std::string& folder, const ToolOptions& options,
                const std::string& outPath, const std::string& errPath) {
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int in = ::open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0) setupFailed(channel, "cannot open the child's streams");
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
    setupFailed(channel, "cannot enter the working folder");
  }
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) {
    setupFailed(channel, "cannot redirect the child's streams");
  }
  if (options.fileSizeLimit > 0) {
    if (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) setupFailed(channel, "cannot ignore SIGXFSZ");
    struct rlimit limit;
    limit.rlim_cur = options.fileSizeLimit;
    limit.rlim_max = options.fileSizeLimit;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      setupFailed(channel, "cannot set the file size limit");
    }
  }
  if (options.asUnprivileged && ::geteuid() == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      setupFailed(channel, "cannot become the unprivileged user");
    }
  }
  // An alarm outlives exec, so a tool that hangs is ended without help.
  if (options.timeoutSeconds > 0) ::alarm(options.timeoutSeconds);
}

}  // namespace

ToolRun runInChild(const std::string& folder, const ToolOptions& options,
                   const std::function<int()>& body) {
  TempDir scratch;
  const std::string outPath = scratch.file("stdout");
  const std::string errPath = scratch.file("stderr");
  // Closed by a successful exec, so only a failed setup writes into it.
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot make a pipe for the child: " << std::strerror(errno);
    return ToolRun{};
  }
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    setUpChild(channel[1], folder, options, outPath, errPath);
    const int result = body();
    std::fflush(stdout);
    ::_exit(result);
  }
  ::close(channel[1]);
  ToolRun run;
  if (child < 0) {
    ADD_FAILURE() << "cannot start a child: " << std::strerror(errno);
    ::close(channel[0]);
    return run;
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string setupError = readAll(channel[0]);
  ::close(channel[0]);
  if (!setupError.empty()) ADD_FAILURE() << "the child could not be set up: " << setupError;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  Bytes out = readFile(outPath);
  Bytes err = readFile(errPath);
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  return run;
}

ToolRun runTool(const std::string& folder, const ToolOptions& options) {
  TempDir scratch;
  ToolCommand command = toolCommand();
  if (options.asUnprivileged && ::geteuid() == 0) {
    // The build tree may sit below a folder only root can enter, so the
    // unprivileged child runs a copy from a folder it can reach.
    const std::string copy = scratch.file("prorescue");
    if (runShell("cp " + shellQuote(command.binary) + " " + shellQuote(copy)) != 0 ||
        ::chmod(scratch.path.c_str(), 0755) != 0 || ::chmod(copy.c_str(), 0755) != 0) {
      ADD_FAILURE() << "cannot copy the tool where the unprivileged user can run it";
      return ToolRun{};
    }
    command.binary = copy;
  }
  return runInChild(folder, options, [&command] {
    execTool(command);
    return 127;
  });
}

int runWithFileSizeLimit(uint64_t limit, const std::function<int()>& body, std::string& printed) {
  ToolOptions options;
  options.fileSizeLimit = limit;
  const ToolRun run = runInChild("", options, body);
  printed = run.out;
  return run.exitCode < 128 ? run.exitCode : -1;
}

int runShell(const std::string& command, std::string* out) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text = readAll(::fileno(pipe));
  int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

CapturedStdout::CapturedStdout() {
  std::fflush(stdout);
  char pattern[] = "/tmp/prorescue-stdout-XXXXXX";
  int fd = ::mkstemp(pattern);
  if (fd < 0) std::abort();
  tempPath = pattern;
  savedFd = ::dup(1);
  ::dup2(fd, 1);
  ::close(fd);
}

CapturedStdout::~CapturedStdout() {
  finish();
}

std::string CapturedStdout::finish() {
  if (done) return {};
  done = true;
  std::fflush(stdout);
  ::dup2(savedFd, 1);
  ::close(savedFd);
  Bytes bytes = readFile(tempPath);
  ::unlink(tempPath.c_str());
  return std::string(bytes.begin(), bytes.end());
}

ScopedChdir::ScopedChdir(const std::string& folder) {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) != nullptr) previous = buffer;
  if (::chdir(folder.c_str()) != 0) std::abort();
}

ScopedChdir::~ScopedChdir() {
  if (!previous.empty() && ::chdir(previous.c_str()) != 0) std::abort();
}

void appendBytes(Bytes& to, const Bytes& from) {
  to.insert(to.end(), from.begin(), from.end());
}

void put32le(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

Bytes metaSection(int32_t type, uint32_t length, const Bytes& payload) {
  Bytes section;
  put32le(section, static_cast<uint32_t>(type));
  put32le(section, length);
  appendBytes(section, payload);
  return section;
}

Bytes metaSection(int32_t type, const Bytes& payload) {
  return metaSection(type, static_cast<uint32_t>(payload.size()), payload);
}

Bytes shotPayload(const ShotValues& values) {
  Bytes shot(673);
  // Filler that differs from zero, so that a reader which loses bytes shows it.
  for (size_t i = 0; i < shot.size(); ++i) shot[i] = static_cast<uint8_t>(i * 7 + 3);
  auto place32 = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) shot[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  auto placeFloat = [&](size_t at, float value) {
    uint32_t raw;
    std::memcpy(&raw, &value, sizeof raw);
    place32(at, raw);
  };
  place32(0, static_cast<uint32_t>(values.width));
  place32(4, static_cast<uint32_t>(values.height));
  placeFloat(180, values.reportedRate);
  placeFloat(184, values.frameRate);
  shot[316] = static_cast<uint8_t>(values.codecId);
  shot[466] = values.flags;
  return shot;
}

Bytes revisionPayload(int32_t revision) {
  Bytes payload = {1, 2, 3, 4};
  put32le(payload, static_cast<uint32_t>(revision));
  appendBytes(payload, {9, 10, 11, 12});
  return payload;
}

Bytes goodMeta(const ShotValues& values, int32_t maxFrame) {
  Bytes meta = metaSection(16, revisionPayload(4));
  appendBytes(meta, metaSection(18, shotPayload(values)));
  Bytes frames;
  put32le(frames, static_cast<uint32_t>(maxFrame));
  appendBytes(meta, metaSection(21, frames));
  return meta;
}

}  // namespace testing_support
