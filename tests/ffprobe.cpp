// ffprobe and ffmpeg run as processes; see ffprobe.h.
#include "tests/ffprobe.h"

#include <algorithm>
#include <sstream>

#include "tests/support.h"

namespace testing_support {

namespace {

// The value after "key": in one stream's text, without quotes.
std::string jsonValue(const std::string& text, const std::string& key) {
  const std::string marker = "\"" + key + "\": ";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  size_t start = at + marker.size();
  if (start < text.size() && text[start] == '"') {
    const size_t end = text.find('"', start + 1);
    return text.substr(start + 1, end - start - 1);
  }
  size_t end = text.find_first_of(",\n}", start);
  return text.substr(start, end - start);
}

long long jsonNumber(const std::string& text, const std::string& key) {
  const std::string value = jsonValue(text, key);
  if (value.empty()) return -1;
  return std::stoll(value);
}

ProbedStream parseStream(const std::string& text) {
  ProbedStream stream;
  stream.codecType = jsonValue(text, "codec_type");
  stream.codecName = jsonValue(text, "codec_name");
  stream.codecTag = jsonValue(text, "codec_tag_string");
  stream.colorPrimaries = jsonValue(text, "color_primaries");
  stream.colorTransfer = jsonValue(text, "color_transfer");
  stream.colorSpace = jsonValue(text, "color_space");
  stream.timeBase = jsonValue(text, "time_base");
  stream.frameRate = jsonValue(text, "r_frame_rate");
  stream.fieldOrder = jsonValue(text, "field_order");
  stream.sampleAspectRatio = jsonValue(text, "sample_aspect_ratio");
  stream.width = jsonNumber(text, "width");
  stream.height = jsonNumber(text, "height");
  // ffprobe leaves the count out when no packet was read.
  stream.packets = std::max(jsonNumber(text, "nb_read_packets"), 0LL);
  return stream;
}

}  // namespace

ProbeResult probeMovie(const std::string& path) {
  TempDir scratch;
  const std::string errors = scratch.file("errors");
  ProbeResult result;
  result.exitCode = runShell("ffprobe -v error -count_packets -show_streams -of json " +
                                 shellQuote(path) + " 2>" + shellQuote(errors),
                             &result.json);
  const Bytes errorBytes = readFile(errors);
  result.errors.assign(errorBytes.begin(), errorBytes.end());
  // Each stream object begins with its "index" key.
  const std::string marker = "\"index\": ";
  size_t at = result.json.find(marker);
  while (at != std::string::npos) {
    const size_t next = result.json.find(marker, at + 1);
    result.streams.push_back(parseStream(result.json.substr(at, next - at)));
    at = next;
  }
  return result;
}

std::vector<std::string> frameHashes(const std::string& path) {
  std::string out;
  const int status = runShell(
      "ffmpeg -v error -xerror -i " + shellQuote(path) + " -f framemd5 - 2>/dev/null", &out);
  std::vector<std::string> hashes;
  if (status != 0) return hashes;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t cut = line.find_last_of(", ");
    hashes.push_back(line.substr(cut + 1));
  }
  return hashes;
}

}  // namespace testing_support
