// The shot-derived values of the movie; see movie_format.h.
#include "movie/movie_format.h"

#include <cmath>
#include <cstring>

namespace {

const CodecEntry kCodecs[] = {
    {16, fourCC("apco"), "Apple ProRes 422 Proxy"}, {17, fourCC("apcs"), "Apple ProRes 422 LT"},
    {18, fourCC("apcn"), "Apple ProRes 422"},       {19, fourCC("apch"), "Apple ProRes 422"},
    {20, fourCC("ap4h"), "Apple ProRes 4444"},      {21, fourCC("ap4x"), "Apple ProRes 4444 XQ"},
};

}  // namespace

TimeBase chooseTimeBase(float frameRate) {
  // Exact float compares: the camera stores these three rates as these floats.
  if (frameRate == 29.97f) return {30000, 1001};
  if (frameRate == 23.976f) return {24000, 1001};
  if (frameRate == 59.94f) return {60000, 1001};
  // In double, so that a stored 23.98 (just below) gives 2397 and not 2398.
  const double scaled = static_cast<double>(frameRate) * 100.0;
  // NaN and values past int32 have no truncation; they count as no time scale.
  if (!(scaled > -2147483649.0 && scaled < 2147483648.0)) return {0, 100};
  return {static_cast<int32_t>(std::trunc(scaled)), 100};
}

TrackSize chooseTrackSize(int32_t width, int32_t height, uint8_t flags) {
  if ((flags & 0x10) != 0) return {(2 * int64_t{width}) / 3, 2 * int64_t{height}};
  return {width, height};
}

const CodecEntry* findCodec(int8_t codecId) {
  for (const CodecEntry& codec : kCodecs) {
    if (codec.id == codecId) return &codec;
  }
  return nullptr;
}

bool putPascalString(uint8_t* field, size_t fieldSize, const char* text) {
  const size_t length = std::strlen(text);
  if (fieldSize == 0 || length > fieldSize - 1 || length > 255) return false;
  field[0] = static_cast<uint8_t>(length);
  std::memcpy(field + 1, text, length);
  return true;
}

bool fillImageDescription(uint8_t* description, const CodecEntry& codec, uint16_t width,
                          uint16_t height) {
  if (!putPascalString(description + 50, kCompressorNameSize, codec.compressorName)) return false;
  store32be(description + 0, kImageDescriptionSize);
  store32be(description + 4, codec.codecType);
  store32be(description + 20, kVendorApple);
  store32be(description + 24, 0);      // temporal quality
  store32be(description + 28, 0x3FF);  // spatial quality
  store16be(description + 32, width);
  store16be(description + 34, height);
  store32be(description + 36, 0x480000);  // 72 dpi
  store32be(description + 40, 0x480000);
  store32be(description + 44, 0);       // data size
  store16be(description + 48, 1);       // frame count
  store16be(description + 82, 32);      // depth
  store16be(description + 84, 0xFFFF);  // color table id -1: none
  return true;
}
