// The one narrow door to the file system. Every open, read, write, seek,
// rename and close of the tool goes through here, so that 64-bit positions,
// binary mode, short reads and injected faults are handled in one place:
// file.cpp, over the few calls each platform provides (file_system.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#ifndef _WIN32
#include <sys/types.h>
// A recording runs to hundreds of gigabytes: a build whose file offsets wrap
// at 2 GiB would misplace every frame past that point.
static_assert(sizeof(off_t) >= 8, "file offsets must be 64-bit: build with _FILE_OFFSET_BITS=64");
#endif

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
constexpr const char* kFolderSeparators = "\\/";
#else
constexpr char kPathSeparator = '/';
constexpr const char* kFolderSeparators = "/";
#endif

struct ReadResult {
  size_t count = 0;     // bytes delivered; fewer than asked means the file ended or failed
  bool failed = false;  // an I/O error, as opposed to the plain end of the file
};

enum class CreateOutcome { Created, Refused, Failed };
enum class CopyOutcome { Copied, Unsupported, Failed };

struct File {
  File() = default;
  ~File();  // closes a descriptor still open, ignoring the result
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  // Regular files only: a folder, FIFO or device is refused rather than
  // read, so an odd entry can never block or be taken for footage.
  // failed, when given, tells an open the storage failed (an I/O error) from
  // one refused because the file is missing, not a regular file or not ours
  // to read.
  bool openForReading(const std::string& path, bool* failed = nullptr);
  // Creates a file that must not exist yet, for writing; never follows a link.
  // Something standing in the way (a folder, a name the folder cannot hold,
  // no permission) is a refusal; a full disk or an I/O error is a failure.
  CreateOutcome createNew(const std::string& path);
  bool isOpen() const { return fd >= 0; }

  bool seek(uint64_t position);
  bool seekToEnd(uint64_t& position);
  // Keeps reading until count bytes arrived, the file ended, or an error.
  ReadResult read(void* into, size_t count);
  // All or nothing from the caller's view: false unless every byte was written.
  bool writeAt(uint64_t offset, const void* data, size_t count);
  bool truncate(uint64_t length);
  // Returns once the bytes are on the storage itself, past every cache the
  // platform lets us reach.
  bool flush();
  // The file system's block size for this file when it is a power of two of
  // at most 64 KiB, else 0: a sample placed to match it can share blocks.
  uint32_t blockSize() const;
  // Whether the file system can share blocks with another file (XFS, btrfs,
  // OpenZFS) or copy them on its server (NFS, SMB), where a kernel copy of
  // whole blocks moves no bytes.
  bool sharesBlocks() const;
  // Closing can fail (delayed write errors on network and full disks), so it is reported.
  bool close();

 private:
  friend CopyOutcome copyBetween(File& source, uint64_t sourceOffset, File& target,
                                 uint64_t targetOffset, uint64_t count, uint32_t blockSize);
  int fd = -1;
};

// Copying bytes between two open files inside the kernel, without bringing
// them into the tool's memory; on copy-on-write file systems whole blocks are
// shared rather than copied. Unsupported: this system, these two files or
// this file system cannot do it (nothing was copied); Failed: an I/O error or
// a source that ended early, after which the target may hold some of the bytes.
// blockSize is the target's where it shares blocks (File::blockSize and
// File::sharesBlocks, asked once by the caller), else 0: the bytes before the
// next block boundary then go in a call of their own, so that the rest can
// be shared.
CopyOutcome copyBetween(File& source, uint64_t sourceOffset, File& target, uint64_t targetOffset,
                        uint64_t count, uint32_t blockSize);
// Test-only: makes every kernel copy answer Unsupported, as on systems without one.
void setKernelCopyAllowed(bool allowed);

bool renameReplacing(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
bool isFolder(const std::string& path);
// Makes the folder's entries (a rename into it) durable. A file system that
// cannot flush a folder at all is not an error; an I/O error is.
bool flushFolder(const std::string& folder);

// What stands at a name, without following a link there.
struct EntryInfo {
  bool exists = false;
  bool isFolder = false;
  bool isReadOnly = false;  // a plain file its owner may not write
};
EntryInfo inspectEntry(const std::string& path);
// Whether name can be one entry of folder (its length in the folder's terms).
bool entryNameFits(const std::string& folder, const std::string& name);

struct PathParts {
  std::string folder;  // with its trailing separator, or empty for a bare name
  std::string name;
};
PathParts splitPath(const std::string& path);

// Names the recording-folder listing never takes as inputs: those whose
// second character is '_', the form of the tool's outputs and temporaries.
bool isIgnoredByListing(const std::string& name);
// Calls visit for every entry, in the order the listing yields them.
// False only when the folder cannot be opened for listing.
bool forEachFolderEntry(const std::string& folder,
                        const std::function<void(const std::string&)>& visit);
// The absolute path of the working folder, or "." when it cannot be had.
std::string currentFolder();

// Fault injection for tests: the nth operation of a kind fails, once or from
// then on. Counting starts when a plan is set.
enum class FaultOp { Read, Write, Seek, Rename, Close, Create, Truncate, Flush, Copy, Open, List };
constexpr FaultOp kFaultOps[] = {FaultOp::Read,     FaultOp::Write, FaultOp::Seek,
                                 FaultOp::Rename,   FaultOp::Close, FaultOp::Create,
                                 FaultOp::Truncate, FaultOp::Flush, FaultOp::Copy,
                                 FaultOp::Open,     FaultOp::List};
constexpr size_t kFaultOpCount = sizeof kFaultOps / sizeof kFaultOps[0];
struct FaultPlan {
  FaultOp op = FaultOp::Write;
  uint64_t nth = 0;  // 1 is the first operation of that kind; 0 disables the plan
  bool persistent = false;
};
// also, when given, is a second plan in force at the same time, for a
// failure whose recovery fails too.
void setFaultPlan(const FaultPlan& plan, const FaultPlan& also = FaultPlan{});
void clearFaultPlan();
// True when the plan says this operation must fail; counts the operation.
bool faultHits(FaultOp op);
// How many operations of a kind were counted since the plan was set.
uint64_t faultCount(FaultOp op);
