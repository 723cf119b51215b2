// ProRes clips and damaged recordings for the end-to-end tests; see
// prores_fixtures.h.
#include "tests/prores_fixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "driver/scanner.h"
#include "tests/ffprobe.h"
#include "tests/support.h"

namespace testing_support {

const std::vector<ProresFlavour> kProresFlavours = {
    {"proxy", 0, 16, "apco", "yuv422p10le", 25.0f, "25", "25/1"},
    {"lt", 1, 17, "apcs", "yuv422p10le", 29.97f, "30000/1001", "30000/1001"},
    {"standard", 2, 18, "apcn", "yuv422p10le", 23.976f, "24000/1001", "24000/1001"},
    {"hq", 3, 19, "apch", "yuv422p10le", 50.0f, "50", "50/1"},
    {"4444", 4, 20, "ap4h", "yuva444p10le", 59.94f, "60000/1001", "60000/1001"},
    {"4444xq", 5, 21, "ap4x", "yuv444p10le", 24.0f, "24", "24/1"},
};

namespace {

// "size=60075|pos=36" lines from ffprobe's compact output.
bool parsePackets(const std::string& text, std::vector<FrameSpan>& frames) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    FrameSpan span;
    bool haveSize = false;
    bool havePos = false;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '|')) {
      if (field.rfind("size=", 0) == 0) {
        span.size = static_cast<uint32_t>(std::stoul(field.substr(5)));
        haveSize = true;
      } else if (field.rfind("pos=", 0) == 0) {
        span.offset = std::stoull(field.substr(4));
        havePos = true;
      }
    }
    if (!haveSize || !havePos) return false;
    frames.push_back(span);
  }
  return true;
}

struct TopAtom {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// The top-level atom of a type, by walking sizes from the file's start.
bool findTopAtom(const Bytes& movie, const char* type, TopAtom& found) {
  uint64_t at = 0;
  while (at + 8 <= movie.size()) {
    uint64_t size = get32be(movie.data() + at);
    if (size == 1 && at + 16 <= movie.size()) size = get64be(movie.data() + at + 8);
    if (size == 0) size = movie.size() - at;
    if (size < 8 || at + size > movie.size()) return false;
    if (std::memcmp(movie.data() + at + 4, type, 4) == 0) {
      found = {at, size};
      return true;
    }
    at += size;
  }
  return false;
}

// Deterministic filler, so a failing layout can be rebuilt exactly.
struct Filler {
  uint32_t state = 2463534242u;
  uint8_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<uint8_t>(state);
  }
};

void appendGarbage(Bytes& to, uint64_t length, Filler& filler) {
  const size_t start = to.size();
  for (uint64_t i = 0; i < length; ++i) to.push_back(filler.next());
  // Headers that are almost right: each differs from a frame's in one byte.
  static const char* const kNearMisses[][2] = {
      {"icpf", "fmpx"}, {"ICPF", "fmpg"}, {"Icpf", "ZARO"}, {"icpF", "ZARO"}};
  size_t pick = start;
  for (uint64_t at = 5; at + 16 <= length; at += 4099) {
    const auto& miss = kNearMisses[pick++ % 4];
    uint8_t* place = to.data() + start + at;
    store32be(place, 1000);
    std::memcpy(place + 4, miss[0], 4);
    std::memcpy(place + 12, miss[1], 4);
  }
}

// Where encoded clips are kept: the build tree's cache, shared by every test
// process of the build; a build without one keeps them for this process only.
std::string cacheFolder() {
#ifdef PRORESCUE_FIXTURE_CACHE
  return PRORESCUE_FIXTURE_CACHE;
#else
  static const TempDir folder;
  return folder.path;
#endif
}

// Another ffmpeg may encode and decode differently, so it makes other entries.
const std::string& ffmpegVersion() {
  static const std::string version = [] {
    std::string line;
    runShell("ffmpeg -version 2>/dev/null | head -n 1", &line);
    return line;
  }();
  return version;
}

// FNV-1a: a short, stable name for everything an entry was made from.
std::string keyHash(const std::string& key) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : key) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// "offset size hash" per frame, as the entry keeps them.
bool parseFrames(const Bytes& text, ProresClip& clip) {
  std::istringstream lines(std::string(text.begin(), text.end()));
  FrameSpan span;
  std::string hash;
  while (lines >> span.offset >> span.size >> hash) {
    clip.frames.push_back(span);
    clip.hashes.push_back(hash);
  }
  return lines.eof() && !clip.frames.empty();
}

// Encodes into folder: the movie, then where ffprobe finds each frame and
// what each decodes to.
bool encodeInto(const std::string& folder, const std::string& encodeArgs) {
  const std::string movie = folder + "/clip.mov";
  if (runShell("ffmpeg -v error -y " + encodeArgs + " " + shellQuote(movie)) != 0) {
    return false;
  }
  std::string packets;
  if (runShell("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
               "-of compact=p=0 " +
                   shellQuote(movie),
               &packets) != 0) {
    return false;
  }
  std::vector<FrameSpan> spans;
  const std::vector<std::string> hashes = frameHashes(movie);
  if (!parsePackets(packets, spans) || spans.empty() || hashes.size() != spans.size()) {
    return false;
  }
  std::string frames;
  for (size_t i = 0; i < spans.size(); ++i) {
    frames += std::to_string(spans[i].offset) + " " + std::to_string(spans[i].size) + " " +
              hashes[i] + "\n";
  }
  writeText(folder + "/frames", frames);
  return true;
}

// The entry folder for these encode arguments, made when missing. Processes
// of one build (ctest -j) take turns under a lock, so each clip is encoded
// once; an entry is built under a temporary name and renamed into place
// whole, so a process killed midway never leaves half an entry behind.
bool cachedEncode(const std::string& encodeArgs, const std::string& label, std::string& entry) {
  const std::string root = cacheFolder();
  if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) return false;
  const std::string name = label + "-" + keyHash(ffmpegVersion() + "\n" + encodeArgs);
  entry = root + "/" + name;
  const int lock = ::open((entry + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) ::close(lock);
    return false;
  }
  bool made = fileExists(entry + "/frames");
  if (!made) {
    std::string pattern = root + "/." + name + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) {
      const std::string building = buffer.data();
      writeText(building + "/key", ffmpegVersion() + "\n" + encodeArgs + "\n");
      made = encodeInto(building, encodeArgs) && ::rename(building.c_str(), entry.c_str()) == 0;
      if (!made) runShell("rm -rf " + shellQuote(building));
    }
  }
  ::close(lock);
  return made;
}

}  // namespace

bool makeProresClip(const ProresFlavour& flavour, int count, int width, int height,
                    ProresClip& clip) {
  std::ostringstream encode;
  encode << "-f lavfi -i testsrc2=size=" << width << "x" << height << ":rate=" << flavour.ffmpegRate
         << " -frames:v " << count << " -c:v prores_ks -profile:v " << flavour.profile
         << " -vendor fmpg -pix_fmt " << flavour.pixelFormat;
  std::string entry;
  const std::string label = std::string(flavour.name) + "-" + std::to_string(width) + "x" +
                            std::to_string(height) + "-" + std::to_string(count);
  if (!cachedEncode(encode.str(), label, entry)) {
    ADD_FAILURE() << "ffmpeg or ffprobe could not make " << flavour.name;
    return false;
  }
  clip = ProresClip{};
  clip.flavour = flavour;
  clip.width = width;
  clip.height = height;
  clip.movie = readFile(entry + "/clip.mov");
  if (!parseFrames(readFile(entry + "/frames"), clip) ||
      clip.frames.size() != static_cast<size_t>(count)) {
    ADD_FAILURE() << "unexpected frames in " << entry;
    return false;
  }
  for (const FrameSpan& frame : clip.frames) {
    if (frame.offset + frame.size > clip.movie.size() ||
        std::memcmp(clip.movie.data() + frame.offset + 4, "icpf", 4) != 0) {
      ADD_FAILURE() << "a packet of " << flavour.name << " is not a frame";
      return false;
    }
  }
  return true;
}

std::vector<Bytes> clipFrames(const ProresClip& clip) {
  std::vector<Bytes> frames;
  for (const FrameSpan& span : clip.frames) {
    const auto first = clip.movie.begin() + static_cast<std::ptrdiff_t>(span.offset);
    frames.emplace_back(first, first + span.size);
  }
  return frames;
}

ShotValues shotFor(const ProresClip& clip) {
  ShotValues shot;
  shot.width = clip.width;
  shot.height = clip.height;
  shot.reportedRate = clip.flavour.frameRate;
  shot.frameRate = clip.flavour.frameRate;
  shot.codecId = clip.flavour.codecId;
  return shot;
}

Recording withIndexLost(const ProresClip& clip) {
  Recording recording{clip.movie, clip.frames};
  TopAtom moov;
  TopAtom mdat;
  if (!findTopAtom(clip.movie, "moov", moov) || !findTopAtom(clip.movie, "mdat", mdat)) {
    ADD_FAILURE() << "no moov or mdat in " << clip.flavour.name;
    return recording;
  }
  recording.bytes.erase(
      recording.bytes.begin() + static_cast<std::ptrdiff_t>(moov.offset),
      recording.bytes.begin() + static_cast<std::ptrdiff_t>(moov.offset + moov.size));
  for (FrameSpan& frame : recording.frames) {
    if (frame.offset > moov.offset) frame.offset -= moov.size;
  }
  const uint64_t mdatAt = mdat.offset > moov.offset ? mdat.offset - moov.size : mdat.offset;
  store32be(recording.bytes.data() + mdatAt, 0);
  return recording;
}

Recording cutInsideFrame(const Recording& recording, size_t index, uint64_t into) {
  Recording cut = recording;
  const FrameSpan& frame = recording.frames.at(index);
  EXPECT_LT(into, frame.size);
  cut.bytes.resize(frame.offset + into);
  return cut;
}

Recording withGarbageBetween(const ProresClip& clip) {
  // Gaps around a window's length and step, and ones too short for a header.
  static const uint64_t kGaps[] = {1000, 0, 17, 65519, 65520, 65536, 3, 100000, 1, 40000, 131041};
  Recording recording;
  Filler filler;
  size_t gap = 0;
  for (const FrameSpan& frame : clip.frames) {
    appendGarbage(recording.bytes, kGaps[gap++ % (sizeof kGaps / sizeof kGaps[0])], filler);
    recording.frames.push_back({recording.bytes.size(), frame.size});
    const auto begin = clip.movie.begin() + static_cast<std::ptrdiff_t>(frame.offset);
    recording.bytes.insert(recording.bytes.end(), begin, begin + frame.size);
  }
  appendGarbage(recording.bytes, 70000, filler);
  return recording;
}

std::string expectedScanLines(const Recording& recording, size_t& framesTaken) {
  std::string lines;
  framesTaken = 0;
  const uint64_t length = recording.bytes.size();
  uint64_t position = 0;
  for (const FrameSpan& frame : recording.frames) {
    // Windows without a header advance by a step until one holds this one.
    const uint64_t window = position + (frame.offset - position) / kScanStep * kScanStep;
    if (window + kScanWindowSize > length) break;
    lines += std::to_string(frame.size) + " @ " + std::to_string(frame.offset) + "\n";
    if (frame.offset + frame.size > length) break;
    ++framesTaken;
    position = frame.offset + frame.size;
  }
  return lines + "reach end of file!\n";
}

}  // namespace testing_support
