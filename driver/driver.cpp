// The stages of a run, in order, each entered only when the one before it
// succeeded; the exit code names the stage at which the run stopped.
#include "driver/driver.h"

#include <cstdio>

#include "audio/wav.h"
#include "driver/scanner.h"
#include "movie/recovery_context.h"
#include "platform/publish.h"

namespace {

bool endsWithIgnoringCase(const std::string& name, const char* extension) {
  const std::string tail = name.substr(name.size() - 4);
  for (size_t i = 0; i < 4; ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != extension[i]) return false;
  }
  return true;
}

// Outputs of an earlier run ("r_...") and our temporary files are never
// taken as inputs.
bool isCandidateName(const std::string& name) {
  return name.size() >= 5 && !isIgnoredByListing(name);
}

// The scan has ended; the exit code says whether the output is complete.
int scanExitCode(ScanOutcome outcome, const ScanStats& stats) {
  switch (outcome) {
    case ScanOutcome::WindowSeekFailed:
      return kExitWindowSeekFailed;
    case ScanOutcome::FrameSeekFailed:
      return kExitFrameSeekFailed;
    case ScanOutcome::EndOfSource:
      break;
  }
  if (stats.framesRefused > 0) return kExitMovieFailed;
  if (stats.unreadableRegions > 0) return kExitSourceUnreadable;
  return kExitRecovered;
}

// An audio file that cannot be taken leaves the code as it is; one that
// could not be read, or whose copy could not be written, means the run's
// output is incomplete.
int audioExitCode(int code, WavOutcome outcome) {
  switch (outcome) {
    case WavOutcome::Repaired:
    case WavOutcome::Refused:
      return code;
    case WavOutcome::Unreadable:
      return code == kExitRecovered ? kExitSourceUnreadable : code;
    case WavOutcome::CopyFailed:
      return kExitMovieFailed;
  }
  return code;
}

// movieComplete tells whether the movie holds every frame of the source,
// which decides whether it may replace a movie already at its name.
int runStages(RecoveryContext& context, SourceFiles& files, bool& movieComplete) {
  if (!context.readRecordingMeta()) {
    std::puts("failed to read meta.");
    return kExitMetaFailed;
  }
  const ShotInfo& shot = context.meta.shot;
  std::printf("%dx%d@%f\n", shot.width(), shot.height(), static_cast<double>(shot.reportedRate()));

  if (!findSourceFiles(files)) {
    std::fputs("Err open dir.\n", stdout);
    return kExitListingFailed;
  }
  if (files.movieName.empty()) {
    std::puts("can't find mov file.");
    return kExitNoMovie;
  }
  if (!context.createMovie(outputMoviePath(currentFolder(), files.movieName))) {
    return kExitMovieFailed;
  }
  File source;
  if (!source.openForReading(files.movieName)) {
    std::puts("unable to open source!");
    return kExitMovieFailed;
  }
  ScanStats stats;
  const ScanOutcome outcome = scanFrames(context, source, stats);
  source.close();
  movieComplete = outcome == ScanOutcome::EndOfSource && stats.framesRefused == 0;
  if (outcome != ScanOutcome::EndOfSource) return scanExitCode(outcome, stats);
  int code = scanExitCode(outcome, stats);
  for (const std::string* wav : {&files.firstWavName, &files.secondWavName}) {
    if (!wav->empty()) code = audioExitCode(code, repairWav(*wav));
  }
  return code;
}

void reportKept(const std::string& movieName) {
  std::printf("%s already exists and was kept: this run's movie lacks frames and was not saved.\n",
              movieName.c_str());
}

}  // namespace

void considerEntry(SourceFiles& files, const std::string& name) {
  if (!isCandidateName(name)) return;
  if (endsWithIgnoringCase(name, ".mov")) {
    files.movieName = name;
  } else if (endsWithIgnoringCase(name, ".wav")) {
    if (files.firstWavName.empty()) {
      files.firstWavName = name;
    } else {
      files.secondWavName = name;
    }
  }
}

bool findSourceFiles(SourceFiles& files, const std::string& folder) {
  SourceFiles chosen;
  if (!forEachFolderEntry(folder, [&](const std::string& name) { considerEntry(chosen, name); })) {
    return false;
  }
  files = chosen;
  return true;
}

std::string outputMoviePath(const std::string& folder, const std::string& movieName) {
  return folder + kPathSeparator + "r_" + movieName;
}

int runRecovery() {
  RecoveryContext context;
  SourceFiles files;
  bool movieComplete = false;
  int code = runStages(context, files, movieComplete);
  // Finishing is the run's last step; a movie that did not reach the disk
  // whole must not leave the run looking successful.
  const std::string movieName = "r_" + files.movieName;
  switch (context.finishMovie(movieComplete)) {
    case MovieFinish::Finished:
      break;
    case MovieFinish::WriteFailed:
      std::puts("Failed to write movie file!");
      if (!files.movieName.empty() && inspectEntry(movieName).exists) reportKept(movieName);
      code = kExitMovieFailed;
      break;
    case MovieFinish::KeptExisting:
      reportKept(movieName);  // the code already says the movie lacks frames
      break;
    case MovieFinish::NotFlushed:
      printNotFlushed(movieName);
      code = kExitMovieFailed;
      break;
  }
  return code;
}
