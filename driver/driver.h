// The recovery driver: one run from the metadata to the finished movie, and
// the exit code that names where it stopped.
#pragma once

#include <string>

enum ExitCode : int {
  kExitRecovered = 0,
  kExitMetaFailed = 1,
  kExitListingFailed = 2,
  kExitNoMovie = 3,
  kExitMovieFailed = 4,
  kExitSourceUnreadable = 5,
  kExitWindowSeekFailed = 13,
  kExitFrameSeekFailed = 15,
};

struct SourceFiles {
  std::string movieName;
  std::string firstWavName;
  std::string secondWavName;
};

// Applies the listing rules to one entry name.
void considerEntry(SourceFiles& files, const std::string& name);
// Lists folder and chooses the source movie and up to two audio files.
// False only when the folder cannot be opened for listing.
bool findSourceFiles(SourceFiles& files, const std::string& folder = ".");
// The output movie's full path: the folder, a separator, "r_" and the name.
std::string outputMoviePath(const std::string& folder, const std::string& movieName);

// Runs one recovery in the working folder and returns the process exit code.
int runRecovery();
