// The "0.mt" reader: walks the file section by section, checks each known
// section's length, stores its payload byte for byte and prints the camera
// tool's own lines for every stop.
#include "meta/meta.h"

#include <cstdio>

#include "platform/file.h"

namespace {

struct SectionRule {
  MetaSectionType type;
  uint32_t length;
  const char* lengthMessage;
  const char* readMessage;
};

constexpr SectionRule kSectionRules[] = {
    {kSectionRevision, kRevisionInfoSize, "meta revision lengh mis-match!\n",
     "err reading meta rev!\n"},
    {kSectionModel, kModelSize, "meta model lengh mis-match!\n", "err reading meta model!\n"},
    {kSectionShot, kShotInfoSize, "meta shot lengh mis-match!\n", "err reading meta shot!\n"},
    {kSectionCcdFixTable, kCcdFixTableSize, "meta ccd fix table lengh mis-match!\n",
     "err reading meta ccd fix table!\n"},
    {kSectionFrams, kFramsSize, "FRAMS lengh mis-match!\n", "err reading max frame number!\n"},
    {kSectionCurve, kCurveSize, "meta curve lengh mis-match!\n", "err reading meta curve!\n"},
};

const SectionRule* findRule(int32_t type) {
  for (const SectionRule& rule : kSectionRules) {
    if (rule.type == type) return &rule;
  }
  return nullptr;
}

uint8_t* sectionField(RecordingMeta& meta, MetaSectionType type) {
  switch (type) {
    case kSectionRevision:
      return meta.revisionInfo;
    case kSectionModel:
      return meta.model;
    case kSectionShot:
      return meta.shot.bytes;
    case kSectionCcdFixTable:
      return meta.ccdFixTable;
    case kSectionFrams:
      return reinterpret_cast<uint8_t*>(&meta.maxFrameNumber);
    case kSectionCurve:
      return meta.curve;
  }
  return nullptr;
}

// A complete known section has been stored; true when reading goes on.
bool actOnSection(RecordingMeta& meta, MetaSectionType type, bool& shotRead) {
  switch (type) {
    case kSectionRevision: {
      const int32_t revision = asSigned32(get32le(meta.revisionInfo + 4));
      if (revision == kExpectedMetaRevision) return true;
      std::printf("unexpected meta rev: %d!=%d\n", revision, kExpectedMetaRevision);
      return false;
    }
    case kSectionShot:
      shotRead = true;
      return true;
    case kSectionFrams: {
      // The payload was stored as it lies in the file; give it its value on any host.
      uint8_t raw[kFramsSize];
      std::memcpy(raw, &meta.maxFrameNumber, sizeof raw);
      meta.maxFrameNumber = asSigned32(get32le(raw));
      std::printf("max frame number = %d\n", meta.maxFrameNumber);
      return false;
    }
    case kSectionModel:
    case kSectionCcdFixTable:
    case kSectionCurve:
      return true;
  }
  return false;
}

bool readKnownSection(File& file, RecordingMeta& meta, const SectionRule& rule, uint32_t length,
                      uint64_t& position, bool& shotRead) {
  if (length != rule.length) {
    std::fputs(rule.lengthMessage, stdout);
    return false;
  }
  // Whatever arrives stays in the field, even when the read comes up short.
  if (file.read(sectionField(meta, rule.type), length).count != length) {
    std::fputs(rule.readMessage, stdout);
    return false;
  }
  position += length;
  return actOnSection(meta, rule.type, shotRead);
}

bool skipUnknownSection(File& file, int32_t type, uint32_t length, uint64_t& position) {
  std::printf("unknown meta type: %d\n", type);
  if (length == 0) {
    std::fputs("invalid section length!\n", stdout);
    return false;
  }
  // An absolute 64-bit target treats every length as forward, so even one of
  // 2^31 or more can never lead back to a header already read. A move past
  // the end is fine: the next header read comes up short.
  position += length;
  if (!file.seek(position)) {
    // Reading on from where the file stands would take payload bytes for a header.
    std::fputs("unexpected end of meta!\n", stdout);
    return false;
  }
  return true;
}

// Reads one section; true when the next one is to be read.
bool readSection(File& file, RecordingMeta& meta, uint64_t& position, bool& shotRead) {
  uint8_t header[kMetaSectionHeaderSize];
  if (file.read(header, sizeof header).count != sizeof header) {
    std::fputs("unexpected end of meta!\n", stdout);
    return false;
  }
  position += sizeof header;
  const int32_t type = asSigned32(get32le(header));
  const uint32_t length = get32le(header + 4);
  const SectionRule* rule = findRule(type);
  if (rule == nullptr) return skipUnknownSection(file, type, length, position);
  return readKnownSection(file, meta, *rule, length, position, shotRead);
}

}  // namespace

bool readRecordingMeta(RecordingMeta& meta) {
  File file;
  if (!file.openForReading("0.mt")) {
    std::puts("unable read 0.mt");
    return false;
  }
  bool shotRead = false;
  uint64_t position = 0;
  while (readSection(file, meta, position, shotRead)) {
  }
  // Nothing was written, so a failed close cannot change what was read.
  file.close();
  return shotRead;
}
