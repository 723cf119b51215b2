// The audio copy: its header and bytes for each input size, what it does to
// whatever already sits at its name, and the failures that must leave no
// copy behind and the input untouched; each with the outcome that decides
// the run's exit code.
#include "audio/wav.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support.h"

using namespace testing_support;

// Names the outcome in a failed expectation.
void PrintTo(WavOutcome outcome, std::ostream* out) {
  switch (outcome) {
    case WavOutcome::Repaired:
      *out << "Repaired";
      return;
    case WavOutcome::Refused:
      *out << "Refused";
      return;
    case WavOutcome::Unreadable:
      *out << "Unreadable";
      return;
    case WavOutcome::CopyFailed:
      *out << "CopyFailed";
      return;
  }
}

namespace {

// Mono, 16-bit, 48 kHz integer PCM, written out by hand; the two size fields
// (offsets 4 and 40) are left zero and filled per case.
const uint8_t kHeaderTemplate[44] = {
    'R',  'I',  'F',  'F',  0,    0,    0,    0,    'W',  'A',  'V',  'E',  'f',  'm',  't',
    ' ',  0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x80, 0xbb, 0x00, 0x00, 0x00, 0x77,
    0x01, 0x00, 0x02, 0x00, 0x10, 0x00, 'd',  'a',  't',  'a',  0,    0,    0,    0,
};

// Bytes that differ from the header at every offset, so a lost or moved byte shows.
Bytes patternBytes(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

void placeLe32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes expectedCopy(const Bytes& input, uint32_t dataSize, uint32_t riffSize) {
  Bytes copy = input;
  std::copy(std::begin(kHeaderTemplate), std::end(kHeaderTemplate), copy.begin());
  placeLe32(copy, 4, riffSize);
  placeLe32(copy, 40, dataSize);
  return copy;
}

struct Repair {
  WavOutcome outcome = WavOutcome::CopyFailed;
  std::string out;
};

Repair repair(const std::string& name) {
  CapturedStdout capture;
  Repair result;
  result.outcome = repairWav(name);
  result.out = capture.finish();
  return result;
}

bool isRegularFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

struct SizeCase {
  uint32_t size;
  const char* out;
  WavOutcome outcome;
  uint32_t dataSize;
  uint32_t riffSize;
};

const SizeCase kSizeCases[] = {
    {44, "", WavOutcome::Repaired, 0, 36},
    {45, "", WavOutcome::Repaired, 0, 36},
    {100, "", WavOutcome::Repaired, 56, 92},
    {101, "", WavOutcome::Repaired, 56, 92},
    {0, "error seek.\n", WavOutcome::Refused, 0, 0},
    {1, "wav file in.wav is shorter than a 44-byte header, skipped!\n", WavOutcome::Refused, 0, 0},
    {43, "wav file in.wav is shorter than a 44-byte header, skipped!\n", WavOutcome::Refused, 0, 0},
};

TEST(WavRewrite, CopyForEachInputSize) {
  for (const SizeCase& c : kSizeCases) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    TempDir dir;
    ScopedChdir inDir(dir.path);
    const Bytes input = patternBytes(c.size);
    writeFile(dir.file("in.wav"), input);

    const Repair run = repair("in.wav");

    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.outcome, c.outcome);
    EXPECT_EQ(readFile(dir.file("in.wav")), input);
    if (c.outcome == WavOutcome::Repaired) {
      EXPECT_EQ(readFile(dir.file("r_in.wav")), expectedCopy(input, c.dataSize, c.riffSize));
      EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"in.wav", "r_in.wav"}));
    } else {
      EXPECT_EQ(listNames(dir.path), std::vector<std::string>{"in.wav"});
    }
  }
}

TEST(WavRewrite, RefusedInputsMakeNoCopy) {
  TempDir dir;
  ScopedChdir inDir(dir.path);
  ASSERT_EQ(::mkdir(dir.file("folder.wav").c_str(), 0755), 0);
  // Sparse, so the test costs no disk space; its size alone must refuse it.
  writeFile(dir.file("big.wav"), patternBytes(64));
  ASSERT_EQ(::truncate(dir.file("big.wav").c_str(), off_t{1} << 31), 0);

  const struct {
    const char* name;
    const char* out;
  } kRefused[] = {{"missing.wav", "unable to open missing.wav!\n"},
                  {"folder.wav", "unable to open folder.wav!\n"},
                  {"big.wav", "wav file big.wav is 2 GiB or larger, skipped!\n"}};
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.name);
    const Repair run = repair(c.name);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.outcome, WavOutcome::Refused);
  }
  EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"big.wav", "folder.wav"}));
}

TEST(WavRewrite, ForeignHeadersAreOverwrittenAndTheRestKept) {
  TempDir dir;
  ScopedChdir inDir(dir.path);
  // A header of 58 bytes: a format chunk with its extension size and a fact
  // chunk before the data, so 14 of its bytes become the start of the samples.
  Bytes longHeader = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  put32le(longHeader, 18);
  appendBytes(longHeader, {1, 0, 2, 0, 0x44, 0xac, 0, 0, 0x10, 0xb1, 2, 0, 4, 0, 16, 0, 0, 0});
  appendBytes(longHeader, {'f', 'a', 'c', 't', 4, 0, 0, 0, 9, 9, 9, 9, 'd', 'a', 't', 'a'});
  put32le(longHeader, 1000);
  appendBytes(longHeader, patternBytes(1000));
  placeLe32(longHeader, 4, static_cast<uint32_t>(longHeader.size() - 8));
  writeFile(dir.file("long.wav"), longHeader);

  const Repair run = repair("long.wav");

  EXPECT_EQ(run.outcome, WavOutcome::Repaired);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(readFile(dir.file("r_long.wav")), expectedCopy(longHeader, 1014, 1050));
  EXPECT_EQ(readFile(dir.file("long.wav")), longHeader);
}

TEST(WavRewrite, StereoTwentyFourBitInputGetsTheMonoHeaderAndPlaysAsSuch) {
  if (runShell("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0) {
    GTEST_SKIP() << "ffmpeg and ffprobe are needed";
  }
  TempDir dir;
  ScopedChdir inDir(dir.path);
  ASSERT_EQ(
      runShell("ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=44100:duration=0.25"
               " -ac 2 -c:a pcm_s24le stereo.wav"),
      0);
  const Bytes input = readFile(dir.file("stereo.wav"));
  ASSERT_GT(input.size(), 44u);

  const Repair run = repair("stereo.wav");

  EXPECT_EQ(run.outcome, WavOutcome::Repaired);
  EXPECT_EQ(run.out, "");
  const uint32_t dataSize = static_cast<uint32_t>((input.size() - 44) & ~size_t{1});
  EXPECT_EQ(readFile(dir.file("r_stereo.wav")), expectedCopy(input, dataSize, dataSize + 36));
  EXPECT_EQ(readFile(dir.file("stereo.wav")), input);
  std::string probe;
  ASSERT_EQ(runShell("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,"
                     "bits_per_sample -of default=nw=1 r_stereo.wav",
                     &probe),
            0);
  EXPECT_EQ(probe, "codec_name=pcm_s16le\nsample_rate=48000\nchannels=1\nbits_per_sample=16\n");
}

struct OccupantCase {
  const char* what;
  bool withOther;  // a bystander file "other.bin" that must stay as it was
  std::function<void(const TempDir&)> place;
};

// Whatever sits at the copy's name, or at its temporary name, is replaced
// whole; nothing is written through a link.
const OccupantCase kOccupantCases[] = {
    {"a longer earlier copy", false,
     [](const TempDir& d) { writeFile(d.file("r_in.wav"), patternBytes(5000)); }},
    {"a symlink to the input", false,
     [](const TempDir&) { ASSERT_EQ(::symlink("in.wav", "r_in.wav"), 0); }},
    {"a hard link to the input", false,
     [](const TempDir&) { ASSERT_EQ(::link("in.wav", "r_in.wav"), 0); }},
    {"a symlink to another file", true,
     [](const TempDir&) { ASSERT_EQ(::symlink("other.bin", "r_in.wav"), 0); }},
    {"a hard link to another file", true,
     [](const TempDir&) { ASSERT_EQ(::link("other.bin", "r_in.wav"), 0); }},
    {"a dangling symlink", false,
     [](const TempDir&) { ASSERT_EQ(::symlink("nowhere.bin", "r_in.wav"), 0); }},
    {"a stale temp from a killed run", false,
     [](const TempDir& d) { writeFile(d.file("r_in.wav.part"), patternBytes(7000)); }},
    {"a stale temp that links to another file", true,
     [](const TempDir&) { ASSERT_EQ(::symlink("other.bin", "r_in.wav.part"), 0); }},
};

TEST(WavRewrite, CopyReplacesWhateverHoldsItsName) {
  const Bytes input = patternBytes(300);
  const Bytes other = patternBytes(77);
  for (const OccupantCase& c : kOccupantCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ScopedChdir inDir(dir.path);
    writeFile(dir.file("in.wav"), input);
    if (c.withOther) writeFile(dir.file("other.bin"), other);
    c.place(dir);

    const Repair run = repair("in.wav");

    EXPECT_EQ(run.outcome, WavOutcome::Repaired);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(isRegularFile(dir.file("r_in.wav")));
    EXPECT_EQ(readFile(dir.file("r_in.wav")), expectedCopy(input, 256, 292));
    EXPECT_EQ(readFile(dir.file("in.wav")), input);
    std::vector<std::string> names = {"in.wav", "r_in.wav"};
    if (c.withOther) {
      EXPECT_EQ(readFile(dir.file("other.bin")), other);
      names = {"in.wav", "other.bin", "r_in.wav"};
    }
    EXPECT_EQ(listNames(dir.path), names);
  }
}

TEST(WavRewrite, NamesNearTheEntryLimitStillGetACompleteCopy) {
  // 248 gives a temp of exactly 255 bytes; 253 a copy name of 255, so the temp
  // must be shortened; the multi-byte one puts that cut inside a character.
  std::string multiByte = "a";
  for (int i = 0; i < 124; ++i) multiByte += "\xc3\xa9";
  const std::string names[] = {std::string(244, 'a') + ".wav", std::string(249, 'b') + ".wav",
                               multiByte + ".wav"};
  const Bytes input = patternBytes(120);
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    TempDir dir;
    ScopedChdir inDir(dir.path);
    writeFile(dir.file(name), input);

    const Repair run = repair(name);

    EXPECT_EQ(run.outcome, WavOutcome::Repaired);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(readFile(dir.file("r_" + name)), expectedCopy(input, 76, 112));
    EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{name, "r_" + name}));
  }
}

struct UnwritableCase {
  const char* what;
  std::string name;
  const char* folderAt;            // a folder holding kept.bin is put here first, if given
  std::vector<std::string> names;  // the folder afterwards
};

TEST(WavRewrite, UnwritableCopyNameLeavesEverythingAsItWas) {
  const std::string longName = std::string(250, 'c') + ".wav";
  const UnwritableCase cases[] = {
      {"a folder at the copy's name", "in.wav", "r_in.wav", {"in.wav", "r_in.wav"}},
      {"a folder at the temporary name", "in.wav", "r_in.wav.part", {"in.wav", "r_in.wav.part"}},
      {"a copy name longer than an entry can be", longName, nullptr, {longName}},
  };
  for (const UnwritableCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ScopedChdir inDir(dir.path);
    const Bytes input = patternBytes(500);
    writeFile(dir.file(c.name), input);
    if (c.folderAt != nullptr) {
      ASSERT_EQ(::mkdir(dir.file(c.folderAt).c_str(), 0755), 0);
      writeFile(dir.file(std::string(c.folderAt) + "/kept.bin"), patternBytes(10));
    }

    const Repair run = repair(c.name);

    // A name that cannot be taken is a refusal, which leaves the exit code alone.
    EXPECT_EQ(run.outcome, WavOutcome::Refused);
    EXPECT_EQ(run.out, "unable to write file r_" + c.name + "!\n");
    EXPECT_EQ(readFile(dir.file(c.name)), input);
    EXPECT_EQ(listNames(dir.path), c.names);
    for (const std::string& name : c.names) {
      if (isFolder(dir.file(name))) {
        EXPECT_EQ(readFile(dir.file(name + "/kept.bin")), patternBytes(10));
      }
    }
  }
}

struct FaultCase {
  FaultOp op;
  uint64_t nth;
  const char* out;
  WavOutcome outcome;
};

// Counted per kind: the input is sought twice and closed first; the copy is
// written once, closed second and renamed once. A failed read may have lost
// audio; a copy begun but not published is the run's failed output.
const FaultCase kFaultCases[] = {
    {FaultOp::Seek, 1, "error seek.\n", WavOutcome::Unreadable},
    {FaultOp::Seek, 2, "err read wav.\n", WavOutcome::Unreadable},
    {FaultOp::Read, 1, "err read wav.\n", WavOutcome::Unreadable},
    {FaultOp::Write, 1, "error writing file r_in.wav, no copy made!\n", WavOutcome::CopyFailed},
    {FaultOp::Close, 2, "error writing file r_in.wav, no copy made!\n", WavOutcome::CopyFailed},
    {FaultOp::Rename, 1, "unable to write file r_in.wav!\n", WavOutcome::CopyFailed},
    // The input was only read: nothing is lost.
    {FaultOp::Close, 1, "", WavOutcome::Repaired},
};

TEST(WavRewrite, FailuresKeepTheEarlierCopyAndLeaveNoTemp) {
  const Bytes input = patternBytes(400);
  const Bytes earlier = patternBytes(50);
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(std::string(c.out) + " at " + std::to_string(c.nth));
    TempDir dir;
    ScopedChdir inDir(dir.path);
    writeFile(dir.file("in.wav"), input);
    writeFile(dir.file("r_in.wav"), earlier);

    Repair run;
    {
      FaultPlanScope faults({c.op, c.nth, false});
      run = repair("in.wav");
    }

    const bool succeeds = c.outcome == WavOutcome::Repaired;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.outcome, c.outcome);
    EXPECT_EQ(readFile(dir.file("r_in.wav")), succeeds ? expectedCopy(input, 356, 392) : earlier);
    EXPECT_EQ(readFile(dir.file("in.wav")), input);
    EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"in.wav", "r_in.wav"}));
  }
}

TEST(WavRewrite, FileSizeLimitDuringTheCopyLeavesNoPartialCopy) {
  TempDir dir;
  ScopedChdir inDir(dir.path);
  const Bytes input = patternBytes(200000);
  const Bytes earlier = patternBytes(90);
  writeFile(dir.file("in.wav"), input);
  writeFile(dir.file("r_in.wav"), earlier);

  // As on a full disk: the copy cannot grow past the limit.
  std::string printed;
  const int outcome = runWithFileSizeLimit(
      100000, [] { return static_cast<int>(repairWav("in.wav")); }, printed);

  EXPECT_EQ(outcome, static_cast<int>(WavOutcome::CopyFailed));
  EXPECT_EQ(printed, "error writing file r_in.wav, no copy made!\n");
  EXPECT_EQ(readFile(dir.file("r_in.wav")), earlier);
  EXPECT_EQ(readFile(dir.file("in.wav")), input);
  EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"in.wav", "r_in.wav"}));
}

}  // namespace
