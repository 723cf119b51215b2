// The QuickTime-style call layer the movie writer talks to, standing where
// Apple's runtime stood: the same calls and objects, carried out by our own
// QuickTime file writer. Each call returns 0 or a 16-bit error code.
#pragma once

#include <cstdint>
#include <string>

#include "movie/atoms.h"
#include "platform/bytes.h"
#include "platform/publish.h"

using QtErr = int16_t;
constexpr QtErr kQtNoErr = 0;
constexpr QtErr kQtIoErr = -36;
constexpr QtErr kQtWritePermissionErr = -61;
constexpr QtErr kQtParamErr = -50;
constexpr QtErr kQtMemFullErr = -108;
constexpr QtErr kQtBadImageDescriptionErr = -2001;
constexpr QtErr kQtInvalidMediaErr = -2008;
constexpr QtErr kQtInvalidTrackErr = -2009;
constexpr QtErr kQtInvalidMovieErr = -2010;
constexpr QtErr kQtNotEnteredErr = -2020;
constexpr QtErr kQtMediaNotEditingErr = -2050;
// Our writer's own outcomes of closing the storage, beyond plain success.
constexpr QtErr kQtKeptExistingErr = -2100;  // an incomplete movie did not replace the file there
constexpr QtErr kQtFolderNotFlushedErr = -2101;   // the movie is in place, its folder not flushed
constexpr QtErr kQtKernelCopyRefusedErr = -2102;  // the system cannot copy the sample in the kernel

constexpr FourCC kQtAliasDataRef = fourCC("alis");
constexpr FourCC kQtVideoMedia = fourCC("vide");
constexpr FourCC kQtDescriptionClass = fourCC("idsc");
constexpr uint32_t kQtCreateDeleteExisting = 0x80000000;
constexpr uint32_t kQtCreateNoResourceFile = 0x10000000;
constexpr uint32_t kQtLargestTrackSide = 65535;

// A block of bytes. As a data reference it holds the path; as an image
// description it holds the sample description entry in file byte order.
struct QtHandle {
  Bytes bytes;
};

struct QtMovie;
struct QtTrack;
struct QtMedia;

// The open output: samples are written at dataEnd as they arrive, under a
// temporary name that becomes the final one only when the movie is complete.
struct QtDataHandler {
  PendingOutput output;
  uint64_t dataEnd = kSampleDataOffset;
  // How far the file may hold bytes: past dataEnd only after a sample that
  // failed, whose leftovers must not show through the gap before the next.
  uint64_t fileEnd = kSampleDataOffset;
  uint32_t blockSize = 0;    // the file's, for placing samples; 0 packs them
  uint32_t sharedBlock = 0;  // blockSize where the file system shares blocks, else 0
  bool movieWritten = false;
  // Cleared for a movie known to lack frames, which must not replace a file
  // already at its name.
  bool replaceExisting = true;
  QtMovie* movie = nullptr;
};

struct QtMovie {
  int32_t timeScale = 600;
  QtDataHandler* storage = nullptr;
  QtTrack* track = nullptr;  // the one track a movie of ours holds
};

struct QtTrack {
  QtMovie* movie = nullptr;
  QtMedia* media = nullptr;
  TrackHeader header;
};

struct QtMedia {
  QtTrack* track = nullptr;
  MediaTable table;
  bool editing = false;
};

// Starts are counted per process; a stop at count 0 does nothing.
QtErr qtInitialize(uint32_t flags);
void qtTerminate();
QtErr qtEnterMovies();
void qtExitMovies();
QtErr qtGetMoviesError();

QtErr qtNewDataReferenceFromPath(const std::string& path, QtHandle*& dataRef,
                                 uint32_t& dataRefType);
QtErr qtCreateMovieStorage(const QtHandle* dataRef, uint32_t dataRefType, FourCC creator,
                           int16_t scriptCode, uint32_t createFlags, QtDataHandler*& storage,
                           QtMovie*& movie);
void qtSetMovieTimeScale(QtMovie* movie, int32_t timeScale);
// Width and height in whole pixels, each within 1..kQtLargestTrackSide;
// null on failure, with the reason left for qtGetMoviesError.
QtTrack* qtNewMovieTrack(QtMovie* movie, int64_t width, int64_t height, int16_t volume);
// A null dataRef keeps the samples in the movie's own storage.
QtMedia* qtNewTrackMedia(QtTrack* track, FourCC mediaType, int32_t timeScale,
                         const QtHandle* dataRef, uint32_t dataRefType);
QtHandle* qtNewHandleClear(size_t size);
// Payload in file byte order; the 'nclc' property becomes a 'colr' atom.
QtErr qtImageDescriptionSetProperty(QtHandle* description, FourCC propertyClass, FourCC property,
                                    uint32_t size, const uint8_t* payload);
// The media takes its sample description here, so that a movie closed
// before any sample still declares what its track would carry.
QtErr qtBeginMediaEdits(QtMedia* media, const QtHandle* description);
QtErr qtEndMediaEdits(QtMedia* media);
// Gives a media that has none its one sample description, as far as it was
// filled; a description whose size field was never set is sized to its bytes.
QtErr qtSetMediaSampleDescription(QtMedia* media, const QtHandle* description);
// Writes the bytes straight from data into the file; nothing is kept of them.
QtErr qtAddMediaSample(QtMedia* media, const uint8_t* data, int64_t size, int64_t decodeDuration,
                       int64_t displayOffset, const QtHandle* description, int64_t sampleCount,
                       uint32_t sampleFlags, int64_t* decodeTime);

// Where a sample's bytes lie in the file they were found in.
struct QtSampleOrigin {
  File* file = nullptr;
  uint64_t offset = 0;
};
// One sync sample of size bytes whose origin is known, so that it can be
// placed to share blocks with it. With data, the bytes are written from
// memory; without, they are copied from the origin inside the kernel, and
// kQtKernelCopyRefusedErr says the system cannot (nothing was written).
// Either way a sample is indexed only when all its bytes are in the file.
QtErr qtAddMediaSampleFrom(QtMedia* media, const QtSampleOrigin& origin, const uint8_t* data,
                           int64_t size, int64_t decodeDuration, const QtHandle* description);
int64_t qtGetMediaDuration(const QtMedia* media);
QtErr qtInsertMediaIntoTrack(QtTrack* track, int64_t trackStart, int64_t mediaTime,
                             int64_t mediaDuration, uint32_t rate);
QtErr qtAddMovieToStorage(QtMovie* movie, QtDataHandler* storage);
// Flushes and closes the file and puts it under its final name, or removes
// it when the movie never reached it whole.
QtErr qtCloseMovieStorage(QtDataHandler* storage);

void qtDisposeHandle(QtHandle* handle);
void qtDisposeTrackMedia(QtMedia* media);
void qtDisposeMovieTrack(QtTrack* track);
void qtDisposeMovie(QtMovie* movie);
