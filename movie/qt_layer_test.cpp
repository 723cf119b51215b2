// The call layer on its own: start counts, description properties, and the
// rules a sample must meet.
#include "movie/qt_layer.h"

#include <gtest/gtest.h>

#include <thread>

#include "movie/movie_format.h"
#include "tests/support.h"

namespace {

using testing_support::TempDir;

void stopEverything() {
  for (int i = 0; i < 100; ++i) {
    qtExitMovies();
    qtTerminate();
  }
}

TEST(QtLayer, StartsAreCountedAndExtraStopsDoNothing) {
  stopEverything();
  EXPECT_EQ(qtEnterMovies(), kQtNotEnteredErr);
  ASSERT_EQ(qtInitialize(0), kQtNoErr);
  ASSERT_EQ(qtInitialize(0), kQtNoErr);
  qtTerminate();
  EXPECT_EQ(qtEnterMovies(), kQtNoErr);
  qtExitMovies();
  qtTerminate();
  qtTerminate();  // at 0: nothing
  EXPECT_EQ(qtEnterMovies(), kQtNotEnteredErr);

  auto startAndStop = [] {
    for (int i = 0; i < 20000; ++i) {
      qtInitialize(0);
      qtTerminate();
    }
  };
  std::thread first(startAndStop);
  std::thread second(startAndStop);
  first.join();
  second.join();
  EXPECT_EQ(qtEnterMovies(), kQtNotEnteredErr);
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
