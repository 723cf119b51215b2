// The call layer on its own: start counts, description properties, and the
// rules a sample must meet.
#include "movie/qt_layer.h"

#include <gtest/gtest.h>

#include <vector>

#include "movie/movie_format.h"
#include "tests/support.h"

namespace {

using testing_support::TempDir;

// The counts live as long as the process; every case starts with none.
void stopEverything() {
  while (qtEnterMovies() == kQtNoErr) {
    qtExitMovies();
    qtTerminate();
  }
}

enum class Call { Start, Stop, Enter, Exit };

struct CountCase {
  const char* rule;
  std::vector<Call> calls;
  QtErr enterAfter;  // what entering answers after the calls
};

const CountCase kCountCases[] = {
    {"entering needs a start", {}, kQtNotEnteredErr},
    {"a start lets one enter", {Call::Start}, kQtNoErr},
    {"starts are counted", {Call::Start, Call::Start, Call::Stop}, kQtNoErr},
    {"as many stops as starts end it",
     {Call::Start, Call::Start, Call::Stop, Call::Stop},
     kQtNotEnteredErr},
    {"a stop at 0 does nothing", {Call::Stop, Call::Start}, kQtNoErr},
    {"stops past 0 do nothing",
     {Call::Start, Call::Stop, Call::Stop, Call::Stop, Call::Start},
     kQtNoErr},
    {"an exit with nothing entered does nothing", {Call::Exit, Call::Start}, kQtNoErr},
    {"an exit is not a stop", {Call::Start, Call::Enter, Call::Exit, Call::Exit}, kQtNoErr},
    {"an entry does not hold a start", {Call::Start, Call::Enter, Call::Stop}, kQtNotEnteredErr},
    {"entering again after a restart", {Call::Start, Call::Stop, Call::Start}, kQtNoErr},
};

TEST(QtLayer, StartAndEntryCountsFollowTheirRules) {
  for (const CountCase& c : kCountCases) {
    SCOPED_TRACE(c.rule);
    stopEverything();
    for (const Call call : c.calls) {
      switch (call) {
        case Call::Start:
          EXPECT_EQ(qtInitialize(0), kQtNoErr);
          break;
        case Call::Stop:
          qtTerminate();
          break;
        case Call::Enter:
          EXPECT_EQ(qtEnterMovies(), kQtNoErr);
          break;
        case Call::Exit:
          qtExitMovies();
          break;
      }
    }
    EXPECT_EQ(qtEnterMovies(), c.enterAfter);
  }
  stopEverything();
}

TEST(QtLayer, DescriptionPropertiesBecomeExtensionAtoms) {
  QtHandle* description = qtNewHandleClear(kImageDescriptionSize);
  ASSERT_NE(description, nullptr);
  store32be(description->bytes.data(), kImageDescriptionSize);
  const Bytes before = description->bytes;
  struct Refused {
    FourCC propertyClass, property;
    uint32_t size;
  };
  const Refused kRefused[] = {{fourCC("xxxx"), fourCC("pasp"), 8},
                              {kQtDescriptionClass, fourCC("pasp"), 4},
                              {kQtDescriptionClass, fourCC("colr"), 10},
                              {kQtDescriptionClass, fourCC("gama"), 4}};
  for (const Refused& r : kRefused) {
    EXPECT_NE(qtImageDescriptionSetProperty(description, r.propertyClass, r.property, r.size,
                                            kNclcPayload),
              kQtNoErr);
  }
  EXPECT_EQ(description->bytes, before);
  EXPECT_EQ(qtImageDescriptionSetProperty(description, kQtDescriptionClass, fourCC("nclc"),
                                          sizeof kNclcPayload, kNclcPayload),
            kQtNoErr);
  const Bytes colr = {0, 0, 0, 18, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'c', 0, 1, 0, 1, 0, 1};
  EXPECT_EQ(Bytes(description->bytes.begin() + 86, description->bytes.end()), colr);
  EXPECT_EQ(get32be(description->bytes.data()), 86u + 18u);
  qtDisposeHandle(description);
}

// One storage with its movie, track and media, torn down in the writer's order.
struct OpenMovie {
  explicit OpenMovie(const std::string& path) {
    qtNewDataReferenceFromPath(path, dataRef, dataRefType);
    created = qtCreateMovieStorage(dataRef, dataRefType, 0, 0, kQtCreateDeleteExisting, storage,
                                   movie) == kQtNoErr;
    track = qtNewMovieTrack(movie, 64, 64, 0);
    media = qtNewTrackMedia(track, kQtVideoMedia, 2500, nullptr, 0);
    description = qtNewHandleClear(kImageDescriptionSize);
    store32be(description->bytes.data(), kImageDescriptionSize);
  }
  ~OpenMovie() {
    if (storage != nullptr) qtCloseMovieStorage(storage);
    qtDisposeHandle(description);
    qtDisposeTrackMedia(media);
    qtDisposeMovieTrack(track);
    qtDisposeMovie(movie);
    qtDisposeHandle(dataRef);
  }
  QtErr add(const Bytes& frame, const QtHandle* with, int64_t duration = 100) {
    return qtAddMediaSample(media, frame.data(), static_cast<int64_t>(frame.size()), duration, 0,
                            with, 1, 0, nullptr);
  }
  QtHandle* dataRef = nullptr;
  uint32_t dataRefType = 0;
  QtDataHandler* storage = nullptr;
  QtMovie* movie = nullptr;
  QtTrack* track = nullptr;
  QtMedia* media = nullptr;
  QtHandle* description = nullptr;
  bool created = false;
};

TEST(QtLayer, SamplesNeedOpenEditsAndTheMediasOneDescription) {
  TempDir dir;
  OpenMovie open(dir.file("r_clip.mov"));
  ASSERT_TRUE(open.created);
  ASSERT_NE(open.media, nullptr);
  const Bytes frame(100, 7);
  EXPECT_EQ(open.add(frame, open.description), kQtMediaNotEditingErr);
  ASSERT_EQ(qtBeginMediaEdits(open.media, open.description), kQtNoErr);
  EXPECT_EQ(open.add(Bytes{}, open.description), kQtParamErr);
  EXPECT_EQ(open.add(frame, open.description, 0), kQtParamErr);
  QtHandle other{open.description->bytes};
  other.bytes[4] = 'x';
  EXPECT_EQ(open.add(frame, &other), kQtBadImageDescriptionErr);
  EXPECT_EQ(open.add(frame, open.description), kQtNoErr);
  EXPECT_EQ(open.add(frame, nullptr), kQtNoErr);  // the media's own description
  EXPECT_EQ(qtGetMediaDuration(open.media), 200);
  // The one edit may not reach past the media.
  EXPECT_EQ(qtInsertMediaIntoTrack(open.track, 0, 0, 300, kFixedOne), kQtParamErr);
  EXPECT_EQ(qtInsertMediaIntoTrack(open.track, 0, 0, 200, kFixedOne), kQtNoErr);
  EXPECT_EQ(qtInsertMediaIntoTrack(open.track, 0, 0, 200, kFixedOne), kQtParamErr);
  ASSERT_EQ(qtEndMediaEdits(open.media), kQtNoErr);
  EXPECT_EQ(open.add(frame, open.description), kQtMediaNotEditingErr);
  ASSERT_EQ(qtAddMovieToStorage(open.movie, open.storage), kQtNoErr);
  EXPECT_EQ(qtCloseMovieStorage(open.storage), kQtNoErr);
  open.storage = nullptr;
  EXPECT_EQ(testing_support::listNames(dir.path), std::vector<std::string>{"r_clip.mov"});
}

TEST(QtLayer, ClosingAStorageWithoutItsMovieLeavesNoFile) {
  TempDir dir;
  OpenMovie open(dir.file("r_clip.mov"));
  ASSERT_TRUE(open.created);
  EXPECT_NE(qtCloseMovieStorage(open.storage), kQtNoErr);
  open.storage = nullptr;
  EXPECT_TRUE(testing_support::listNames(dir.path).empty());
}

}  // namespace
