// The damaged recording built from real frames; see recording_folder.h.
#include "tests/recording_folder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "audio/wav.h"
#include "tests/atom_reader.h"
#include "tests/prores_fixtures.h"
#include "tests/support.h"

namespace testing_support {

namespace {

// Stands in for audio and container leftovers; never holds "icpf".
Bytes filler(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 29 + seed) % 97);
  return bytes;
}

Bytes wavLike(size_t size, uint8_t seed) {
  Bytes bytes = filler(size, seed);
  fillCanonicalWavHeader(bytes.data(), static_cast<uint32_t>(size));
  bytes[22] = 2;  // a stereo header, which the repair must replace
  return bytes;
}

bool sameBytes(const std::string& path, const Bytes& expected) {
  return fileExists(path) && readFile(path) == expected;
}

}  // namespace

const std::vector<Bytes>& realProresFrames() {
  static const std::vector<Bytes> frames = [] {
    ProresClip clip;
    return makeProresClip(kProresFlavours[2], 6, 64, 32, clip) ? clipFrames(clip)
                                                               : std::vector<Bytes>{};
  }();
  return frames;
}

RecordingFolder makeRecording(size_t frameCount, size_t gapAfter, size_t gapSize) {
  RecordingFolder recording;
  ShotValues shot;
  shot.width = 64;
  shot.height = 32;
  shot.codecId = 18;
  recording.meta = goodMeta(shot, 100);

  // ftyp, then the mdat header of a camera that never came back to size it.
  Bytes& source = recording.source;
  const Bytes head = {0, 0, 0,   20,  'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0,   0,
                      2, 0, 'q', 't', ' ', ' ', 0,   0,   0,   0,   'm', 'd', 'a', 't'};
  appendBytes(source, head);
  const std::vector<Bytes>& real = realProresFrames();
  if (real.empty()) return recording;
  for (size_t i = 0; i < frameCount; ++i) {
    recording.starts.push_back(source.size());
    recording.frames.push_back(real[i % real.size()]);
    appendBytes(source, real[i % real.size()]);
    if (i == gapAfter) appendBytes(source, filler(gapSize, 5));
  }
  appendBytes(source, filler(70000, 11));
  recording.firstWav = wavLike(4000, 3);
  recording.secondWav = wavLike(2501, 7);
  return recording;
}

void RecordingFolder::writeTo(const std::string& folder) const {
  writeFile(folder + "/0.mt", meta);
  writeFile(folder + "/" + movieName, source);
  writeFile(folder + "/" + firstWavName, firstWav);
  writeFile(folder + "/" + secondWavName, secondWav);
}

std::vector<std::string> RecordingFolder::inputNames() const {
  std::vector<std::string> names = {"0.mt", movieName, firstWavName, secondWavName};
  std::sort(names.begin(), names.end());
  return names;
}

bool RecordingFolder::inputsUnchanged(const std::string& folder, std::string& why) const {
  const std::pair<std::string, const Bytes*> inputs[] = {{"0.mt", &meta},
                                                         {movieName, &source},
                                                         {firstWavName, &firstWav},
                                                         {secondWavName, &secondWav}};
  for (const auto& input : inputs) {
    if (!sameBytes(folder + "/" + input.first, *input.second)) {
      why = input.first + " changed";
      return false;
    }
  }
  return true;
}

std::string RecordingFolder::successOutput() const {
  std::string out = "max frame number = 100\n64x32@25.000000\n";
  char line[64];
  for (size_t i = 0; i < frames.size(); ++i) {
    std::snprintf(line, sizeof line, "%zu @ %" PRIu64 "\n", frames[i].size(), starts[i]);
    out += line;
  }
  return out + "reach end of file!\n";
}

std::vector<Bytes> RecordingFolder::framesOutsideSkips(const std::string& out) const {
  std::vector<std::pair<uint64_t, uint64_t>> skips;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    unsigned long long at = 0;
    unsigned long long count = 0;
    if (std::sscanf(line.c_str(), "unable to read %*s at %llu, %llu bytes skipped", &at, &count) ==
        2) {
      skips.emplace_back(at, at + count);
    }
  }
  std::vector<Bytes> kept;
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool skipped = std::any_of(skips.begin(), skips.end(), [&](const auto& skip) {
      return starts[i] >= skip.first && starts[i] < skip.second;
    });
    if (!skipped) kept.push_back(frames[i]);
  }
  return kept;
}

Bytes repairedWav(const Bytes& input) {
  Bytes copy = input;
  fillCanonicalWavHeader(copy.data(), static_cast<uint32_t>(copy.size()));
  return copy;
}

bool readMovieSamples(const std::string& path, std::vector<Bytes>& samples, std::string& why) {
  MovieFile movie;
  if (!readMovieFile(path, movie)) {
    why = "atoms do not tile the file: " + movie.error;
    return false;
  }
  TrackSamples track;
  if (!readTrackSamples(movie, track)) {
    why = "no video track";
    return false;
  }
  if (!readSampleBytes(movie, track, samples)) {
    why = "a sample lies outside the file";
    return false;
  }
  return true;
}

}  // namespace testing_support
