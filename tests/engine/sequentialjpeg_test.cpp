// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/sequentialjpeg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/jpegjoin.h"
#include "tests/engine/formats/formattest.h"
#include "tests/support/samplecard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using formattest::Noise;
using TStep = TSequentialJpeg::TStep;
constexpr std::size_t kSector = 512;

std::span<const std::uint8_t> Part(const Bytes& b, std::size_t from, std::size_t to = SIZE_MAX) {
  return std::span<const std::uint8_t>(b).subspan(from, std::min(to, b.size()) - from);
}

struct TCase {
  const char* name;
  int width, height;
  unsigned restartInterval;
};

// Odd sizes leave partial MCUs at the right and bottom edges.
const TCase kCases[] = {{"baseline", 640, 480, 0}, {"restarts", 600, 452, 4}, {"odd", 333, 201, 0}};

TEST(SequentialJpeg, DecodesWholePhotosToTheirEoiAndResumesAtAnySplit) {
  for (const TCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes photo =
        EncodeJpeg(c.width, c.height, true, 4, 90, JpegScans::Baseline, c.restartInterval);
    const std::optional<TSequentialJpeg> jpeg = TSequentialJpeg::Parse(photo);
    ASSERT_TRUE(jpeg);
    TSequentialJpeg::TState whole = jpeg->Start();
    ASSERT_EQ(jpeg->Run(whole, photo, {}), TStep::kEnd);
    EXPECT_EQ(whole.pos, photo.size());
    EXPECT_EQ(whole.mcu, jpeg->TotalMcus());

    // Split anywhere: the first piece alone runs out; going on from where it
    // stood with the rest ends at the EOI; another photo's data, noise or a
    // shifted rest is turned down.
    const Bytes other =
        EncodeJpeg(c.width, c.height, true, 5, 90, JpegScans::Baseline, c.restartInterval);
    int turnedDown = 0, tried = 0;
    for (std::size_t split = 2048; split + 4 * kSector < photo.size(); split += 9 * kSector + 7) {
      SCOPED_TRACE(split);
      TSequentialJpeg::TState at = jpeg->Start();
      ASSERT_EQ(jpeg->Run(at, Part(photo, 0, split), {}), TStep::kOutOfBytes);
      EXPECT_LE(at.pos, split);
      TSequentialJpeg::TState rest = at;
      EXPECT_EQ(jpeg->Run(rest, Part(photo, 0, split), Part(photo, split)), TStep::kEnd);
      EXPECT_EQ(rest.pos, photo.size());
      TSequentialJpeg::TState noise = at;
      EXPECT_EQ(jpeg->Run(noise, Part(photo, 0, split), Noise(16 * kSector, 3)),
                TStep::kComplaint);
      for (const std::span<const std::uint8_t> wrong :
           {Part(photo, split + kSector), Part(other, std::min(split, other.size() - kSector))}) {
        TSequentialJpeg::TState w = at;
        ++tried;
        if (jpeg->Run(w, Part(photo, 0, split), wrong) == TStep::kComplaint) ++turnedDown;
      }
    }
    // A look-alike's rest may decode cleanly; libjpeg judges what passes.
    EXPECT_GE(turnedDown * 4, tried * 3) << turnedDown << " of " << tried;
  }
}

// It must never turn down what libjpeg takes: every photo that libjpeg
// decodes whole decodes here too.
TEST(SequentialJpeg, TakesEveryPhotoLibjpegTakesAndLeavesProgressiveAlone) {
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    const Bytes photo = EncodeJpeg(160 + 16 * static_cast<int>(seed), 120 + 8 * static_cast<int>(seed),
                                   seed % 2 == 0, seed, 50 + 4 * static_cast<int>(seed),
                                   JpegScans::Baseline, seed % 3);
    ASSERT_TRUE(JpegDecodesWhole(photo));
    const std::optional<TSequentialJpeg> jpeg = TSequentialJpeg::Parse(photo);
    ASSERT_TRUE(jpeg) << seed;
    TSequentialJpeg::TState state = jpeg->Start();
    EXPECT_EQ(jpeg->Run(state, photo, {}), TStep::kEnd) << seed;
  }
  EXPECT_FALSE(TSequentialJpeg::Parse(EncodeJpeg(320, 240, true, 1, 90, JpegScans::Progressive)));
  EXPECT_FALSE(TSequentialJpeg::Parse(Noise(4 * kSector, 2)));
  const Bytes photo = EncodeJpeg(320, 240, true, 1);
  EXPECT_FALSE(TSequentialJpeg::Parse(Part(photo, 0, 300))) << "headers cut short";
}

}  // namespace
