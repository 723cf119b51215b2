// The one maker of real ProRes for the tests: clips encoded by ffmpeg once
// per build and kept in the build tree, and damaged recordings built from
// them (the index lost, the file cut inside a frame, garbage between the
// frames). Every recording knows where its frames lie, so tests can say what
// a scan must report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "tests/support.h"

namespace testing_support {

struct ProresFlavour {
  const char* name;
  int profile;              // prores_ks -profile:v
  int8_t codecId;           // the camera's id for it in "0.mt"
  const char* codecTag;     // what the rebuilt movie must declare
  const char* pixelFormat;  // what ffmpeg encodes from
  float frameRate;          // as the camera stores it
  const char* ffmpegRate;   // the same rate for ffmpeg's -r
  const char* probedRate;   // r_frame_rate that ffprobe must report
};

// All six flavours, each at a different rate.
extern const std::vector<ProresFlavour> kProresFlavours;

struct FrameSpan {
  uint64_t offset = 0;
  uint32_t size = 0;
};

struct ProresClip {
  ProresFlavour flavour{};
  int width = 0;
  int height = 0;
  Bytes movie;                      // the file as ffmpeg wrote it
  std::vector<FrameSpan> frames;    // where each frame lies in movie
  std::vector<std::string> hashes;  // framemd5 of each decoded frame
};

// count frames of a moving test pattern. Encoding is slow and every test
// runs in its own process, so a clip is encoded once per build (per ffmpeg
// version) into the build's fixture cache and read from there afterwards.
// False (with a test failure added) when ffmpeg or ffprobe did not make it.
bool makeProresClip(const ProresFlavour& flavour, int count, int width, int height,
                    ProresClip& clip);
// Each of the clip's frames on its own, in file order.
std::vector<Bytes> clipFrames(const ProresClip& clip);
// The shot a camera recording the clip writes into "0.mt".
ShotValues shotFor(const ProresClip& clip);

struct Recording {
  Bytes bytes;
  std::vector<FrameSpan> frames;  // where the clip's frames lie in bytes, in order
};

// What a camera leaves when power fails: no moov, and an mdat of size 0.
Recording withIndexLost(const ProresClip& clip);
// The recording ends inside frame index, into bytes after its start.
Recording cutInsideFrame(const Recording& recording, size_t index, uint64_t into);
// Frames alone, with filler of varied lengths (near-miss headers included)
// before, between and after them; the tail is long enough for a whole window.
Recording withGarbageBetween(const ProresClip& clip);

// The lines a scan prints for a recording whose only headers are its frames,
// and how many frames it takes whole: a frame is met only where a whole
// window can still be read at its start.
std::string expectedScanLines(const Recording& recording, size_t& framesTaken);

}  // namespace testing_support
