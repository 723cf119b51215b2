// The few calls each platform provides beneath the portable file layer
// (file.cpp): one system call each, in the platform's own terms, with no
// loops, no argument checks and no fault hooks; file.cpp adds those once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/file.h"

namespace system_calls {

constexpr int kNoFile = -1;

// A descriptor for a regular file, or kNoFile: a folder, FIFO or device is
// refused without blocking. failed says the storage failed rather than refused.
int openRegularForReading(const std::string& path, bool& failed);
// Creates path, which must not exist, for writing; never through a link.
CreateOutcome createExclusive(const std::string& path, int& fd);
// Bytes read (0 at the end of the file), or -1 on an error.
int64_t readSome(int fd, void* into, size_t count);
// Bytes written at offset, or -1 on an error.
int64_t writeSomeAt(int fd, const void* data, size_t count, uint64_t offset);
bool seekTo(int fd, uint64_t position);
bool seekToEnd(int fd, uint64_t& position);
bool setLength(int fd, uint64_t length);
// The platform's strongest meaning of "on the storage".
bool flushToStorage(int fd);
bool closeFile(int fd);
// The file system's preferred block size for fd, or 0 when unknown.
uint64_t blockSizeOf(int fd);
// Whether fd's file system can share blocks between files (or copy on the
// server), so that a kernel copy of whole blocks costs no bytes.
bool sharesBlocks(int fd);
// Bytes copied inside the kernel (0: the source ended), or -1 on an error;
// refused says the system cannot copy between these files at all.
int64_t copySome(int from, uint64_t fromOffset, int to, uint64_t toOffset, size_t count,
                 bool& refused);
bool renameOver(const std::string& from, const std::string& to);
bool flushFolderEntries(const std::string& folder);
// Calls visit for every entry, in the order the listing yields them.
bool listFolder(const std::string& folder, const std::function<void(const std::string&)>& visit);

}  // namespace system_calls
