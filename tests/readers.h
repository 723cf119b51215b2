// Reading a rebuilt movie with readers that share no code with ffmpeg: GPAC's
// JavaScript reader (npm mp4box) and mkvtoolnix's mkvmerge, both through
// tests/readers/read-movie.js, which the test command sets up.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ReaderReport {
  bool ran = false;  // the reader could be started at all
  std::vector<std::string> errors;
  int tracks = -1;
  std::map<std::string, std::string> track;  // the first track: codec, width, height, samples
};

// reader is "mp4box" or "mkvmerge".
ReaderReport readMovieWith(const std::string& reader, const std::string& path);

// Whether node with mp4box and mkvmerge are all here. When they are not, the
// tests that need them skip, unless PRORESCUE_REQUIRE_READERS is set (the
// test command sets it), in which case they fail.
bool readersAvailable(std::string& why);

}  // namespace testing_support

// Skips the test when the readers are missing, or fails it where the test
// command promised them.
#define PRORESCUE_REQUIRE_READERS()                                                      \
  do {                                                                                   \
    std::string readersMissing;                                                          \
    if (!::testing_support::readersAvailable(readersMissing)) {                          \
      if (std::getenv("PRORESCUE_REQUIRE_READERS") != nullptr) FAIL() << readersMissing; \
      GTEST_SKIP() << readersMissing;                                                    \
    }                                                                                    \
  } while (false)
