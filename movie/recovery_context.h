// The single object of a run: the recording's metadata and the output movie,
// whose objects it owns from creation until its destructor finishes the file.
#pragma once

#include <cstdint>
#include <string>

#include "meta/meta.h"
#include "platform/file.h"

struct QtHandle;
struct QtMovie;
struct QtDataHandler;
struct QtTrack;
struct QtMedia;

struct MovieOutput {
  uint32_t dataRefType;
  QtHandle* dataRef;
  QtMovie* movie;
  QtDataHandler* dataHandler;
  QtTrack* track;
  QtMedia* media;
  QtHandle* imageDescription;
  int32_t timeScale;
  int32_t frameDuration;
  bool editsOpen;
};

// How finishing the movie ended, for the caller to report.
enum class MovieFinish {
  Finished,      // written whole under its name and flushed (or there was no movie)
  WriteFailed,   // not written whole: nothing new is under its name
  KeptExisting,  // known incomplete, and a file already at its name was kept instead
  NotFlushed,    // written whole under its name, but its folder could not be flushed
};

// How a frame copied inside the kernel ended.
enum class FrameCopy {
  Appended,     // all its bytes are in the movie, and it is indexed
  Unsupported,  // the system cannot copy it there: nothing was written
  Failed,       // not appended; the buffered road can tell a read error from a write error
};

class RecoveryContext {
 public:
  RecoveryContext();
  ~RecoveryContext();
  RecoveryContext(const RecoveryContext&) = delete;
  RecoveryContext& operator=(const RecoveryContext&) = delete;

  bool readRecordingMeta();
  // Creates the output movie at path; prints one message and returns false on failure.
  bool createMovie(const std::string& path);
  // Appends size bytes as the next sample; prints one message and returns false on failure.
  bool appendFrame(const uint8_t* data, int32_t size);
  // The same for a frame found at sourceOffset in source, which is placed in
  // the movie to share blocks with it where the file system can.
  bool appendFrame(const uint8_t* data, int32_t size, File& source, uint64_t sourceOffset);
  // Appends the frame at sourceOffset in source, copied inside the kernel
  // without passing through the tool's memory. Prints nothing.
  FrameCopy copyFrame(File& source, uint64_t sourceOffset, int32_t size);
  // Ends editing, writes the movie, closes the file and releases everything.
  // The destructor does this too; calling it first lets the caller learn
  // whether the movie reached the disk. A movie the caller knows lacks
  // frames (complete false) never replaces a file already at its name.
  // Prints nothing. A second call only repeats the harmless stops.
  MovieFinish finishMovie(bool complete = true);

  RecordingMeta meta;
  MovieOutput output;
};
