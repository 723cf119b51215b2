// The camera's metadata file "0.mt": its section layout, the record that
// holds what was read, and the reader.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/bytes.h"

enum MetaSectionType : int32_t {
  kSectionRevision = 16,
  kSectionModel = 17,
  kSectionShot = 18,
  kSectionCcdFixTable = 20,
  kSectionFrams = 21,
  kSectionCurve = 22,
};

constexpr int32_t kExpectedMetaRevision = 4;
constexpr uint32_t kMetaSectionHeaderSize = 8;
constexpr uint32_t kRevisionInfoSize = 12;
constexpr uint32_t kModelSize = 232;
constexpr uint32_t kShotInfoSize = 673;
constexpr uint32_t kCcdFixTableSize = 8192;
constexpr uint32_t kCurveSize = 131072;
constexpr uint32_t kFramsSize = 4;

// The shot payload kept byte for byte; the fields the tool reads are decoded
// on demand from their little-endian offsets.
struct ShotInfo {
  uint8_t bytes[kShotInfoSize];

  int32_t width() const { return readInt32(0); }
  int32_t height() const { return readInt32(4); }
  float reportedRate() const { return readFloat(180); }
  float frameRate() const { return readFloat(184); }
  int8_t codecId() const { return static_cast<int8_t>(bytes[316]); }
  uint8_t flags() const { return bytes[466]; }

  int32_t readInt32(int offset) const { return asSigned32(get32le(bytes + offset)); }
  float readFloat(int offset) const { return asFloat32(get32le(bytes + offset)); }
};

struct RecordingMeta {
  uint8_t revisionInfo[kRevisionInfoSize];
  uint8_t model[kModelSize];
  ShotInfo shot;
  uint8_t ccdFixTable[kCcdFixTableSize];
  uint8_t curve[kCurveSize];
  int32_t maxFrameNumber;
};

// Reads "0.mt" from the working folder into meta, printing its own lines.
// True exactly when a complete shot section was read before reading stopped.
bool readRecordingMeta(RecordingMeta& meta);
