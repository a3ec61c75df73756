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

class FragmentCardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    made = fs::temp_directory_path() / ("fh-" + std::to_string(::getpid()) + "-FragmentCard");
    fs::create_directories(made);
    TFragmentCardOptions options;
    options.bytes = 16ull << 20;
    files = WriteFragmentCard((made / "card.img").string(), options);
    card = ReadBytes(made / "card.img");
  }
  static void TearDownTestSuite() { fs::remove_all(made); }

  static inline fs::path made;
  static inline std::vector<SampleFile> files;
  static inline Bytes card;
};

TEST_F(FragmentCardTest, SplitPhotosComeBackWholeAndNoJointIsWrong) {
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
                           "split-around-old-data", "interleaved"}) {
    EXPECT_GT(whole[trap], 0) << trap << ": cut " << cut[trap] << ", wrong " << wrong[trap];
  }
  EXPECT_EQ(cut["-"], 0);
}

}  // namespace
