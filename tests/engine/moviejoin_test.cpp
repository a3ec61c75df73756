// SPDX-License-Identifier: GPL-3.0-or-later
// A movie (moov after mdat) in two pieces around a photo, as a camera's file
// system leaves one: its rest is found where its moov and the chunks after
// the joint are, and only there.
#include "engine/moviejoin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/support/camerafiles.h"
#include "tests/support/recordinghost.h"
#include "tests/support/samplecard.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kCluster = 64;  // sectors
constexpr std::size_t kClusterBytes = kCluster * 512;

class MovieJoinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::optional<Bytes> made = LongMovie(7);
    if (!made) GTEST_SKIP() << "needs ffmpeg with libx264";
    movie = *made;
    ASSERT_GT(movie.size(), 3 * kClusterBytes);
    photo = EncodeJpeg(640, 480, true, 3);
  }

  // The movie's first `clusters` clusters, the photo, then the movie's rest
  // `shift` sectors further on, and some empty clusters at the end.
  Bytes Card(std::size_t clusters, std::size_t shift = 0, bool restTwice = false) const {
    const auto round = [](std::size_t bytes) {
      return (bytes + kClusterBytes - 1) / kClusterBytes * kClusterBytes;
    };
    const std::size_t split = clusters * kClusterBytes;
    Bytes card(movie.begin(), movie.begin() + static_cast<std::ptrdiff_t>(split));
    card.insert(card.end(), photo.begin(), photo.end());
    card.resize(round(card.size()) + shift * 512, 0);
    const auto putRest = [&] {
      card.insert(card.end(), movie.begin() + static_cast<std::ptrdiff_t>(split), movie.end());
      card.resize(round(card.size()), 0);
    };
    putRest();
    if (restTwice) putRest();
    card.resize(card.size() + 4 * kClusterBytes, 0);
    return card;
  }

  std::optional<TContinuation> Find(const Bytes& card, std::size_t clusters) const {
    TContinuationSearch search;
    search.totalSectors = static_cast<std::uint32_t>(card.size() / 512);
    search.from = static_cast<std::uint32_t>(
        (clusters * kClusterBytes + (photo.size() + kClusterBytes - 1) / kClusterBytes *
                                        kClusterBytes) / 512);
    search.clusters.HeaderAt(0);
    search.clusters.HeaderAt(kCluster);
    search.boundSectors = 2 * kCluster + 1;
    search.wideBoundSectors = 1000 * kCluster;
    search.read = [&card](std::uint32_t first, std::uint32_t count, std::uint8_t* buffer) {
      std::copy_n(card.begin() + static_cast<std::ptrdiff_t>(std::size_t{first} * 512),
                  std::size_t{count} * 512, buffer);
      return true;
    };
    TMoviePiece first;
    first.size = clusters * kClusterBytes;
    first.read = [&card](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
      std::copy_n(card.begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
      return true;
    };
    return FindMovieRest(first, search);
  }

  Bytes movie, photo;
};

TEST_F(MovieJoinTest, TheRestIsFoundWhereItsChunksLineUpAndOnlyThere) {
  const std::size_t clusters = 2;
  const std::size_t rest = movie.size() - clusters * kClusterBytes;
  const std::optional<TContinuation> found = Find(Card(clusters), clusters);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bytes, rest);

  // The rest a sector off a cluster boundary: no candidate is where it lies.
  EXPECT_FALSE(Find(Card(clusters, 1), clusters));
  // Further on, at a boundary: found over the wider search.
  EXPECT_TRUE(Find(Card(clusters, 5 * kCluster), clusters));
  // The same rest twice: neither is taken.
  EXPECT_FALSE(Find(Card(clusters, 0, true), clusters));
}

TEST_F(MovieJoinTest, ACheckedScanJoinsTheMovieAndKeepsThePhotoBetween) {
  const std::size_t clusters = 3;
  const Bytes card = Card(clusters);
  TRecordingHost host;
  TTempDir scratch;
  CheckedScanOfCard(host, card, scratch.Path().string() + "/", 100);
  std::vector<Bytes> outputs;
  for (const std::string& name : host.stored) {
    outputs.push_back(ExpandStored(host.destination + name + ".rdf", scratch.Path()));
  }
  ASSERT_EQ(outputs.size(), 2u);
  // Listed in the order of their headers: the movie first, whole.
  EXPECT_TRUE(outputs[0] == movie) << outputs[0].size() << " of " << movie.size();
  EXPECT_TRUE(outputs[1] == photo) << outputs[1].size() << " of " << photo.size();
}

}  // namespace
