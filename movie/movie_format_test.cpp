// The shot-derived values: time base, track size, codec table and the
// 86-byte sample description.
#include "movie/movie_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct RateCase {
  float rate;
  int32_t timeScale;
  int32_t frameDuration;
};

TEST(TimeBase, FollowsTheRateTable) {
  const RateCase kRates[] = {
      {29.97f, 30000, 1001}, {23.976f, 24000, 1001}, {59.94f, 60000, 1001}, {29.971f, 2997, 100},
      {25.0f, 2500, 100},    {23.98f, 2397, 100},    {50.0f, 5000, 100},    {0.5f, 50, 100},
  };
  for (const RateCase& c : kRates) {
    const TimeBase base = chooseTimeBase(c.rate);
    EXPECT_EQ(base.timeScale, c.timeScale) << c.rate;
    EXPECT_EQ(base.frameDuration, c.frameDuration) << c.rate;
  }
}

TEST(TimeBase, RatesWithoutAUsableScaleGiveNone) {
  const float kRates[] = {0.0f, -1.0f, std::nanf(""), 3e7f, -3e7f, INFINITY, 0.004f};
  for (float rate : kRates) EXPECT_LE(chooseTimeBase(rate).timeScale, 0) << rate;
}

TEST(TrackSize, DoublesHeightAndTakesTwoThirdsWidthWithBit0x10) {
  struct SizeCase {
    int32_t width, height;
    uint8_t flags;
    int64_t trackWidth, trackHeight;
  };
  const SizeCase kSizes[] = {
      {1000, 540, 0x10, 666, 1080},
      {1000, 540, 0x00, 1000, 540},
      {1000, 540, 0xEF, 1000, 540},
      {1920, 540, 0xFF, 1280, 1080},
      {-1000, 540, 0x10, -666, 1080},
      // Doubling must not wrap around 32 bits.
      {INT32_MAX, INT32_MAX, 0x10, int64_t{INT32_MAX} * 2 / 3, int64_t{INT32_MAX} * 2},
  };
  for (const SizeCase& c : kSizes) {
    const TrackSize size = chooseTrackSize(c.width, c.height, c.flags);
    EXPECT_EQ(size.width, c.trackWidth) << c.width << " flags " << int{c.flags};
    EXPECT_EQ(size.height, c.trackHeight) << c.height << " flags " << int{c.flags};
  }
}

TEST(CodecTable, KnowsSixProResFlavours) {
  struct CodecCase {
    int8_t id;
    const char* type;
    const char* name;
  };
  const CodecCase kCodecs[] = {
      {16, "apco", "Apple ProRes 422 Proxy"}, {17, "apcs", "Apple ProRes 422 LT"},
      {18, "apcn", "Apple ProRes 422"},       {19, "apch", "Apple ProRes 422"},
      {20, "ap4h", "Apple ProRes 4444"},      {21, "ap4x", "Apple ProRes 4444 XQ"},
  };
  for (const CodecCase& c : kCodecs) {
    const CodecEntry* codec = findCodec(c.id);
    ASSERT_NE(codec, nullptr) << int{c.id};
    char type[5] = {};
    store32be(reinterpret_cast<uint8_t*>(type), codec->codecType);
    EXPECT_STREQ(type, c.type);
    EXPECT_STREQ(codec->compressorName, c.name);
  }
  for (int8_t unknown : {int8_t{15}, int8_t{22}, int8_t{0}, int8_t{-56}}) {
    EXPECT_EQ(findCodec(unknown), nullptr) << int{unknown};
  }
}

TEST(ImageDescription, HoldsEveryFieldInFileOrder) {
  uint8_t d[kImageDescriptionSize] = {};
  ASSERT_TRUE(fillImageDescription(d, *findCodec(20), 666, 1080));
  struct Field {
    size_t offset, width;
    uint64_t value;
  };
  const Field kFields[] = {
      {0, 4, 86},        {4, 4, fourCC("ap4h")},
      {8, 4, 0},         {12, 2, 0},
      {14, 2, 0},        {16, 2, 0},
      {18, 2, 0},        {20, 4, fourCC("appl")},
      {24, 4, 0},        {28, 4, 1023},
      {32, 2, 666},      {34, 2, 1080},
      {36, 4, 0x480000}, {40, 4, 0x480000},
      {44, 4, 0},        {48, 2, 1},
      {82, 2, 32},       {84, 2, 0xFFFF},
  };
  for (const Field& f : kFields) {
    const uint64_t stored = f.width == 4 ? get32be(d + f.offset) : get16be(d + f.offset);
    EXPECT_EQ(stored, f.value) << "offset " << f.offset;
  }
  const char kName[] = "Apple ProRes 4444";
  EXPECT_EQ(d[50], sizeof kName - 1);
  EXPECT_EQ(std::memcmp(d + 51, kName, sizeof kName - 1), 0);
  for (size_t i = 51 + sizeof kName - 1; i < 82; ++i) EXPECT_EQ(d[i], 0) << "name pad " << i;
}

TEST(PascalString, RefusesTextLongerThanTheField) {
  uint8_t field[4] = {9, 9, 9, 9};
  EXPECT_TRUE(putPascalString(field, sizeof field, "abc"));
  EXPECT_EQ(field[0], 3);
  EXPECT_EQ(field[3], 'c');
  uint8_t untouched[4] = {9, 9, 9, 9};
  EXPECT_FALSE(putPascalString(untouched, sizeof untouched, "abcd"));
  EXPECT_EQ(untouched[0], 9);
}

}  // namespace
