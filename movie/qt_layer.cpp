// The call layer over our movie file writer: object lifetimes, the start
// counts, the sample table kept as samples arrive, and the finished file.
#include "movie/qt_layer.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

namespace {

std::mutex gStartMutex;
uint64_t gStartCount = 0;
uint64_t gEnterCount = 0;
QtErr gMoviesError = kQtNoErr;

QtErr setMoviesError(QtErr error) {
  gMoviesError = error;
  return error;
}

struct Extension {
  FourCC property;
  uint32_t size;
  FourCC atomType;
};
// 'nclc' is handed over as a property but lives in the file as a 'colr' atom.
constexpr Extension kExtensions[] = {{fourCC("pasp"), 8, fourCC("pasp")},
                                     {fourCC("nclc"), 10, fourCC("colr")},
                                     {fourCC("fiel"), 2, fourCC("fiel")}};

const Extension* findExtension(FourCC property, uint32_t size) {
  for (const Extension& extension : kExtensions) {
    if (extension.property == property && extension.size == size) return &extension;
  }
  return nullptr;
}

QtDataHandler* storageOf(const QtMedia* media) {
  if (media->track == nullptr || media->track->movie == nullptr) return nullptr;
  return media->track->movie->storage;
}

bool writeFinishedMovie(QtDataHandler& storage, const Bytes& moov) {
  const uint64_t end = storage.dataEnd + moov.size();
  const Bytes header = mdatHeader(storage.dataEnd - kSampleDataOffset);
  File& file = storage.output.file;
  return file.writeAt(storage.dataEnd, moov.data(), moov.size()) && file.truncate(end) &&
         file.writeAt(kMdatHeaderOffset, header.data(), header.size());
}

}  // namespace

QtErr qtInitialize(uint32_t) {
  std::lock_guard<std::mutex> lock(gStartMutex);
  ++gStartCount;
  return kQtNoErr;
}

void qtTerminate() {
  std::lock_guard<std::mutex> lock(gStartMutex);
  if (gStartCount > 0) --gStartCount;
}

QtErr qtEnterMovies() {
  std::lock_guard<std::mutex> lock(gStartMutex);
  if (gStartCount == 0) return kQtNotEnteredErr;
  ++gEnterCount;
  return kQtNoErr;
}

void qtExitMovies() {
  std::lock_guard<std::mutex> lock(gStartMutex);
  if (gEnterCount > 0) --gEnterCount;
}

QtErr qtGetMoviesError() {
  return gMoviesError;
}

QtErr qtNewDataReferenceFromPath(const std::string& path, QtHandle*& dataRef,
                                 uint32_t& dataRefType) {
  if (path.empty() || path.find('\0') != std::string::npos) return kQtParamErr;
  auto* handle = new (std::nothrow) QtHandle;
  if (handle == nullptr) return kQtMemFullErr;
  handle->bytes.assign(path.begin(), path.end());
  dataRef = handle;
  dataRefType = kQtAliasDataRef;
  return kQtNoErr;
}

// The existing file at the final name is never opened: the movie is written
// under a temporary name and renamed over it, so a link there is replaced
// rather than written through.
QtErr qtCreateMovieStorage(const QtHandle* dataRef, uint32_t dataRefType, FourCC, int16_t, uint32_t,
                           QtDataHandler*& storage, QtMovie*& movie) {
  if (dataRef == nullptr || dataRefType != kQtAliasDataRef) return kQtParamErr;
  const std::string finalPath(dataRef->bytes.begin(), dataRef->bytes.end());
  std::unique_ptr<QtDataHandler> opened(new (std::nothrow) QtDataHandler);
  std::unique_ptr<QtMovie> created(new (std::nothrow) QtMovie);
  if (opened == nullptr || created == nullptr) return kQtMemFullErr;
  switch (beginOutput(opened->output, finalPath)) {
    case BeginOutcome::Begun:
      break;
    case BeginOutcome::Refused:
      return kQtWritePermissionErr;
    case BeginOutcome::Failed:
      return kQtIoErr;
  }
  const Bytes start = movieFileStart();
  if (!opened->output.file.writeAt(0, start.data(), start.size())) {
    abandonOutput(opened->output);
    return kQtIoErr;
  }
  opened->blockSize = opened->output.file.blockSize();
  opened->sharedBlock = opened->output.file.sharesBlocks() ? opened->blockSize : 0;
  opened->movie = created.get();
  created->storage = opened.get();
  storage = opened.release();
  movie = created.release();
  return kQtNoErr;
}

void qtSetMovieTimeScale(QtMovie* movie, int32_t timeScale) {
  if (movie == nullptr || timeScale <= 0) return;
  movie->timeScale = timeScale;
}

QtTrack* qtNewMovieTrack(QtMovie* movie, int64_t width, int64_t height, int16_t volume) {
  if (movie == nullptr) {
    setMoviesError(kQtInvalidMovieErr);
    return nullptr;
  }
  const bool sizeFits =
      width >= 1 && width <= kQtLargestTrackSide && height >= 1 && height <= kQtLargestTrackSide;
  if (movie->track != nullptr || !sizeFits) {
    setMoviesError(kQtParamErr);
    return nullptr;
  }
  auto* track = new (std::nothrow) QtTrack;
  if (track == nullptr) {
    setMoviesError(kQtMemFullErr);
    return nullptr;
  }
  track->header.width = static_cast<uint32_t>(width);
  track->header.height = static_cast<uint32_t>(height);
  track->header.volume = volume;
  track->movie = movie;
  movie->track = track;
  setMoviesError(kQtNoErr);
  return track;
}

QtMedia* qtNewTrackMedia(QtTrack* track, FourCC mediaType, int32_t timeScale,
                         const QtHandle* dataRef, uint32_t) {
  if (track == nullptr) {
    setMoviesError(kQtInvalidTrackErr);
    return nullptr;
  }
  // Only video whose samples live in the movie's own file can be written.
  if (track->media != nullptr || mediaType != kQtVideoMedia || timeScale <= 0 ||
      dataRef != nullptr) {
    setMoviesError(kQtParamErr);
    return nullptr;
  }
  auto* media = new (std::nothrow) QtMedia;
  if (media == nullptr) {
    setMoviesError(kQtMemFullErr);
    return nullptr;
  }
  media->table.type = mediaType;
  media->table.timeScale = timeScale;
  media->track = track;
  track->media = media;
  setMoviesError(kQtNoErr);
  return media;
}

QtHandle* qtNewHandleClear(size_t size) {
  auto* handle = new (std::nothrow) QtHandle;
  if (handle == nullptr) return nullptr;
  handle->bytes.assign(size, 0);
  return handle;
}

QtErr qtImageDescriptionSetProperty(QtHandle* description, FourCC propertyClass, FourCC property,
                                    uint32_t size, const uint8_t* payload) {
  if (description == nullptr || description->bytes.size() < 16 || payload == nullptr) {
    return kQtParamErr;
  }
  const Extension* extension = findExtension(property, size);
  if (propertyClass != kQtDescriptionClass || extension == nullptr) return kQtParamErr;
  appendDescriptionExtension(description->bytes, extension->atomType, payload, size);
  return kQtNoErr;
}

QtErr qtBeginMediaEdits(QtMedia* media, const QtHandle* description) {
  if (media == nullptr) return kQtInvalidMediaErr;
  if (description != nullptr) {
    if (description->bytes.size() < 16) return kQtBadImageDescriptionErr;
    if (media->table.description.empty()) media->table.description = description->bytes;
  }
  media->editing = true;
  return kQtNoErr;
}

QtErr qtEndMediaEdits(QtMedia* media) {
  if (media == nullptr) return kQtInvalidMediaErr;
  media->editing = false;
  return kQtNoErr;
}

QtErr qtSetMediaSampleDescription(QtMedia* media, const QtHandle* description) {
  if (media == nullptr) return kQtInvalidMediaErr;
  if (description == nullptr || description->bytes.size() < 16) return kQtBadImageDescriptionErr;
  if (!media->table.description.empty()) return kQtParamErr;  // a media of ours carries one
  Bytes entry = description->bytes;
  if (get32be(entry.data()) == 0) store32be(entry.data(), static_cast<uint32_t>(entry.size()));
  media->table.description = entry;
  return kQtNoErr;
}

namespace {

// The media a sample may be added to, with its storage; null with why.
QtDataHandler* acceptingStorage(QtMedia* media, const QtHandle* description, QtErr& why) {
  why = kQtInvalidMediaErr;
  if (media == nullptr) return nullptr;
  why = kQtMediaNotEditingErr;
  if (!media->editing) return nullptr;
  QtDataHandler* storage = storageOf(media);
  why = kQtInvalidMovieErr;
  if (storage == nullptr || !storage->output.file.isOpen()) return nullptr;
  MediaTable& table = media->table;
  if (description != nullptr && table.description.empty()) table.description = description->bytes;
  why = kQtBadImageDescriptionErr;
  if (table.description.empty()) return nullptr;
  if (description != nullptr && description->bytes != table.description) {
    return nullptr;  // a media of ours carries one description
  }
  why = kQtParamErr;
  if (table.samples.size() >= UINT32_MAX) return nullptr;
  why = kQtNoErr;
  return storage;
}

// Zeros whatever a failed sample left in the gap before offset.
bool clearGap(QtDataHandler& storage, uint64_t offset) {
  const uint64_t end = std::min(offset, storage.fileEnd);
  static const uint8_t kZeros[4096] = {};
  for (uint64_t at = storage.dataEnd; at < end;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(end - at, sizeof kZeros));
    if (!storage.output.file.writeAt(at, kZeros, count)) return false;
    at += count;
  }
  return true;
}

// A sample that failed may have left some of its bytes; they are cut off
// where the file can be shortened, and otherwise zeroed before they could
// show through a later gap.
void forgetFailedSample(QtDataHandler& storage, uint64_t offset, uint64_t size) {
  storage.fileEnd = std::max(storage.fileEnd, offset + size);
  if (storage.output.file.truncate(storage.dataEnd)) storage.fileEnd = storage.dataEnd;
}

QtErr addSample(QtMedia* media, const QtSampleOrigin* origin, const uint8_t* data, int64_t size,
                int64_t decodeDuration, const QtHandle* description, int64_t* decodeTime) {
  QtErr why = kQtNoErr;
  QtDataHandler* storage = acceptingStorage(media, description, why);
  if (storage == nullptr) return why;
  if (size <= 0 || size > INT32_MAX || decodeDuration <= 0 || decodeDuration > INT32_MAX) {
    return kQtParamErr;
  }
  if (data == nullptr && (origin == nullptr || origin->file == nullptr)) return kQtParamErr;
  MediaTable& table = media->table;
  // The table holds one duration for all samples, as every frame lasts as long.
  if (!table.samples.empty() && decodeDuration != table.sampleDuration) return kQtParamErr;
  const uint64_t bytes = static_cast<uint64_t>(size);
  const uint64_t sourceOffset = origin != nullptr ? origin->offset : storage->dataEnd;
  const uint64_t offset = placeSample(storage->dataEnd, sourceOffset, bytes, storage->blockSize);
  if (!clearGap(*storage, offset)) return kQtIoErr;
  if (data != nullptr) {
    if (!storage->output.file.writeAt(offset, data, static_cast<size_t>(size))) {
      forgetFailedSample(*storage, offset, bytes);
      return kQtIoErr;
    }
  } else {
    switch (copyBetween(*origin->file, origin->offset, storage->output.file, offset, bytes,
                        storage->sharedBlock)) {
      case CopyOutcome::Copied:
        break;
      case CopyOutcome::Unsupported:
        return kQtKernelCopyRefusedErr;
      case CopyOutcome::Failed:
        forgetFailedSample(*storage, offset, bytes);
        return kQtIoErr;
    }
  }
  if (decodeTime != nullptr) *decodeTime = static_cast<int64_t>(mediaDuration(table));
  table.sampleDuration = static_cast<uint32_t>(decodeDuration);
  table.samples.push_back({offset, static_cast<uint32_t>(size)});
  storage->dataEnd = offset + bytes;
  storage->fileEnd = std::max(storage->fileEnd, storage->dataEnd);
  return kQtNoErr;
}

}  // namespace

QtErr qtAddMediaSample(QtMedia* media, const uint8_t* data, int64_t size, int64_t decodeDuration,
                       int64_t displayOffset, const QtHandle* description, int64_t sampleCount,
                       uint32_t sampleFlags, int64_t* decodeTime) {
  // One sync sample at a time, shown in decode order: the table has no room
  // for anything else.
  if (data == nullptr || displayOffset != 0 || sampleCount != 1 || sampleFlags != 0) {
    return media == nullptr ? kQtInvalidMediaErr : kQtParamErr;
  }
  return addSample(media, nullptr, data, size, decodeDuration, description, decodeTime);
}

QtErr qtAddMediaSampleFrom(QtMedia* media, const QtSampleOrigin& origin, const uint8_t* data,
                           int64_t size, int64_t decodeDuration, const QtHandle* description) {
  return addSample(media, &origin, data, size, decodeDuration, description, nullptr);
}

int64_t qtGetMediaDuration(const QtMedia* media) {
  if (media == nullptr) return 0;
  return static_cast<int64_t>(mediaDuration(media->table));
}

// One edit at the start of the track is all our tracks hold; an empty
// insertion adds nothing.
QtErr qtInsertMediaIntoTrack(QtTrack* track, int64_t trackStart, int64_t mediaTime,
                             int64_t duration, uint32_t rate) {
  if (track == nullptr) return kQtInvalidTrackErr;
  if (track->media == nullptr) return kQtInvalidMediaErr;
  if (trackStart != 0 || track->header.hasEdit || mediaTime < 0 || duration < 0) {
    return kQtParamErr;
  }
  if (duration == 0) return kQtNoErr;
  const MediaTable& table = track->media->table;
  if (static_cast<uint64_t>(mediaTime) + static_cast<uint64_t>(duration) > mediaDuration(table)) {
    return kQtParamErr;
  }
  // The movie writer gives its movie and media one time scale, so a media
  // duration is already the edit's duration in the movie.
  track->header.hasEdit = true;
  track->header.editDuration = static_cast<uint64_t>(duration);
  track->header.editMediaTime = mediaTime;
  track->header.editRate = rate;
  return kQtNoErr;
}

QtErr qtAddMovieToStorage(QtMovie* movie, QtDataHandler* storage) {
  if (movie == nullptr) return kQtInvalidMovieErr;
  if (storage == nullptr || storage->movie != movie) return kQtParamErr;
  if (!storage->output.file.isOpen()) return kQtIoErr;
  const QtTrack* track = movie->track;
  const QtMedia* media = track != nullptr ? track->media : nullptr;
  MovieHeader header;
  header.timeScale = movie->timeScale;
  header.duration = track != nullptr && track->header.hasEdit ? track->header.editDuration : 0;
  header.nextTrackId = track != nullptr ? track->header.id + 1 : 1;
  const Bytes moov = buildMoov(header, track != nullptr ? &track->header : nullptr,
                               media != nullptr ? &media->table : nullptr);
  storage->movieWritten = writeFinishedMovie(*storage, moov);
  return storage->movieWritten ? kQtNoErr : kQtIoErr;
}

QtErr qtCloseMovieStorage(QtDataHandler* storage) {
  if (storage == nullptr) return kQtParamErr;
  QtErr result = kQtIoErr;
  if (!storage->movieWritten) {
    abandonOutput(storage->output);
  } else {
    switch (commitOutput(storage->output, storage->replaceExisting)) {
      case CommitOutcome::Published:
        result = kQtNoErr;
        break;
      case CommitOutcome::NotFlushed:
        result = kQtFolderNotFlushedErr;
        break;
      case CommitOutcome::KeptExisting:
        result = kQtKeptExistingErr;
        break;
      case CommitOutcome::WriteFailed:
      case CommitOutcome::RenameFailed:
        result = kQtIoErr;
        break;
    }
  }
  if (storage->movie != nullptr) storage->movie->storage = nullptr;
  delete storage;
  return result;
}

void qtDisposeHandle(QtHandle* handle) {
  delete handle;
}

void qtDisposeTrackMedia(QtMedia* media) {
  if (media == nullptr) return;
  if (media->track != nullptr) media->track->media = nullptr;
  delete media;
}

void qtDisposeMovieTrack(QtTrack* track) {
  if (track == nullptr) return;
  if (track->media != nullptr) track->media->track = nullptr;
  if (track->movie != nullptr) track->movie->track = nullptr;
  delete track;
}

void qtDisposeMovie(QtMovie* movie) {
  if (movie == nullptr) return;
  if (movie->storage != nullptr) movie->storage->movie = nullptr;
  if (movie->track != nullptr) movie->track->movie = nullptr;
  delete movie;
}
