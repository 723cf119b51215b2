// POSIX side of the file door: descriptors, 64-bit offsets, and reads and
// writes that carry on after partial transfers and interrupted calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/file.h"

namespace {
// Large single transfers are split so that no platform limit on one call matters.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// Reasons a create is turned away by what stands at the name or by the
// folder, as opposed to the storage failing under it.
bool isRefusal(int error) {
  switch (error) {
    case EEXIST:
    case EISDIR:
    case ENAMETOOLONG:
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOTDIR:
    case ENOENT:
    case ELOOP:
    case EINVAL:
      return true;
    default:
      return false;
  }
}

// The one place that knows what "on the disk" takes on each system.
bool flushDescriptor(int descriptor) {
#ifdef __APPLE__
  // macOS's fsync leaves the data in the drive's own cache; F_FULLFSYNC
  // empties it. File systems that do not support it (some network and FAT
  // drivers) refuse it, and there fsync is the strongest flush there is.
  if (::fcntl(descriptor, F_FULLFSYNC) == 0) return true;
#endif
  for (;;) {
    if (::fsync(descriptor) == 0) return true;
    if (errno != EINTR) return false;
  }
}

constexpr uint64_t kLargestSharedBlock = 64 * 1024;

// Tests that drive the built tool take the buffered road with this set; the
// tool's users have no reason to.
bool gKernelCopyAllowed = std::getenv("PRORESCUE_TEST_BUFFERED_ROAD") == nullptr;

// The answers that mean "not here": no such call, files on two file systems
// the kernel will not copy between, or a file system without the support.
bool kernelCopyRefused(int error) {
  return error == ENOSYS || error == EXDEV || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EINVAL;
}

// Some FUSE and exFAT drivers cannot flush a folder and say so; that is
// not a failure of the storage.
bool cannotFlushFolders(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == EBADF;
}
}  // namespace

File::~File() {
  if (fd >= 0) ::close(fd);
}

File::File(File&& other) noexcept : fd(other.fd) {
  other.fd = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

bool File::openForReading(const std::string& path) {
  if (fd >= 0) return false;
  // Non-blocking so that a FIFO cannot stall the open; cleared again below.
  int opened = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (opened < 0) return false;
  struct stat info;
  if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(opened);
    return false;
  }
  int flags = ::fcntl(opened, F_GETFL);
  if (flags >= 0) ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK);
  fd = opened;
  return true;
}

CreateOutcome File::createNew(const std::string& path) {
  if (fd >= 0) return CreateOutcome::Refused;
  if (faultHits(FaultOp::Create)) {
    errno = EIO;
    return CreateOutcome::Failed;
  }
  int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (opened < 0) return isRefusal(errno) ? CreateOutcome::Refused : CreateOutcome::Failed;
  fd = opened;
  return CreateOutcome::Created;
}

bool File::seek(uint64_t position) {
  if (fd < 0 || position > static_cast<uint64_t>(INT64_MAX)) return false;
  if (faultHits(FaultOp::Seek)) return false;
  return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) != static_cast<off_t>(-1);
}

bool File::seekToEnd(uint64_t& position) {
  if (fd < 0 || faultHits(FaultOp::Seek)) return false;
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return false;
  position = static_cast<uint64_t>(end);
  return true;
}

ReadResult File::read(void* into, size_t count) {
  ReadResult result;
  if (fd < 0) {
    result.failed = true;
    return result;
  }
  if (faultHits(FaultOp::Read)) {
    errno = EIO;
    result.failed = true;
    return result;
  }
  auto* at = static_cast<uint8_t*>(into);
  while (result.count < count) {
    size_t want = count - result.count;
    if (want > kMaxTransfer) want = kMaxTransfer;
    ssize_t got = ::read(fd, at + result.count, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      result.failed = true;
      return result;
    }
    if (got == 0) break;
    result.count += static_cast<size_t>(got);
  }
  return result;
}

bool File::writeAt(uint64_t offset, const void* data, size_t count) {
  if (fd < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (faultHits(FaultOp::Write)) {
    errno = EIO;
    return false;
  }
  const auto* at = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    size_t want = count - done;
    if (want > kMaxTransfer) want = kMaxTransfer;
    ssize_t put = ::pwrite(fd, at + done, want, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool File::truncate(uint64_t length) {
  if (fd < 0 || length > static_cast<uint64_t>(INT64_MAX)) return false;
  if (faultHits(FaultOp::Truncate)) return false;
  return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

uint32_t File::blockSize() const {
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0 || info.st_blksize <= 0) return 0;
  const uint64_t size = static_cast<uint64_t>(info.st_blksize);
  const bool powerOfTwo = (size & (size - 1)) == 0;
  return powerOfTwo && size <= kLargestSharedBlock ? static_cast<uint32_t>(size) : 0;
}

bool File::flush() {
  if (fd < 0) return false;
  if (faultHits(FaultOp::Flush)) return false;
  return flushDescriptor(fd);
}

bool File::close() {
  if (fd < 0) return false;
  int closing = fd;
  fd = -1;
  bool injected = faultHits(FaultOp::Close);
  bool closed = ::close(closing) == 0;
  return closed && !injected;
}

void setKernelCopyAllowed(bool allowed) {
  gKernelCopyAllowed = allowed;
}

#ifdef __linux__
// The bytes before the target's next block boundary go in a call of their
// own, so that the rest starts on a boundary in both files (when the caller
// placed them alike) and a copy-on-write file system can share those blocks
// instead of copying them.
CopyOutcome copyBetween(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                        uint64_t count) {
  if (!source.isOpen() || !target.isOpen() || !gKernelCopyAllowed) return CopyOutcome::Unsupported;
  if (sourceOffset > static_cast<uint64_t>(INT64_MAX) - count ||
      targetOffset > static_cast<uint64_t>(INT64_MAX) - count) {
    return CopyOutcome::Unsupported;
  }
  if (faultHits(FaultOp::Copy)) return CopyOutcome::Failed;
  const uint32_t block = target.blockSize();
  uint64_t done = 0;
  while (done < count) {
    uint64_t want = count - done;
    if (want > kMaxTransfer) want = kMaxTransfer;
    const uint64_t intoBlock = block == 0 ? 0 : (targetOffset + done) % block;
    if (intoBlock != 0 && want > block - intoBlock) want = block - intoBlock;
    loff_t from = static_cast<loff_t>(sourceOffset + done);
    loff_t to = static_cast<loff_t>(targetOffset + done);
    const ssize_t copied =
        ::copy_file_range(source.fd, &from, target.fd, &to, static_cast<size_t>(want), 0);
    if (copied < 0) {
      if (errno == EINTR) continue;
      if (done == 0 && kernelCopyRefused(errno)) return CopyOutcome::Unsupported;
      return CopyOutcome::Failed;
    }
    if (copied == 0) return CopyOutcome::Failed;  // the source ended before count bytes
    done += static_cast<uint64_t>(copied);
  }
  return CopyOutcome::Copied;
}
#else
// Other systems have no kernel copy between arbitrary files that we use; the
// frames travel through the tool's buffer there.
CopyOutcome copyBetween(File&, uint64_t, File&, uint64_t, uint64_t) {
  return CopyOutcome::Unsupported;
}
#endif

bool renameReplacing(const std::string& from, const std::string& to) {
  if (faultHits(FaultOp::Rename)) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool flushFolder(const std::string& folder) {
  if (faultHits(FaultOp::Flush)) return false;
  const std::string path = folder.empty() ? "." : folder;
  const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return cannotFlushFolders(errno);
  const bool flushed = flushDescriptor(opened) || cannotFlushFolders(errno);
  ::close(opened);
  return flushed;
}

EntryInfo inspectEntry(const std::string& path) {
  EntryInfo entry;
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return entry;
  entry.exists = true;
  entry.isFolder = S_ISDIR(info.st_mode);
  entry.isReadOnly = S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0;
  return entry;
}

bool entryNameFits(const std::string& folder, const std::string& name) {
  long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (limit <= 0) limit = NAME_MAX;
  return !name.empty() && name.size() <= static_cast<size_t>(limit);
}

bool forEachFolderEntry(const std::string& folder,
                        const std::function<void(const std::string&)>& visit) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = ::readdir(listing)) visit(entry->d_name);
  ::closedir(listing);
  return true;
}

std::string currentFolder() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() > (size_t{1} << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
}
