// Helpers shared by the movie writer's tests: a context with chosen shot
// values, captured messages, frames (patterned or real ProRes made by
// ffmpeg), reading a written movie back, and runs under a file-size limit.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
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

// A .mov of real ProRes frames from ffmpeg; profile 0..5 matches codec id 16..21.
inline std::string proresMovie(int profile, int width, int height, int frames) {
  static testing_support::TempDir folder;
  static std::map<std::string, std::string> made;
  const std::string key = std::to_string(profile) + "-" + std::to_string(width) + "x" +
                          std::to_string(height) + "-" + std::to_string(frames);
  auto found = made.find(key);
  if (found != made.end()) return found->second;
  const std::string path = folder.file("prores-" + key + ".mov");
  const char* pixels = profile >= 4 ? "yuva444p10le" : "yuv422p10le";
  const std::string command =
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
      std::to_string(height) + ":rate=25 -frames:v " + std::to_string(frames) + " -pix_fmt " +
      pixels + " -c:v prores_ks -profile:v " + std::to_string(profile) + " -vendor fmpg " +
      testing_support::shellQuote(path) + " 2>&1";
  if (testing_support::runShell(command) != 0) return {};
  made[key] = path;
  return path;
}

// The frames of such a movie, pulled out by the atom reader.
inline std::vector<Bytes> proresFrames(int profile, int width, int height, int frames) {
  ReadBack back;
  const std::string path = proresMovie(profile, width, height, frames);
  if (path.empty() || !readBack(path, back)) return {};
  return back.samples;
}

// Runs body in a child process whose files cannot grow past limit bytes
// (SIGXFSZ ignored, so a write past it fails with EFBIG); returns body's
// result, or -1 when the child died, and what it printed.
inline int runWithFileSizeLimit(uint64_t limit, const std::function<int()>& body,
                                std::string& printed) {
  testing_support::TempDir scratch;
  const std::string outPath = scratch.file("stdout");
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    std::FILE* out = std::freopen(outPath.c_str(), "w", stdout);
    if (out == nullptr) ::_exit(120);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rule;
    rule.rlim_cur = limit;
    rule.rlim_max = limit;
    if (::setrlimit(RLIMIT_FSIZE, &rule) != 0) ::_exit(121);
    const int result = body();
    std::fflush(stdout);
    ::_exit(result);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  const Bytes text = testing_support::readFile(outPath);
  printed.assign(text.begin(), text.end());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace movie_testing
