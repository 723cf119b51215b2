// The movie half of the run's context: creating the output movie step by
// step through the call layer, appending frames, and finishing the file.
#include "movie/recovery_context.h"

#include <cstdio>

#include "movie/movie_format.h"
#include "movie/qt_layer.h"

namespace {

constexpr FourCC kCreatorCode = fourCC("TV0D");  // digit zero, not the letter O
constexpr uint32_t kCreateFlags = kQtCreateDeleteExisting | kQtCreateNoResourceFile;

bool fail(const char* message) {
  std::fputs(message, stdout);
  return false;
}

MovieFinish finishOf(QtErr closed) {
  switch (closed) {
    case kQtNoErr:
      return MovieFinish::Finished;
    case kQtKeptExistingErr:
      return MovieFinish::KeptExisting;
    case kQtFolderNotFlushedErr:
      return MovieFinish::NotFlushed;
    default:
      return MovieFinish::WriteFailed;
  }
}

}  // namespace

RecoveryContext::RecoveryContext() : output{} {}

RecoveryContext::~RecoveryContext() {
  finishMovie();
}

bool RecoveryContext::readRecordingMeta() {
  return ::readRecordingMeta(meta);
}

bool RecoveryContext::createMovie(const std::string& path) {
  MovieOutput& out = output;
  const ShotInfo& shot = meta.shot;
  if (qtInitialize(0) != kQtNoErr) return fail("Failed to initialize QT!");
  if (qtEnterMovies() != kQtNoErr) return fail("Failed to initialize QT Movie!");
  if (qtNewDataReferenceFromPath(path, out.dataRef, out.dataRefType) != kQtNoErr) {
    std::printf("Failed to create new data: %s!", path.c_str());
    return false;
  }
  if (qtCreateMovieStorage(out.dataRef, out.dataRefType, kCreatorCode, 0, kCreateFlags,
                           out.dataHandler, out.movie) != kQtNoErr) {
    return fail("Failed to create new movie!");
  }
  const TimeBase timeBase = chooseTimeBase(shot.frameRate());
  out.timeScale = timeBase.timeScale;
  out.frameDuration = timeBase.frameDuration;
  qtSetMovieTimeScale(out.movie, out.timeScale);
  const TrackSize size = chooseTrackSize(shot.width(), shot.height(), shot.flags());
  out.track = qtNewMovieTrack(out.movie, size.width, size.height, 0);
  if (qtGetMoviesError() != kQtNoErr) return fail("Failed to create movie track!");
  out.media = qtNewTrackMedia(out.track, kQtVideoMedia, out.timeScale, nullptr, 0);
  if (out.media == nullptr) return fail("unexpected media state!\n");
  // The description block cannot be had only when memory is gone; the media
  // step's message is the closest the run has.
  out.imageDescription = qtNewHandleClear(kImageDescriptionSize);
  if (out.imageDescription == nullptr) return fail("unexpected media state!\n");
  const CodecEntry* codec = findCodec(shot.codecId());
  if (codec == nullptr) {
    std::printf("unsupported codec %d\n", static_cast<int>(shot.codecId()));
    return false;
  }
  fillImageDescription(out.imageDescription->bytes.data(), *codec,
                       static_cast<uint16_t>(size.width), static_cast<uint16_t>(size.height));
  if (qtImageDescriptionSetProperty(out.imageDescription, kQtDescriptionClass, fourCC("pasp"),
                                    sizeof kPaspPayload, kPaspPayload) != kQtNoErr) {
    return fail("Failed to write paspInfo!");
  }
  if (qtImageDescriptionSetProperty(out.imageDescription, kQtDescriptionClass, fourCC("nclc"),
                                    sizeof kNclcPayload, kNclcPayload) != kQtNoErr) {
    return fail("Failed to write colrInfo!");
  }
  if (qtImageDescriptionSetProperty(out.imageDescription, kQtDescriptionClass, fourCC("fiel"),
                                    sizeof kFielPayload, kFielPayload) != kQtNoErr) {
    return fail("Failed to write fileInfo!");
  }
  if (qtBeginMediaEdits(out.media, out.imageDescription) != kQtNoErr) {
    return fail("Unable to begin media edit!");
  }
  out.editsOpen = true;
  return true;
}

bool RecoveryContext::appendFrame(const uint8_t* data, int32_t size) {
  int64_t decodeTime = 0;
  if (qtAddMediaSample(output.media, data, size, int64_t{output.frameDuration}, 0,
                       output.imageDescription, 1, 0, &decodeTime) != kQtNoErr) {
    return fail("Error write sample!");
  }
  return true;
}

bool RecoveryContext::appendFrame(const uint8_t* data, int32_t size, File& source,
                                  uint64_t sourceOffset) {
  if (qtAddMediaSampleFrom(output.media, {&source, sourceOffset}, data, size,
                           int64_t{output.frameDuration}, output.imageDescription) != kQtNoErr) {
    return fail("Error write sample!");
  }
  return true;
}

FrameCopy RecoveryContext::copyFrame(File& source, uint64_t sourceOffset, int32_t size) {
  switch (qtAddMediaSampleFrom(output.media, {&source, sourceOffset}, nullptr, size,
                               int64_t{output.frameDuration}, output.imageDescription)) {
    case kQtNoErr:
      return FrameCopy::Appended;
    case kQtKernelCopyRefusedErr:
      return FrameCopy::Unsupported;
    default:
      return FrameCopy::Failed;
  }
}

// No step stops a later one: every object is released and both stops run
// whatever went wrong before them.
MovieFinish RecoveryContext::finishMovie(bool complete) {
  MovieOutput& out = output;
  MovieFinish finish = MovieFinish::Finished;
  if (out.editsOpen) {
    qtEndMediaEdits(out.media);
    const int64_t duration = qtGetMediaDuration(out.media);
    qtInsertMediaIntoTrack(out.track, 0, 0, duration, kFixedOne);
  } else if (out.media != nullptr && out.imageDescription != nullptr) {
    // Creation stopped between the media and its editing: the track still
    // declares the description as far as it was made, so that readers find
    // a whole sample table.
    qtSetMediaSampleDescription(out.media, out.imageDescription);
  }
  if (out.movie != nullptr) {
    if (out.dataHandler != nullptr && !complete) out.dataHandler->replaceExisting = false;
    const bool added = qtAddMovieToStorage(out.movie, out.dataHandler) == kQtNoErr;
    finish = finishOf(qtCloseMovieStorage(out.dataHandler));
    if (!added) finish = MovieFinish::WriteFailed;
    out.dataHandler = nullptr;
    if (out.imageDescription != nullptr) {
      qtDisposeHandle(out.imageDescription);
      out.imageDescription = nullptr;
    }
    if (out.media != nullptr) {
      qtDisposeTrackMedia(out.media);
      out.media = nullptr;
    }
    if (out.track != nullptr) {
      qtDisposeMovieTrack(out.track);
      out.track = nullptr;
    }
    qtDisposeMovie(out.movie);
    out.movie = nullptr;
  }
  if (out.dataRef != nullptr) {
    qtDisposeHandle(out.dataRef);
    out.dataRef = nullptr;
    out.dataRefType = 0;
  }
  qtExitMovies();
  qtTerminate();
  return finish;
}
