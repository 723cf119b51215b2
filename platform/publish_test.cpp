// Publishing an output: the temporary name, what may stand at the final
// name, and every way a commit can end, with real files and injected faults.
#include "platform/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support.h"

using namespace testing_support;

namespace {

TEST(Publish, TemporaryNameIsIgnoredByTheListingAndFitsOneEntry) {
  const std::string longName = "r_" + std::string(249, 'x') + ".mov";  // 255 bytes
  struct NameCase {
    std::string path;
    std::string expected;  // empty: a hashed name in the same folder
  };
  const NameCase kCases[] = {
      {"/work/shoot/r_clip.mov", "/work/shoot/r_clip.mov.part"},
      {"r_clip.MOV", "r_clip.MOV.part"},
      {"r_in.wav", "r_in.wav.part"},
      {"/work/shoot/" + longName, ""},
      {"/work/shoot/clip.mov", ""},  // not a name the listing passes over
  };
  for (const NameCase& c : kCases) {
    const std::string temp = temporaryPathFor(c.path);
    SCOPED_TRACE(c.path + " -> " + temp);
    const PathParts parts = splitPath(temp);
    if (c.expected.empty()) {
      EXPECT_EQ(parts.folder, splitPath(c.path).folder);
      EXPECT_EQ(parts.name.size(), 2u + 16u + 5u);
    } else {
      EXPECT_EQ(temp, c.expected);
    }
    EXPECT_LE(parts.name.size(), 255u);
    EXPECT_TRUE(isIgnoredByListing(parts.name));
  }
  EXPECT_NE(temporaryPathFor("/a/" + longName), temporaryPathFor("/a/r_" + std::string(249, 'y')));
}

TEST(Publish, SplitPathKeepsTheSeparatorWithTheFolder) {
  EXPECT_EQ(splitPath("/a/b/r_c.mov").folder, "/a/b/");
  EXPECT_EQ(splitPath("/a/b/r_c.mov").name, "r_c.mov");
  EXPECT_EQ(splitPath("r_c.wav").folder, "");
  EXPECT_EQ(splitPath("r_c.wav").name, "r_c.wav");
  EXPECT_EQ(splitPath("/r_c.mov").folder, "/");
}

const Bytes kNew = {'n', 'e', 'w', ' ', 'b', 'y', 't', 'e', 's'};
const Bytes kOld = {'o', 'l', 'd'};

// Begins an output at name in dir, writes kNew and commits it.
CommitOutcome publishNew(const TempDir& dir, const std::string& name, bool replaceExisting) {
  PendingOutput output;
  if (beginOutput(output, dir.file(name)) != BeginOutcome::Begun) {
    ADD_FAILURE() << "could not begin " << name;
    return CommitOutcome::WriteFailed;
  }
  if (!output.file.writeAt(0, kNew.data(), kNew.size())) {
    abandonOutput(output);
    return CommitOutcome::WriteFailed;
  }
  return commitOutput(output, replaceExisting);
}

struct RefusalCase {
  const char* what;
  std::string name;
  std::function<void(const TempDir&)> place;
};

TEST(Publish, WhatStandsInTheWayIsRefusedAndLeftAsItWas) {
  const RefusalCase cases[] = {
      {"a folder at the final name", "r_a.mov",
       [](const TempDir& d) { ASSERT_EQ(::mkdir(d.file("r_a.mov").c_str(), 0755), 0); }},
      {"a folder at the temporary name", "r_a.mov",
       [](const TempDir& d) { ASSERT_EQ(::mkdir(d.file("r_a.mov.part").c_str(), 0755), 0); }},
      {"a read-only file at the final name", "r_a.wav",
       [](const TempDir& d) {
         writeFile(d.file("r_a.wav"), kOld);
         ASSERT_EQ(::chmod(d.file("r_a.wav").c_str(), 0444), 0);
       }},
      {"a name longer than an entry can be", "r_" + std::string(254, 'n') + ".mov",
       [](const TempDir&) {}},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    c.place(dir);
    const std::vector<std::string> before = listNames(dir.path);
    PendingOutput output;
    EXPECT_EQ(beginOutput(output, dir.file(c.name)), BeginOutcome::Refused);
    EXPECT_FALSE(output.file.isOpen());
    EXPECT_EQ(listNames(dir.path), before);
    if (fileExists(dir.file("r_a.wav"))) {
      EXPECT_EQ(readFile(dir.file("r_a.wav")), kOld);
    }
  }
}

TEST(Publish, CompleteOutputReplacesAFileOrALinkButNeverWritesThroughIt) {
  TempDir dir;
  writeFile(dir.file("other.bin"), kOld);
  ASSERT_EQ(::symlink("other.bin", dir.file("r_a.wav").c_str()), 0);
  writeFile(dir.file("r_b.wav"), kOld);
  writeFile(dir.file("r_b.wav.part"), kOld);  // left by a killed run

  EXPECT_EQ(publishNew(dir, "r_a.wav", true), CommitOutcome::Published);
  EXPECT_EQ(publishNew(dir, "r_b.wav", true), CommitOutcome::Published);

  EXPECT_EQ(readFile(dir.file("r_a.wav")), kNew);
  EXPECT_EQ(readFile(dir.file("r_b.wav")), kNew);
  EXPECT_EQ(readFile(dir.file("other.bin")), kOld);
  EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"other.bin", "r_a.wav", "r_b.wav"}));
}

TEST(Publish, IncompleteOutputTakesAFreeNameButNeverReplacesOne) {
  TempDir dir;
  writeFile(dir.file("r_kept.mov"), kOld);
  EXPECT_EQ(publishNew(dir, "r_kept.mov", false), CommitOutcome::KeptExisting);
  EXPECT_EQ(publishNew(dir, "r_free.mov", false), CommitOutcome::Published);
  EXPECT_EQ(readFile(dir.file("r_kept.mov")), kOld);
  EXPECT_EQ(readFile(dir.file("r_free.mov")), kNew);
  EXPECT_EQ(listNames(dir.path), (std::vector<std::string>{"r_free.mov", "r_kept.mov"}));
}

struct CommitFaultCase {
  FaultPlan plan;
  CommitOutcome outcome;
  bool published;  // the new bytes stand under the final name afterwards
};

// Flushes are counted in order: the file's, then its folder's after the rename.
const CommitFaultCase kCommitFaults[] = {
    {{FaultOp::Flush, 1, false}, CommitOutcome::WriteFailed, false},
    {{FaultOp::Close, 1, false}, CommitOutcome::WriteFailed, false},
    {{FaultOp::Rename, 1, false}, CommitOutcome::RenameFailed, false},
    {{FaultOp::Flush, 2, false}, CommitOutcome::NotFlushed, true},
};

TEST(Publish, EachFailingStepOfACommitKeepsTheOldFileOrSaysTheNewOneIsNotFlushed) {
  for (const CommitFaultCase& c : kCommitFaults) {
    SCOPED_TRACE(static_cast<int>(c.plan.op) * 100 + static_cast<int>(c.plan.nth));
    TempDir dir;
    writeFile(dir.file("r_a.mov"), kOld);
    CommitOutcome outcome;
    {
      FaultPlanScope faults(c.plan);
      outcome = publishNew(dir, "r_a.mov", true);
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(readFile(dir.file("r_a.mov")), c.published ? kNew : kOld);
    EXPECT_EQ(listNames(dir.path), std::vector<std::string>{"r_a.mov"});
  }
}

TEST(Publish, ACreateThatFailsIsAFailureNotARefusal) {
  TempDir dir;
  PendingOutput output;
  {
    FaultPlanScope faults({FaultOp::Create, 1, false});
    EXPECT_EQ(beginOutput(output, dir.file("r_a.mov")), BeginOutcome::Failed);
  }
  EXPECT_TRUE(listNames(dir.path).empty());
}

TEST(Publish, FlushingAFolderIsHarmlessWhereverItIsAsked) {
  TempDir dir;
  EXPECT_TRUE(flushFolder(dir.path));
  EXPECT_TRUE(flushFolder(dir.path + "/"));
  ScopedChdir inDir(dir.path);
  EXPECT_TRUE(flushFolder(""));
}

}  // namespace
