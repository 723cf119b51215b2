// Windows calls beneath the file door: CRT descriptors in binary mode with
// 64-bit offsets, wide-character paths (in their long form where needed) so
// that names outside the ANSI code page and past 260 characters work, and
// UTF-8 for every name that crosses into the rest of the tool.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "platform/file.h"
#include "platform/file_system.h"

namespace {
// False when text is not valid UTF-8: such a name cannot be meant for a real file.
bool toWide(const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  const int length = static_cast<int>(text.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<size_t>(needed));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, &wide[0],
                             needed) == needed;
}

// An unpaired surrogate (possible in NTFS names) becomes U+FFFD; such a name
// then fails to open rather than naming some other file.
std::string toUtf8(const wchar_t* wide, size_t length) {
  if (length == 0 || length > static_cast<size_t>(INT_MAX)) return std::string();
  const int count = static_cast<int>(length);
  const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, count, &text[0], needed, nullptr, nullptr);
  return text;
}

std::string toUtf8(const wchar_t* wide) {
  return toUtf8(wide, wcslen(wide));
}

// Paths as the wide calls take them. Past MAX_PATH those calls fail unless
// the path is absolute in the "\\?\" form, which also turns off their
// parsing of "/" and ".", so a long path is made whole first.
constexpr size_t kShortPathLimit = 240;  // below MAX_PATH, with room for a name added later

bool toWidePath(const std::string& text, std::wstring& wide) {
  if (!toWide(text, wide)) return false;
  if (wide.empty() || wide.compare(0, 4, L"\\\\?\\") == 0) return true;
  if (wide.size() < kShortPathLimit) return true;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return false;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) {
    wide = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  } else {
    wide = L"\\\\?\\" + full;
  }
  return true;
}

// Reasons a create is turned away by what stands at the name or by the
// folder, as opposed to the storage failing under it.
bool isRefusal(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_ACCESS_DENIED:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_WRITE_PROTECT:
    case ERROR_DIRECTORY:
      return true;
    default:
      return false;
  }
}

// Names are printed as UTF-8 bytes; a console shows them as such only while
// its output code page is UTF-8, so it is switched for the run and put back.
struct ConsoleCodePage {
  ConsoleCodePage() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr) return;
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return;  // a pipe or a file takes the bytes as they are
    saved = GetConsoleOutputCP();
    if (saved == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) saved = 0;
  }
  ~ConsoleCodePage() {
    if (saved == 0) return;
    std::fflush(stdout);
    SetConsoleOutputCP(saved);
  }
  UINT saved = 0;
};
const ConsoleCodePage gConsoleCodePage;

}  // namespace

namespace system_calls {

// The CRT's errno for a failed open cannot tell a failing disk from a
// refusal, so Windows reports every failed open as refused.
int openRegularForReading(const std::string& path, bool& failed) {
  failed = false;
  std::wstring wide;
  if (!toWidePath(path, wide) || wide.empty()) return kNoFile;
  const int opened = ::_wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (opened < 0) return kNoFile;
  // Reserved names (CON, NUL, COM1) open as devices in any folder; only a
  // file on disk is footage.
  struct _stati64 info;
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(opened));
  if (::_fstati64(opened, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG ||
      handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
    ::_close(opened);
    return kNoFile;
  }
  return opened;
}

CreateOutcome createExclusive(const std::string& path, int& fd) {
  std::wstring wide;
  if (!toWidePath(path, wide) || wide.empty()) return CreateOutcome::Refused;
  // CREATE_NEW fails on any existing entry, a link included, so nothing is
  // written through one.
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return isRefusal(GetLastError()) ? CreateOutcome::Refused : CreateOutcome::Failed;
  }
  fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return CreateOutcome::Failed;
  }
  return CreateOutcome::Created;
}

int64_t readSome(int fd, void* into, size_t count) {
  // The CRT counts in unsigned int; the core never asks for more than 1 GiB.
  return ::_read(fd, into, static_cast<unsigned int>(count));
}

// One positioned write: the offset travels with the call. The outputs are
// never read back, so the file position this leaves behind does not matter.
int64_t writeSomeAt(int fd, const void* data, size_t count, uint64_t offset) {
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(handle, data, static_cast<DWORD>(count), &written, &at)) return -1;
  return written;
}

bool seekTo(int fd, uint64_t position) {
  return ::_lseeki64(fd, static_cast<__int64>(position), SEEK_SET) != -1;
}

bool seekToEnd(int fd, uint64_t& position) {
  const __int64 end = ::_lseeki64(fd, 0, SEEK_END);
  if (end < 0) return false;
  position = static_cast<uint64_t>(end);
  return true;
}

bool setLength(int fd, uint64_t length) {
  return ::_chsize_s(fd, static_cast<__int64>(length)) == 0;
}

// FlushFileBuffers writes the file's data and metadata through the
// system's cache and asks the drive to empty its own.
bool flushToStorage(int fd) {
  const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
}

bool closeFile(int fd) {
  return ::_close(fd) == 0;
}

// Windows has no kernel copy between ranges of two files that we use;
// frames travel through the tool's buffer there, packed.
uint64_t blockSizeOf(int) {
  return 0;
}

bool sharesBlocks(int) {
  return false;
}

int64_t copySome(int, uint64_t, int, uint64_t, size_t, bool& refused) {
  refused = true;
  return -1;
}

bool renameOver(const std::string& from, const std::string& to) {
  std::wstring wideFrom;
  std::wstring wideTo;
  if (!toWidePath(from, wideFrom) || !toWidePath(to, wideTo)) return false;
  // Write-through: the call returns only once the new name is on the disk.
  return MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The rename into a folder is written through (MOVEFILE_WRITE_THROUGH), and
// NTFS journals the folder's entries: there is no folder left to flush.
bool flushFolderEntries(const std::string&) {
  return true;
}

bool listFolder(const std::string& folder, const std::function<void(const std::string&)>& visit) {
  std::wstring pattern;
  if (!toWidePath(folder, pattern)) return false;
  if (pattern.empty()) pattern = L".";
  if (pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':') {
    pattern += L'\\';
  }
  pattern += L'*';
  WIN32_FIND_DATAW entry;
  const HANDLE listing = FindFirstFileW(pattern.c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) {
    // A drive's root lists no "." or "..", so an empty one has no entry at all.
    return GetLastError() == ERROR_FILE_NOT_FOUND && isFolder(folder.empty() ? "." : folder);
  }
  do {
    visit(toUtf8(entry.cFileName));
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  return true;
}

}  // namespace system_calls

bool removeFile(const std::string& path) {
  std::wstring wide;
  if (!toWidePath(path, wide)) return false;
  return DeleteFileW(wide.c_str()) != 0;
}

bool isFolder(const std::string& path) {
  std::wstring wide;
  if (!toWidePath(path, wide) || wide.empty()) return false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

EntryInfo inspectEntry(const std::string& path) {
  EntryInfo entry;
  std::wstring wide;
  if (!toWidePath(path, wide) || wide.empty()) return entry;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return entry;
  entry.exists = true;
  const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry.isFolder = !isLink && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isReadOnly = !isLink && !entry.isFolder && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  return entry;
}

// NTFS, exFAT and FAT32 all count a name's length in UTF-16 units.
bool entryNameFits(const std::string&, const std::string& name) {
  std::wstring wide;
  return toWide(name, wide) && !wide.empty() && wide.size() <= 255;
}

std::string currentFolder() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return ".";
    if (length < buffer.size()) return toUtf8(buffer.data(), length);
    if (length > (DWORD{1} << 16)) return ".";
    buffer.resize(length + 1);
  }
}
