// One way to publish an output: written beside its final name under a
// temporary one the folder listing never takes, flushed, then renamed into
// place and its folder flushed, so that a final name only ever holds a
// complete file that survives a power cut once the run says it is done.
#pragma once

#include <string>

#include "platform/file.h"

struct PendingOutput {
  File file;  // open for writing while the output is begun
  std::string finalPath;
  std::string tempPath;
};

// Refused: something at the final or temporary name stands in the way (a
// folder, a read-only file, a name the folder cannot hold). Failed: the
// storage could not create the file (full, or an I/O error).
enum class BeginOutcome { Begun, Refused, Failed };
BeginOutcome beginOutput(PendingOutput& output, const std::string& finalPath);

enum class CommitOutcome {
  Published,     // complete under its final name and on the disk
  NotFlushed,    // complete under its final name, but its folder could not be flushed
  WriteFailed,   // the bytes could not be flushed or the file closed; nothing was renamed
  RenameFailed,  // complete, but it could not be put under its final name
  KeptExisting,  // an incomplete output was dropped so as not to replace what stands there
};
// An output that is known to be incomplete (replaceExisting false) is still
// published where nothing stands at its name, but never replaces anything.
// The temporary file is gone afterwards whatever the outcome.
CommitOutcome commitOutput(PendingOutput& output, bool replaceExisting);
// Closes and removes the temporary file; the final name is left as it was.
void abandonOutput(PendingOutput& output);

// Where an output for finalPath is written until it is complete: beside it,
// within one folder entry, and never a name the folder listing takes.
std::string temporaryPathFor(const std::string& finalPath);

// The line for an output that is complete under its name (given as the user
// knows it) but whose folder could not be flushed.
void printNotFlushed(const std::string& name);
