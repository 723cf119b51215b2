// Reading a movie back with ffprobe and ffmpeg, for tests: the streams as
// ffprobe reports them, anything it complained about, and decoded-frame hashes.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct ProbedStream {
  std::string codecType;  // "video", ...
  std::string codecName;  // "prores", ...
  std::string codecTag;   // codec_tag_string, e.g. "apcn"
  std::string colorPrimaries;
  std::string colorTransfer;
  std::string colorSpace;
  std::string timeBase;   // "1/2500"
  std::string frameRate;  // r_frame_rate, "25/1"
  std::string fieldOrder;
  std::string sampleAspectRatio;
  long long width = -1;
  long long height = -1;
  long long packets = 0;  // nb_read_packets
};

struct ProbeResult {
  int exitCode = -1;
  std::string errors;  // ffprobe's stderr at -v error; empty for a clean file
  std::vector<ProbedStream> streams;
  std::string json;
};

// ffprobe -v error -count_packets -show_streams -of json path
ProbeResult probeMovie(const std::string& path);
// The hash column of ffmpeg's framemd5 output, one entry per decoded frame;
// empty when ffmpeg fails or reports an error.
std::vector<std::string> frameHashes(const std::string& path);

}  // namespace testing_support
