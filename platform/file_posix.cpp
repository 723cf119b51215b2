// POSIX calls beneath the file door: descriptors with 64-bit offsets, the
// flush that reaches the storage on each system, and the kernel's copy.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/file.h"
#include "platform/file_system.h"

namespace {

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

// Some FUSE and exFAT drivers cannot flush a folder and say so; that is
// not a failure of the storage.
bool cannotFlushFolders(int error) {
  return error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == EBADF;
}

}  // namespace

namespace system_calls {

int openRegularForReading(const std::string& path, bool& failed) {
  // Non-blocking so that a FIFO cannot stall the open; cleared again below.
  const int opened = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (opened < 0) {
    failed = !isRefusal(errno) && errno != ENXIO && errno != ENODEV;
    return kNoFile;
  }
  struct stat info;
  if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(opened);
    return kNoFile;
  }
  const int flags = ::fcntl(opened, F_GETFL);
  if (flags >= 0) ::fcntl(opened, F_SETFL, flags & ~O_NONBLOCK);
  return opened;
}

CreateOutcome createExclusive(const std::string& path, int& fd) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) return CreateOutcome::Created;
  return isRefusal(errno) ? CreateOutcome::Refused : CreateOutcome::Failed;
}

int64_t readSome(int fd, void* into, size_t count) {
  for (;;) {
    const ssize_t got = ::read(fd, into, count);
    if (got >= 0 || errno != EINTR) return got;
  }
}

int64_t writeSomeAt(int fd, const void* data, size_t count, uint64_t offset) {
  for (;;) {
    const ssize_t put = ::pwrite(fd, data, count, static_cast<off_t>(offset));
    if (put >= 0 || errno != EINTR) return put;
  }
}

bool seekTo(int fd, uint64_t position) {
  return ::lseek(fd, static_cast<off_t>(position), SEEK_SET) != static_cast<off_t>(-1);
}

bool seekToEnd(int fd, uint64_t& position) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return false;
  position = static_cast<uint64_t>(end);
  return true;
}

bool setLength(int fd, uint64_t length) {
  return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

bool flushToStorage(int fd) {
  return flushDescriptor(fd);
}

bool closeFile(int fd) {
  return ::close(fd) == 0;
}

uint64_t blockSizeOf(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || info.st_blksize <= 0) return 0;
  return static_cast<uint64_t>(info.st_blksize);
}

#ifdef __linux__
bool sharesBlocks(int fd) {
  // Magic numbers from linux/magic.h and the file systems' own headers.
  constexpr uint64_t kSharing[] = {
      0x58465342,  // XFS (reflink)
      0x9123683E,  // btrfs
      0x2FC12FC1,  // OpenZFS 2.2 (block cloning)
      0xCA451A4E,  // bcachefs
      0x7461636F,  // OCFS2 (reflink)
      0x6969,      // NFS (server-side copy)
      0xFE534D42,  // SMB2/3 (server-side copy)
      0xFF534D42,  // CIFS
  };
  struct statfs info;
  if (::fstatfs(fd, &info) != 0) return false;
  const uint64_t type = static_cast<uint64_t>(info.f_type) & 0xFFFFFFFFu;
  for (const uint64_t sharing : kSharing) {
    if (type == sharing) return true;
  }
  return false;
}

int64_t copySome(int from, uint64_t fromOffset, int to, uint64_t toOffset, size_t count,
                 bool& refused) {
  loff_t in = static_cast<loff_t>(fromOffset);
  loff_t out = static_cast<loff_t>(toOffset);
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, &in, to, &out, count, 0);
    if (copied >= 0) return copied;
    if (errno == EINTR) continue;
    // "Not here": no such call, two file systems the kernel will not copy
    // between, or a file system without the support.
    refused = errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == ENOTSUP ||
              errno == EINVAL;
    return -1;
  }
}
#else
// Other systems have no kernel copy between ranges of two files that we use;
// frames travel through the tool's buffer there.
bool sharesBlocks(int) {
  return false;
}

int64_t copySome(int, uint64_t, int, uint64_t, size_t, bool& refused) {
  refused = true;
  return -1;
}
#endif

bool renameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool flushFolderEntries(const std::string& folder) {
  const std::string path = folder.empty() ? "." : folder;
  const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (opened < 0) return cannotFlushFolders(errno);
  const bool flushed = flushDescriptor(opened) || cannotFlushFolders(errno);
  ::close(opened);
  return flushed;
}

bool listFolder(const std::string& folder, const std::function<void(const std::string&)>& visit) {
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = ::readdir(listing)) visit(entry->d_name);
  ::closedir(listing);
  return true;
}

}  // namespace system_calls

bool removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

std::string currentFolder() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() > (size_t{1} << 20)) return ".";
    buffer.resize(buffer.size() * 2);
  }
}
