// SPDX-License-Identifier: GPL-3.0-or-later
// Photos in pieces on a card laid out as a camera's file system leaves it:
// a checked scan gives back each photo whole where its pieces are all on the
// card, and never a wrong joint -- every output is an original or the start
// of one.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/fragments.h"
#include "engine/scan.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/fragmentcard.h"
#include "tests/support/recordinghost.h"
#include "tests/support/samplecard.h"
#include "tests/support/sha256.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ClusterGuessTest, FollowsTheHeadersSeen) {
  TClusterGuess guess;
  EXPECT_EQ(guess.ClusterSectors(), 64u);
  guess.HeaderAt(8 + 64 * 3);
  guess.HeaderAt(8 + 64 * 7);
  guess.HeaderAt(8 + 64 * 12);
  EXPECT_EQ(guess.ClusterSectors(), 64u);
  EXPECT_EQ(guess.NextBoundary(8 + 64 * 12 + 1), 8u + 64 * 13);
  EXPECT_EQ(guess.NextBoundary(8 + 64 * 13), 8u + 64 * 13);
  guess.HeaderAt(8 + 64 * 12 + 32);  // a file that is not cluster-aligned halves the guess
  EXPECT_EQ(guess.ClusterSectors(), 32u);
}

// A volume in memory: a baseline photo's rest far past its first piece,
// with other photos' data and empty space between.
TEST(FindContinuationTest, WideSearchFindsTheOneRestAndRefusesTwo) {
  constexpr std::uint32_t kCluster = 8;  // sectors
  constexpr std::size_t kClusterBytes = kCluster * 512;
  const Bytes photo = EncodeJpeg(640, 480, true, 31);
  const std::size_t split = 6 * kClusterBytes;
  std::vector<std::uint8_t> volume(600 * kClusterBytes, 0);
  // Other photos' data (same tables) over the first 300 clusters.
  for (std::uint32_t i = 0; i < 300 / 8; ++i) {
    const Bytes other = EncodeJpeg(640, 480, true, 40 + i);
    const std::size_t at = i * 8 * kClusterBytes;
    std::copy_n(other.begin() + kClusterBytes,
                std::min(8 * kClusterBytes, other.size() - kClusterBytes),
                volume.begin() + static_cast<std::ptrdiff_t>(at));
  }
  const auto place = [&](std::size_t cluster) {
    std::copy(photo.begin() + static_cast<std::ptrdiff_t>(split), photo.end(),
              volume.begin() + static_cast<std::ptrdiff_t>(cluster * kClusterBytes));
  };
  place(450);
  std::uint64_t sectorsRead = 0;
  TContinuationSearch search;
  search.totalSectors = static_cast<std::uint32_t>(volume.size() / 512);
  search.from = 0;
  search.clusters.HeaderAt(0);
  search.clusters.HeaderAt(kCluster);
  search.boundSectors = 2 * kCluster + 1;
  search.wideBoundSectors = 1000 * kCluster;
  search.read = [&](std::uint32_t first, std::uint32_t count, std::uint8_t* buffer) {
    sectorsRead += count;
    std::copy_n(volume.begin() + static_cast<std::ptrdiff_t>(std::size_t{first} * 512),
                std::size_t{count} * 512, buffer);
    return true;
  };
  const std::span<const std::uint8_t> first(photo.data(), split);
  const std::optional<TContinuation> rest = FindContinuation(first, search);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->sector, 450 * kCluster);
  EXPECT_EQ(rest->bytes, photo.size() - split);
  // 600 candidates, half of them look-alike data under the same tables, which
  // only the end of the picture can turn down: under 16 KiB read for each.
  EXPECT_LT(sectorsRead, 600u * 8 * 4) << sectorsRead;

  // Within the near bound only: not found.
  search.wideBoundSectors = 0;
  EXPECT_FALSE(FindContinuation(first, search));

  // The same rest in two places: neither is taken.
  search.wideBoundSectors = 1000 * kCluster;
  place(520);
  bool ambiguous = false;
  EXPECT_FALSE(FindContinuation(first, search, &ambiguous));
  EXPECT_TRUE(ambiguous);
}

// Each seed lays the layouts out with other photos, sizes and splits.
class FragmentCardTest : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  void SetUp() override {
    made = fs::temp_directory_path() /
           ("fh-" + std::to_string(::getpid()) + "-FragmentCard" + std::to_string(GetParam()));
    fs::create_directories(made);
    TFragmentCardOptions options;
    options.bytes = 16ull << 20;
    options.seed = GetParam();
    files = WriteFragmentCard((made / "card.img").string(), options);
    card = ReadBytes(made / "card.img");
  }
  void TearDown() override { fs::remove_all(made); }

  fs::path made;
  std::vector<SampleFile> files;
  Bytes card;
};

INSTANTIATE_TEST_SUITE_P(Seeds, FragmentCardTest, ::testing::Values(1u, 2u, 7u));

TEST_P(FragmentCardTest, SplitPhotosComeBackWholeAndNoJointIsWrong) {
  TRecordingHost host;
  TTempDir scratch;
  CheckedScanOfCard(host, card, scratch.Path().string() + "/", 4000);

  // Each output by its first bytes: the original it starts like.
  std::map<std::string, const SampleFile*> byStart;
  std::map<std::string, Bytes> originals;
  // (the originals are rebuilt from their pieces by the card's own reader)
  const auto pieces = ReadPieces((made / "card.img.pieces").string());
  for (std::size_t i = 0; i < files.size(); ++i) {
    Bytes whole;
    for (const FilePiece& piece : pieces[i]) {
      const auto from = card.begin() + static_cast<std::ptrdiff_t>(piece.sector) * 512;
      whole.insert(whole.end(), from, from + static_cast<std::ptrdiff_t>(piece.bytes));
    }
    const std::string start(whole.begin(), whole.begin() + 512);
    byStart[start] = &files[i];
    originals[start] = std::move(whole);
  }
  std::map<std::string, int> whole, cut, wrong;
  for (const std::string& name : host.stored) {
    const Bytes out = ExpandStored(host.destination + name + ".rdf", scratch.Path());
    ASSERT_GE(out.size(), 512u) << name;
    const std::string start(out.begin(), out.begin() + 512);
    const auto it = byStart.find(start);
    if (it == byStart.end()) continue;
    const SampleFile& f = *it->second;
    const Bytes& original = originals[start];
    const bool prefix =
        out.size() <= original.size() && std::equal(out.begin(), out.end(), original.begin());
    const std::string trap = f.trap.empty() ? "-" : f.trap;
    if (prefix && out.size() == f.size && f.whole) {
      ++whole[trap];
    } else if (prefix) {
      ++cut[trap];
    } else {
      ++wrong[trap];
    }
  }
  for (const auto& [trap, count] : wrong) EXPECT_EQ(count, 0) << "wrong joints: " << trap;
  for (const char* trap : {"split-around-photo", "split-after-gap", "split-across-empty",
                           "split-around-old-data", "interleaved", "split-far-away",
                           "three-pieces"}) {
    EXPECT_GT(whole[trap], 0) << trap << ": cut " << cut[trap] << ", wrong " << wrong[trap];
  }
  EXPECT_EQ(cut["-"], 0);
}

}  // namespace
