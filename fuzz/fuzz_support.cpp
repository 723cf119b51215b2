// Scratch folder, silenced stdout and plain POSIX file helpers for the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace fuzz_support {

namespace {

std::string gScratch;

void removeScratch() {
  if (gScratch.empty()) return;
  DIR* listing = ::opendir(gScratch.c_str());
  if (listing != nullptr) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      ::unlink((gScratch + "/" + name).c_str());
    }
    ::closedir(listing);
  }
  ::rmdir(gScratch.c_str());
}

}  // namespace

const std::string& makeScratchFolder() {
  if (!gScratch.empty()) return gScratch;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/prorescue-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) invariantBroken("cannot create a scratch folder");
  gScratch = buffer.data();
  std::atexit(removeScratch);
  return gScratch;
}

InScratchFolder::InScratchFolder() : previous(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (previous < 0 || ::chdir(makeScratchFolder().c_str()) != 0) {
    invariantBroken("cannot enter the scratch folder");
  }
}

InScratchFolder::~InScratchFolder() {
  if (::fchdir(previous) != 0) invariantBroken("cannot leave the scratch folder");
  ::close(previous);
}

void silenceStdout() {
  std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null < 0 || ::dup2(null, 1) < 0) invariantBroken("cannot silence stdout");
  ::close(null);
}

bool writeWhole(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  return ::close(fd) == 0 && done == size;
}

bool readWhole(const std::string& path, std::vector<uint8_t>& into) {
  into.clear();
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    into.insert(into.end(), chunk, chunk + got);
  }
  ::close(fd);
  return true;
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

void removeAllBut(const std::vector<std::string>& keep) {
  DIR* listing = ::opendir(".");
  if (listing == nullptr) invariantBroken("cannot list the scratch folder");
  std::vector<std::string> doomed;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool kept = false;
    for (const std::string& k : keep) kept = kept || k == name;
    if (!kept) doomed.push_back(name);
  }
  ::closedir(listing);
  for (const std::string& name : doomed) ::unlink(name.c_str());
}

void invariantBroken(const char* what) {
  std::fprintf(stderr, "prorescue fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace fuzz_support
