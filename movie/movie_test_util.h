// Helpers shared by the movie writer's tests: a context with chosen shot
// values, captured messages, patterned frames, and reading a written movie
// back. Real ProRes comes from tests/prores_fixtures.h, runs under a
// file-size limit from tests/support.h.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "movie/recovery_context.h"
#include "tests/atom_reader.h"
#include "tests/support.h"

namespace movie_testing {

using testing_support::ShotValues;

inline void setShot(RecoveryContext& context, const ShotValues& values) {
  const Bytes payload = testing_support::shotPayload(values);
  std::memcpy(context.meta.shot.bytes, payload.data(), payload.size());
}

struct Printed {
  bool ok = false;
  std::string text;
};

inline Printed createMovieCapturing(RecoveryContext& context, const std::string& path) {
  testing_support::CapturedStdout captured;
  Printed printed;
  printed.ok = context.createMovie(path);
  printed.text = captured.finish();
  return printed;
}

inline Printed appendCapturing(RecoveryContext& context, const Bytes& frame) {
  testing_support::CapturedStdout captured;
  Printed printed;
  printed.ok = context.appendFrame(frame.data(), static_cast<int32_t>(frame.size()));
  printed.text = captured.finish();
  return printed;
}

// Distinct, recognisable bytes; not a decodable frame.
inline Bytes patternFrame(size_t size, uint32_t seed) {
  Bytes frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>((i * 31 + seed * 7) ^ (i >> 8));
  return frame;
}

inline bool allObjectsReleased(const MovieOutput& output) {
  return output.dataRefType == 0 && output.dataRef == nullptr && output.movie == nullptr &&
         output.dataHandler == nullptr && output.track == nullptr && output.media == nullptr &&
         output.imageDescription == nullptr;
}

struct ReadBack {
  testing_support::MovieFile file;
  testing_support::TrackSamples track;
  std::vector<Bytes> samples;
};

inline bool readBack(const std::string& path, ReadBack& back) {
  return testing_support::readMovieFile(path, back.file) &&
         testing_support::readTrackSamples(back.file, back.track) &&
         testing_support::readSampleBytes(back.file, back.track, back.samples);
}

using testing_support::runWithFileSizeLimit;

}  // namespace movie_testing
