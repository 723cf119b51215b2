// Tests of the "0.mt" reader on crafted files: the lines it prints, the
// result it gives, and where each payload's bytes end up.
#include "meta/meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

Bytes filler(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
  return bytes;
}

Bytes cut(Bytes bytes, size_t keep) {
  bytes.resize(keep);
  return bytes;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) appendBytes(all, part);
  return all;
}

Bytes revision(int32_t value) {
  return metaSection(kSectionRevision, revisionPayload(value));
}

Bytes frams(int32_t value) {
  Bytes payload;
  put32le(payload, static_cast<uint32_t>(value));
  return metaSection(kSectionFrams, payload);
}

Bytes header(int32_t type, uint32_t length) {
  return metaSection(type, length, {});
}

const ShotValues kFirstValues{4096, 2160, 25.0f, 24.0f, 17, 0x10};
const ShotValues kSecondValues{1280, 720, 50.0f, 59.94f, 21, 0x01};

struct KnownType {
  MetaSectionType type;
  uint32_t length;
  const char* lengthMessage;
  const char* readMessage;
};
const KnownType kKnownTypes[] = {
    {kSectionRevision, 12, "meta revision lengh mis-match!\n", "err reading meta rev!\n"},
    {kSectionModel, 232, "meta model lengh mis-match!\n", "err reading meta model!\n"},
    {kSectionShot, 673, "meta shot lengh mis-match!\n", "err reading meta shot!\n"},
    {kSectionCcdFixTable, 8192, "meta ccd fix table lengh mis-match!\n",
     "err reading meta ccd fix table!\n"},
    {kSectionFrams, 4, "FRAMS lengh mis-match!\n", "err reading max frame number!\n"},
    {kSectionCurve, 131072, "meta curve lengh mis-match!\n", "err reading meta curve!\n"},
};

struct MetaCase {
  std::string name;
  Bytes file;
  std::string out;
  bool result;
  Bytes shot = {};       // the shot bytes expected afterwards; empty: not checked
  FaultPlan fault = {};  // nth 0: no fault
};

std::vector<MetaCase> metaCases() {
  const Bytes first = shotPayload(kFirstValues);
  const Bytes second = shotPayload(kSecondValues);
  const Bytes firstShot = metaSection(kSectionShot, first);
  const Bytes secondShot = metaSection(kSectionShot, second);
  const std::string endOfMeta = "unexpected end of meta!\n";

  Bytes mixedShot = cut(second, 100);
  mixedShot.insert(mixedShot.end(), first.begin() + 100, first.end());

  std::vector<MetaCase> cases = {
      {"empty file", {}, endOfMeta, false},
      {"only a good shot", firstShot, endOfMeta, true, first},
      {"no shot, FRAMS read",
       join({revision(4), metaSection(kSectionModel, filler(232, 1)),
             metaSection(kSectionCcdFixTable, filler(8192, 2)),
             metaSection(kSectionCurve, filler(131072, 3)), frams(100)}),
       "max frame number = 100\n", false},
      {"shot after FRAMS", join({revision(4), frams(7), firstShot}), "max frame number = 7\n",
       false},
      {"sections after FRAMS not read",
       join({goodMeta(kFirstValues), secondShot, header(19, 0), header(kSectionShot, 1)}),
       "max frame number = 100\n", true, first},
      {"no revision section", join({firstShot, frams(3)}), "max frame number = 3\n", true},
      {"revision 3 before shot", join({revision(3), firstShot, frams(1)}),
       "unexpected meta rev: 3!=4\n", false},
      {"revision 3 after shot", join({firstShot, revision(3), secondShot, frams(1)}),
       "unexpected meta rev: 3!=4\n", true, first},
      {"shot length 672", metaSection(kSectionShot, cut(first, 672)),
       "meta shot lengh mis-match!\n", false},
      {"shot length 674 after a good shot", join({firstShot, header(kSectionShot, 674)}),
       "meta shot lengh mis-match!\n", true, first},
      {"two shots, second used", join({firstShot, secondShot}), endOfMeta, true, second},
      {"second shot cut short", join({firstShot, cut(secondShot, 8 + 100)}),
       "err reading meta shot!\n", true, mixedShot},
      // Skips both before and after known sections, so the skip target counts every byte read.
      {"type 19 skipped",
       join({revision(4), metaSection(19, filler(5, 9)), firstShot, metaSection(19, filler(7, 8)),
             frams(9)}),
       "unknown meta type: 19\nunknown meta type: 19\nmax frame number = 9\n", true, first},
      {"type with all bits set", metaSection(-1, filler(3, 4)),
       "unknown meta type: -1\n" + endOfMeta, false},
      {"unknown length 0", join({header(19, 0), firstShot}),
       "unknown meta type: 19\ninvalid section length!\n", false},
      {"unknown length 0 after a shot", join({firstShot, header(23, 0), secondShot}),
       "unknown meta type: 23\ninvalid section length!\n", true, first},
      {"unknown length past the end", join({firstShot, metaSection(19, 1000, filler(10, 5))}),
       "unknown meta type: 19\n" + endOfMeta, true, first},
      {"negative max frame number", frams(-5), "max frame number = -5\n", false},
      // As a signed distance these lengths point back at the header itself.
      {"unknown length 2^31", join({firstShot, header(40, 0x80000000u), frams(1)}),
       "unknown meta type: 40\n" + endOfMeta, true, first},
      {"unknown length 2^32 - 8", join({firstShot, header(40, 0xFFFFFFF8u), frams(1)}),
       "unknown meta type: 40\n" + endOfMeta, true, first},
      {"read error on the shot payload",
       goodMeta(kFirstValues),
       "err reading meta shot!\n",
       false,
       {},
       {FaultOp::Read, 4, false}},
      {"seek error over an unknown section",
       join({metaSection(19, filler(5, 9)), firstShot}),
       "unknown meta type: 19\n" + endOfMeta,
       false,
       {},
       {FaultOp::Seek, 1, false}},
  };
  for (const KnownType& known : kKnownTypes) {
    const std::string name = std::to_string(known.type);
    cases.push_back({"length mismatch, type " + name,
                     join({header(known.type, known.length + 1), firstShot}), known.lengthMessage,
                     false});
    cases.push_back({"payload cut short, type " + name,
                     metaSection(known.type, known.length, filler(known.length / 2, 6)),
                     known.readMessage, false});
  }
  return cases;
}

struct MetaRun {
  std::string out;
  bool result = false;
};

MetaRun readIn(const std::string& folder, RecordingMeta& meta, const FaultPlan& fault = {}) {
  ScopedChdir chdir(folder);
  CapturedStdout captured;
  if (fault.nth > 0) setFaultPlan(fault);
  MetaRun run;
  run.result = readRecordingMeta(meta);
  clearFaultPlan();
  run.out = captured.finish();
  return run;
}

std::unique_ptr<RecordingMeta> blankMeta() {
  auto meta = std::make_unique<RecordingMeta>();
  std::memset(meta.get(), 0xEE, sizeof *meta);
  return meta;
}

TEST(MetaReaderTest, CraftedFiles) {
  for (const MetaCase& c : metaCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir.file("0.mt"), c.file);
    auto meta = blankMeta();
    const MetaRun run = readIn(dir.path, *meta, c.fault);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.result, c.result);
    if (!c.shot.empty()) {
      EXPECT_EQ(Bytes(meta->shot.bytes, meta->shot.bytes + kShotInfoSize), c.shot);
    }
  }
}

TEST(MetaReaderTest, EverySectionLandsInItsField) {
  const Bytes model = filler(232, 11);
  const Bytes ccd = filler(8192, 22);
  const Bytes curve = filler(131072, 33);
  const Bytes shot = shotPayload(kFirstValues);
  TempDir dir;
  writeFile(dir.file("0.mt"),
            join({revision(4), metaSection(kSectionModel, model), metaSection(kSectionShot, shot),
                  metaSection(kSectionCcdFixTable, ccd), metaSection(kSectionCurve, curve),
                  frams(123456789)}));
  auto meta = blankMeta();
  const MetaRun run = readIn(dir.path, *meta);
  EXPECT_EQ(run.out, "max frame number = 123456789\n");
  EXPECT_TRUE(run.result);

  EXPECT_EQ(Bytes(meta->revisionInfo, meta->revisionInfo + 12), revisionPayload(4));
  EXPECT_EQ(Bytes(meta->model, meta->model + 232), model);
  EXPECT_EQ(Bytes(meta->shot.bytes, meta->shot.bytes + kShotInfoSize), shot);
  EXPECT_EQ(Bytes(meta->ccdFixTable, meta->ccdFixTable + 8192), ccd);
  EXPECT_EQ(Bytes(meta->curve, meta->curve + 131072), curve);
  EXPECT_EQ(meta->maxFrameNumber, 123456789);

  EXPECT_EQ(meta->shot.width(), 4096);
  EXPECT_EQ(meta->shot.height(), 2160);
  EXPECT_EQ(meta->shot.reportedRate(), 25.0f);
  EXPECT_EQ(meta->shot.frameRate(), 24.0f);
  EXPECT_EQ(meta->shot.codecId(), 17);
  EXPECT_EQ(meta->shot.flags(), 0x10);
}

TEST(MetaReaderTest, UnopenableMetaFile) {
  TempDir missing;
  TempDir folder;
  ASSERT_EQ(runShell("mkdir " + shellQuote(folder.file("0.mt"))), 0);
  for (const TempDir* dir : {&missing, &folder}) {
    SCOPED_TRACE(dir->path);
    auto meta = blankMeta();
    const MetaRun run = readIn(dir->path, *meta);
    EXPECT_EQ(run.out, "unable read 0.mt\n");
    EXPECT_FALSE(run.result);
  }
}

}  // namespace
