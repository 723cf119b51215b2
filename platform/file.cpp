// The portable core of the file door: argument checks, the loops that carry
// on after partial transfers, the fault hooks, and the outcome a caller
// sees, over the calls each platform provides (file_system.h).
#include <algorithm>
#include <cstdlib>

#include "platform/file.h"
#include "platform/file_system.h"

namespace sys = system_calls;

namespace {

// Large single transfers are split so that no platform limit on one call matters.
constexpr size_t kMaxTransfer = size_t{1} << 30;
// Blocks larger than this are not worth placing samples by.
constexpr uint64_t kLargestSharedBlock = 64 * 1024;

// Tests that drive the built tool take the buffered road with this set; the
// tool's users have no reason to.
bool gKernelCopyAllowed = std::getenv("PRORESCUE_TEST_BUFFERED_ROAD") == nullptr;

bool fitsOffset(uint64_t offset, uint64_t count = 0) {
  const uint64_t largest = static_cast<uint64_t>(INT64_MAX);
  return offset <= largest && count <= largest - offset;
}

}  // namespace

File::~File() {
  if (fd >= 0) sys::closeFile(fd);
}

File::File(File&& other) noexcept : fd(other.fd) {
  other.fd = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) sys::closeFile(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

bool File::openForReading(const std::string& path, bool* failed) {
  bool storageFailed = false;
  if (fd < 0 && !path.empty()) {
    if (faultHits(FaultOp::Open)) {
      storageFailed = true;
    } else {
      fd = sys::openRegularForReading(path, storageFailed);
    }
  }
  if (failed != nullptr) *failed = fd < 0 && storageFailed;
  return fd >= 0;
}

CreateOutcome File::createNew(const std::string& path) {
  if (fd >= 0 || path.empty()) return CreateOutcome::Refused;
  if (faultHits(FaultOp::Create)) return CreateOutcome::Failed;
  int created = sys::kNoFile;
  const CreateOutcome outcome = sys::createExclusive(path, created);
  if (outcome == CreateOutcome::Created) fd = created;
  return outcome;
}

bool File::seek(uint64_t position) {
  if (fd < 0 || !fitsOffset(position)) return false;
  if (faultHits(FaultOp::Seek)) return false;
  return sys::seekTo(fd, position);
}

bool File::seekToEnd(uint64_t& position) {
  if (fd < 0 || faultHits(FaultOp::Seek)) return false;
  return sys::seekToEnd(fd, position);
}

ReadResult File::read(void* into, size_t count) {
  ReadResult result;
  if (fd < 0 || faultHits(FaultOp::Read)) {
    result.failed = true;
    return result;
  }
  auto* at = static_cast<uint8_t*>(into);
  while (result.count < count) {
    const size_t want = std::min(count - result.count, kMaxTransfer);
    const int64_t got = sys::readSome(fd, at + result.count, want);
    if (got < 0) {
      result.failed = true;
      return result;
    }
    if (got == 0) break;
    result.count += static_cast<size_t>(got);
  }
  return result;
}

bool File::writeAt(uint64_t offset, const void* data, size_t count) {
  if (fd < 0 || !fitsOffset(offset, count)) return false;
  if (faultHits(FaultOp::Write)) return false;
  const auto* at = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    const size_t want = std::min(count - done, kMaxTransfer);
    const int64_t put = sys::writeSomeAt(fd, at + done, want, offset + done);
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool File::truncate(uint64_t length) {
  if (fd < 0 || !fitsOffset(length)) return false;
  if (faultHits(FaultOp::Truncate)) return false;
  return sys::setLength(fd, length);
}

bool File::flush() {
  if (fd < 0 || faultHits(FaultOp::Flush)) return false;
  return sys::flushToStorage(fd);
}

uint32_t File::blockSize() const {
  if (fd < 0) return 0;
  const uint64_t size = sys::blockSizeOf(fd);
  const bool powerOfTwo = size != 0 && (size & (size - 1)) == 0;
  return powerOfTwo && size <= kLargestSharedBlock ? static_cast<uint32_t>(size) : 0;
}

bool File::sharesBlocks() const {
  return fd >= 0 && sys::sharesBlocks(fd);
}

bool File::close() {
  if (fd < 0) return false;
  const int closing = fd;
  fd = -1;
  const bool injected = faultHits(FaultOp::Close);
  const bool closed = sys::closeFile(closing);
  return closed && !injected;
}

void setKernelCopyAllowed(bool allowed) {
  gKernelCopyAllowed = allowed;
}

// With a block size, the bytes before the target's next block boundary go
// in a call of their own, so that the rest starts on a boundary in both files
// (when the caller placed them alike) and a copy-on-write file system can
// share those blocks instead of copying them. Elsewhere that split would only
// cost calls.
CopyOutcome copyBetween(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                        uint64_t count, uint32_t block) {
  if (!source.isOpen() || !target.isOpen() || !gKernelCopyAllowed) return CopyOutcome::Unsupported;
  if (!fitsOffset(sourceOffset, count) || !fitsOffset(targetOffset, count)) {
    return CopyOutcome::Unsupported;
  }
  if (faultHits(FaultOp::Copy)) return CopyOutcome::Failed;
  uint64_t done = 0;
  while (done < count) {
    uint64_t want = std::min<uint64_t>(count - done, kMaxTransfer);
    const uint64_t intoBlock = block == 0 ? 0 : (targetOffset + done) % block;
    if (intoBlock != 0) want = std::min<uint64_t>(want, block - intoBlock);
    bool refused = false;
    const int64_t copied = sys::copySome(source.fd, sourceOffset + done, target.fd,
                                         targetOffset + done, static_cast<size_t>(want), refused);
    if (copied < 0) return done == 0 && refused ? CopyOutcome::Unsupported : CopyOutcome::Failed;
    if (copied == 0) return CopyOutcome::Failed;  // the source ended before count bytes
    done += static_cast<uint64_t>(copied);
  }
  return CopyOutcome::Copied;
}

bool renameReplacing(const std::string& from, const std::string& to) {
  if (faultHits(FaultOp::Rename)) return false;
  return sys::renameOver(from, to);
}

bool forEachFolderEntry(const std::string& folder,
                        const std::function<void(const std::string&)>& visit) {
  if (faultHits(FaultOp::List)) return false;
  return sys::listFolder(folder, visit);
}

bool flushFolder(const std::string& folder) {
  if (faultHits(FaultOp::Flush)) return false;
  return sys::flushFolderEntries(folder);
}
