// Publishing outputs, and the naming rules the listing and the temporary
// files share. Portable: everything platform-bound is a call of file.h.
#include "platform/publish.h"

#include <cstdio>

namespace {

constexpr const char* kTemporarySuffix = ".part";
// Real names are checked against their folder; this bounds a temporary
// name on every file system we meet.
constexpr size_t kLongestTemporaryName = 255;

uint64_t nameHash(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string hexText(uint64_t value) {
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) text[i] = "0123456789abcdef"[value & 0xF];
  return text;
}

}  // namespace

PathParts splitPath(const std::string& path) {
  const size_t cut = path.find_last_of(kFolderSeparators);
  if (cut == std::string::npos) return {"", path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

bool isIgnoredByListing(const std::string& name) {
  return name.size() >= 2 && name[1] == '_';
}

std::string temporaryPathFor(const std::string& finalPath) {
  const PathParts parts = splitPath(finalPath);
  const std::string beside = parts.name + kTemporarySuffix;
  if (isIgnoredByListing(parts.name) && beside.size() <= kLongestTemporaryName) {
    return parts.folder + beside;
  }
  return parts.folder + "p_" + hexText(nameHash(parts.name)) + kTemporarySuffix;
}

BeginOutcome beginOutput(PendingOutput& output, const std::string& finalPath) {
  const PathParts parts = splitPath(finalPath);
  if (!entryNameFits(parts.folder, parts.name)) return BeginOutcome::Refused;
  // A link at the final name is replaced, never followed; a folder or a
  // file its owner made read-only is respected.
  const EntryInfo standing = inspectEntry(finalPath);
  if (standing.isFolder || standing.isReadOnly) return BeginOutcome::Refused;
  output.finalPath = finalPath;
  output.tempPath = temporaryPathFor(finalPath);
  // A temporary file left by a killed run is ours to replace.
  if (!inspectEntry(output.tempPath).isFolder) removeFile(output.tempPath);
  switch (output.file.createNew(output.tempPath)) {
    case CreateOutcome::Created:
      return BeginOutcome::Begun;
    case CreateOutcome::Refused:
      return BeginOutcome::Refused;
    case CreateOutcome::Failed:
      return BeginOutcome::Failed;
  }
  return BeginOutcome::Failed;
}

CommitOutcome commitOutput(PendingOutput& output, bool replaceExisting) {
  if (!output.file.isOpen()) {
    abandonOutput(output);
    return CommitOutcome::WriteFailed;
  }
  if (!replaceExisting && inspectEntry(output.finalPath).exists) {
    abandonOutput(output);
    return CommitOutcome::KeptExisting;
  }
  const bool flushed = output.file.flush();
  const bool closed = output.file.close();
  if (!flushed || !closed) {
    abandonOutput(output);
    return CommitOutcome::WriteFailed;
  }
  if (!renameReplacing(output.tempPath, output.finalPath)) {
    abandonOutput(output);
    return CommitOutcome::RenameFailed;
  }
  if (!flushFolder(splitPath(output.finalPath).folder)) return CommitOutcome::NotFlushed;
  return CommitOutcome::Published;
}

void abandonOutput(PendingOutput& output) {
  if (output.file.isOpen()) output.file.close();
  if (!output.tempPath.empty()) removeFile(output.tempPath);
}

void printNotFlushed(const std::string& name) {
  std::printf(
      "%s is complete, but its folder could not be flushed: it may not survive a power cut!\n",
      name.c_str());
}
