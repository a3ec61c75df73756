// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/jpegjoin.h"

#include "tests/engine/formats/formattest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/samplecard.h"

namespace {

using formattest::Noise;

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSector = 512;
constexpr std::uint64_t kNoLimit = 1ull << 40;

// A continuation held in memory that remembers how far it was read.
class TBytesSource : public TJoinSource {
 public:
  explicit TBytesSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::size_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(size, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    furthest_ = std::max<std::uint64_t>(furthest_, offset + n);
    return n;
  }
  std::uint64_t Furthest() const { return furthest_; }

 private:
  Bytes bytes_;
  std::uint64_t furthest_ = 0;
};

Bytes Slice(const Bytes& b, std::size_t from, std::size_t to = SIZE_MAX) {
  return Bytes(b.begin() + static_cast<long>(from),
               b.begin() + static_cast<long>(std::min(to, b.size())));
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Where the entropy-coded data of the first scan begins.
std::size_t EntropyStart(const Bytes& jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
    if (jpeg[at + 1] == 0xDA) return at + 2 + length;
    at += 2 + length;
  }
  return jpeg.size();
}

// Where the last scan's header begins; the image's end for a single scan.
std::size_t LastScan(const Bytes& jpeg) {
  std::size_t last = 0;
  for (std::size_t at = EntropyStart(jpeg); at + 1 < jpeg.size(); ++at) {
    if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA) last = at;
  }
  return last != 0 ? last : jpeg.size();
}

// Sector boundaries spread over the entropy data, clear of both its ends and
// of the top rows, which look alike in every sample photo. A progressive
// file's last scan only refines the lowest bit, and one sector more or less
// there still decodes cleanly, so the wrong-continuation cases stay before it.
std::vector<std::size_t> Splits(const Bytes& jpeg, std::size_t end) {
  const std::size_t low = (EntropyStart(jpeg) / kSector + 8) * kSector;
  const std::size_t high = end - 2 * kSector;
  std::vector<std::size_t> splits;
  for (int i = 0; i < 4; ++i) splits.push_back((low + (high - low) * i / 4) / kSector * kSector);
  return splits;
}

std::optional<std::uint64_t> Join(const Bytes& first, Bytes rest, std::uint64_t limit = kNoLimit) {
  TBytesSource source(std::move(rest));
  return ValidJoin(first, source, limit);
}

struct TLayout {
  const char* name;
  JpegScans scans;
  unsigned restartInterval;
};

const TLayout kLayouts[] = {
    {"baseline", JpegScans::Baseline, 0},
    {"progressive", JpegScans::Progressive, 0},
    {"restarts", JpegScans::Baseline, 8},
};

Bytes Photo(const TLayout& layout, std::uint32_t seed) {
  return EncodeJpeg(640, 480, true, seed, 90, layout.scans, layout.restartInterval);
}

TEST(JpegJoin, RightContinuationGivesExactlyTheRest) {
  for (const TLayout& layout : kLayouts) {
    const Bytes photo = Photo(layout, 3);
    for (std::size_t split : Splits(photo, photo.size())) {
      SCOPED_TRACE(std::string(layout.name) + " split at " + std::to_string(split));
      const Bytes first = Slice(photo, 0, split), rest = Slice(photo, split);
      EXPECT_EQ(Join(first, rest), rest.size());
      // What follows the EOI on the card is not part of the file.
      EXPECT_EQ(Join(first, Cat(rest, Noise(3 * kSector, 7))), rest.size());
      EXPECT_EQ(Join(first, Cat(rest, Photo(layout, 4))), rest.size());
      // Enough when the limit ends right at the EOI, not one byte less.
      EXPECT_EQ(Join(first, Cat(rest, Bytes(kSector, 0)), rest.size()), rest.size());
      EXPECT_FALSE(Join(first, rest, rest.size() - 1));
      EXPECT_FALSE(Join(first, Slice(rest, 0, rest.size() - 1)));
      EXPECT_FALSE(Join(first, Slice(rest, 0, rest.size() / 2)));
    }
  }
}

TEST(JpegJoin, WrongContinuationsAreTurnedDown) {
  int tried = 0, lookAlikes = 0;
  for (const TLayout& layout : kLayouts) {
    const Bytes photo = Photo(layout, 3);
    // Same settings and size, so the same tables: only the data differs.
    const Bytes other = Photo(layout, 11);
    for (std::size_t split : Splits(photo, LastScan(photo))) {
      SCOPED_TRACE(std::string(layout.name) + " split at " + std::to_string(split));
      const Bytes first = Slice(photo, 0, split);
      EXPECT_FALSE(Join(first, Slice(photo, split - kSector))) << "a sector early";
      EXPECT_FALSE(Join(first, Slice(photo, split + kSector))) << "a sector late";
      EXPECT_FALSE(
          Join(first, Cat(Slice(photo, split, split + kSector), Slice(photo, split + 2 * kSector))))
          << "one sector skipped";
      EXPECT_FALSE(Join(first, Bytes(photo.size(), 0))) << "zeros";
      EXPECT_FALSE(Join(first, Noise(photo.size(), static_cast<std::uint32_t>(split)))) << "noise";
      // The rest of a look-alike photo often makes a valid JPEG of its own
      // (one picture's top, the other's bottom): decoding cannot always tell,
      // which is why a joint is taken only when exactly one candidate fits.
      ++tried;
      if (Join(first, Slice(other, std::min(split, other.size() - kSector)))) ++lookAlikes;
      EXPECT_FALSE(Join(first, {})) << "nothing";
    }
  }
  EXPECT_LE(lookAlikes * 3, tried) << lookAlikes << " of " << tried << " look-alikes taken";
}

TEST(JpegJoin, FirstPieceAloneIsNoJoint) {
  const Bytes photo = Photo(kLayouts[0], 5);
  // Whole already: nothing of the continuation is needed.
  EXPECT_EQ(Join(photo, Noise(4 * kSector, 1)), 0u);
  // Bytes after the EOI inside the first piece belong to no file.
  EXPECT_FALSE(Join(Cat(photo, Noise(kSector, 2)), Noise(4 * kSector, 3)));
  EXPECT_FALSE(Join(Noise(4 * kSector, 4), Slice(photo, 0)));
}

TEST(JpegJoin, DecodesWholeOnlyWhenEndingAtItsEoi) {
  for (const TLayout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const Bytes photo = Photo(layout, 9);
    EXPECT_TRUE(JpegDecodesWhole(photo));
    EXPECT_FALSE(JpegDecodesWhole(Slice(photo, 0, photo.size() - 1)));
    EXPECT_FALSE(JpegDecodesWhole(Slice(photo, 0, photo.size() / 2)));
    EXPECT_FALSE(JpegDecodesWhole(Cat(photo, Bytes{0})));
    const std::size_t middle = photo.size() / 2 / kSector * kSector;
    Bytes noisy = photo;
    const Bytes noise = Noise(kSector, 8);
    std::copy(noise.begin(), noise.end(), noisy.begin() + static_cast<long>(middle));
    EXPECT_FALSE(JpegDecodesWhole(noisy)) << "a sector of noise";
    Bytes marked = photo;
    marked[middle] = 0xFF;
    marked[middle + 1] = 0xD0;
    EXPECT_FALSE(JpegDecodesWhole(marked)) << "a stray marker";
  }
  EXPECT_FALSE(JpegDecodesWhole(Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
  EXPECT_FALSE(JpegDecodesWhole(Noise(4 * kSector, 1)));
  EXPECT_FALSE(JpegDecodesWhole({}));
}

// A photo's first piece, cut anywhere, can be a photo's start; once another
// photo's data follows it (a photo run on into another's rest), it cannot.
TEST(JpegJoin, PrefixDecodesUntilForeignDataFollows) {
  int caught = 0, tried = 0;
  for (const TLayout& layout : kLayouts) {
    const Bytes photo = Photo(layout, 21);
    const Bytes other = Photo(layout, 22);
    for (std::size_t split : Splits(photo, LastScan(photo))) {
      SCOPED_TRACE(std::string(layout.name) + " split at " + std::to_string(split));
      EXPECT_TRUE(JpegPrefixDecodes(Slice(photo, 0, split)));
      EXPECT_FALSE(JpegPrefixDecodes(Cat(Slice(photo, 0, split), Noise(8 * kSector, 7))));
      // Another photo's later data: the DC values drift or a restart comes
      // out of turn within a few rows.
      ++tried;
      const std::size_t from = std::min(split + 16 * kSector, other.size() - 16 * kSector);
      if (!JpegPrefixDecodes(Cat(Slice(photo, 0, split), Slice(other, from)))) ++caught;
    }
    EXPECT_TRUE(JpegPrefixDecodes(photo)) << "a whole photo is a start too";
  }
  EXPECT_GE(caught * 4, tried * 3) << caught << " of " << tried;
  EXPECT_FALSE(JpegPrefixDecodes(Noise(4 * kSector, 1)));
}

// The figures for a camera-sized photo: how long a right joint takes and how
// far a wrong continuation is read before it is turned down.
TEST(JpegJoin, CostOfALargePhoto) {
  const Bytes photo = EncodeJpeg(4000, 3000, true, 21);
  const Bytes other = EncodeJpeg(4000, 3000, true, 22);
  const std::size_t split = photo.size() / 3 / kSector * kSector;
  const Bytes first = Slice(photo, 0, split);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Join(first, Slice(photo, split)), photo.size() - split);
  const auto took =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
  std::printf("[ figures  ] right joint of a %zu-byte 4000x3000 photo: %.0f ms\n", photo.size(),
              took.count());

  const std::pair<const char*, Bytes> wrongs[] = {
      {"another photo", Slice(other, split)},
      {"a sector late", Slice(photo, split + kSector)},
      {"a sector early", Slice(photo, split - kSector)},
      {"noise", Noise(photo.size(), 5)},
      {"zeros", Bytes(photo.size(), 0)},
  };
  for (const auto& [name, rest] : wrongs) {
    TBytesSource source(rest);
    EXPECT_FALSE(ValidJoin(first, source, kNoLimit)) << name;
    std::printf("[ figures  ] %s: turned down after reading %llu bytes\n", name,
                static_cast<unsigned long long>(source.Furthest()));
  }
  // Restart markers every 16 MCUs catch a shifted continuation at the next one.
  const Bytes marked = EncodeJpeg(4000, 3000, true, 21, 90, JpegScans::Baseline, 16);
  TBytesSource late(Slice(marked, split + kSector));
  EXPECT_FALSE(ValidJoin(Slice(marked, 0, split), late, kNoLimit));
  std::printf("[ figures  ] a sector late, restart markers: turned down after reading %llu bytes\n",
              static_cast<unsigned long long>(late.Furthest()));
  EXPECT_LT(late.Furthest(), 64u * 1024);
}

}  // namespace
