// A whole damaged recording for the fault, interruption and hostile-folder
// tests: real ProRes frames made by ffmpeg laid into a source movie whose
// index is gone, two WAV files, and the checks that a rebuilt folder is right.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace testing_support {

// Six distinct 64x32 ProRes 422 frames from the fixture maker; empty (with
// a test failure added) when ffmpeg could not make them.
const std::vector<Bytes>& realProresFrames();

struct RecordingFolder {
  Bytes meta;                    // "0.mt"
  Bytes source;                  // the damaged movie
  std::vector<Bytes> frames;     // in file order
  std::vector<uint64_t> starts;  // each frame's offset in source
  Bytes firstWav;
  Bytes secondWav;
  std::string movieName = "clip.mov";
  std::string firstWavName = "a.wav";
  std::string secondWavName = "b.wav";

  void writeTo(const std::string& folder) const;
  // The names the recording puts in a folder, sorted.
  std::vector<std::string> inputNames() const;
  // Every input still holds exactly what writeTo put there.
  bool inputsUnchanged(const std::string& folder, std::string& why) const;
  // The stdout of a run that recovers everything.
  std::string successOutput() const;
  // The frames whose starts lie outside every skipped region of a run's
  // stdout ("unable to read ... at X, N bytes skipped").
  std::vector<Bytes> framesOutsideSkips(const std::string& out) const;
};

// The camera's layout: a movie header that lost its index, frameCount frames
// cycling through the real ones (gapAfter bytes of filler after the frame of
// that index, when given), and enough filler behind the last frame that the
// scan still takes it.
RecordingFolder makeRecording(size_t frameCount, size_t gapAfter = SIZE_MAX, size_t gapSize = 0);

// The repaired copy that the tool must write for a WAV input.
Bytes repairedWav(const Bytes& input);

// Reads the movie's video samples; false with why when the file is not a
// whole movie.
bool readMovieSamples(const std::string& path, std::vector<Bytes>& samples, std::string& why);

}  // namespace testing_support
