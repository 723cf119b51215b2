// What the recording's shot values become in the movie: the time base, the
// track size, the ProRes codec and the video sample description with its
// three extensions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"

struct TimeBase {
  int32_t timeScale = 0;  // 0 or less when the rate gives no usable time scale
  int32_t frameDuration = 0;
};
TimeBase chooseTimeBase(float frameRate);

// 64-bit so that doubling a camera's width cannot overflow; the track call
// refuses what does not fit its 16-bit fields.
struct TrackSize {
  int64_t width = 0;
  int64_t height = 0;
};
TrackSize chooseTrackSize(int32_t width, int32_t height, uint8_t flags);

struct CodecEntry {
  int8_t id;
  FourCC codecType;
  const char* compressorName;
};
// Null for an id the table does not know.
const CodecEntry* findCodec(int8_t codecId);

constexpr FourCC kVendorApple = fourCC("appl");
constexpr size_t kImageDescriptionSize = 86;
constexpr size_t kCompressorNameSize = 32;

// One length byte and the text; false (field untouched) when it does not fit.
bool putPascalString(uint8_t* field, size_t fieldSize, const char* text);

// Fills a zeroed kImageDescriptionSize block in file byte order; the data
// reference index is left 0 for the file writer to set.
bool fillImageDescription(uint8_t* description, const CodecEntry& codec, uint16_t width,
                          uint16_t height);

// Extension payloads in file byte order.
constexpr uint8_t kPaspPayload[8] = {0, 0, 0, 1, 0, 0, 0, 1};                 // 1:1 pixels
constexpr uint8_t kNclcPayload[10] = {'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1};  // BT.709
constexpr uint8_t kFielPayload[2] = {1, 0};                                   // progressive
