// The one narrow door to the file system. Every open, read, write, seek,
// rename and close of the tool goes through here, so that 64-bit positions,
// binary mode, short reads and injected faults are handled in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

struct ReadResult {
  size_t count = 0;     // bytes delivered; fewer than asked means the file ended or failed
  bool failed = false;  // an I/O error, as opposed to the plain end of the file
};

struct File {
  File() = default;
  ~File();  // closes a descriptor still open, ignoring the result
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  // Regular files only: a folder, FIFO or device is refused rather than
  // read, so an odd entry can never block or be taken for footage.
  bool openForReading(const std::string& path);
  // Creates a file that must not exist yet, for writing; never follows a link.
  bool createNew(const std::string& path);
  bool isOpen() const { return fd >= 0; }

  bool seek(uint64_t position);
  bool seekToEnd(uint64_t& position);
  // Keeps reading until count bytes arrived, the file ended, or an error.
  ReadResult read(void* into, size_t count);
  // All or nothing from the caller's view: false unless every byte was written.
  bool writeAt(uint64_t offset, const void* data, size_t count);
  bool truncate(uint64_t length);
  // Closing can fail (delayed write errors on network and full disks), so it is reported.
  bool close();

  int fd = -1;
};

bool renameReplacing(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
bool isFolder(const std::string& path);
// Calls visit for every entry, in the order the listing yields them.
// False only when the folder cannot be opened for listing.
bool forEachFolderEntry(const std::string& folder,
                        const std::function<void(const std::string&)>& visit);
// The absolute path of the working folder, or "." when it cannot be had.
std::string currentFolder();

// Fault injection for tests: the nth operation of a kind fails, once or from
// then on. Counting starts when a plan is set.
enum class FaultOp { Read, Write, Seek, Rename, Close };
struct FaultPlan {
  FaultOp op = FaultOp::Write;
  uint64_t nth = 0;  // 1 is the first operation of that kind; 0 disables the plan
  bool persistent = false;
};
void setFaultPlan(const FaultPlan& plan);
void clearFaultPlan();
// True when the plan says this operation must fail; counts the operation.
bool faultHits(FaultOp op);
// How many operations of a kind were counted since the plan was set.
uint64_t faultCount(FaultOp op);
