// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/jpegdecode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "tests/support/samplecard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr QSize kArea{193, 129};

// Writes a new size into the first frame header (SOF0/SOF2) of a JPEG.
Bytes WithClaimedSize(Bytes jpeg, std::uint16_t width, std::uint16_t height,
                      std::uint8_t frame = 0xC0) {
  for (std::size_t i = 2; i + 9 < jpeg.size();) {
    if (jpeg[i] != 0xFF) break;
    const std::uint8_t marker = jpeg[i + 1];
    const std::size_t length = std::size_t{jpeg[i + 2]} << 8 | jpeg[i + 3];
    if (marker == 0xC0 || marker == 0xC2) {
      jpeg[i + 1] = frame;
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      return jpeg;
    }
    i += 2 + length;
  }
  ADD_FAILURE() << "no frame header";
  return jpeg;
}

bool Decode(const Bytes& data, TJpegPicture& picture) {
  return DecodeJpegPreview(data.data(), data.size(), kArea, picture);
}

TEST(JpegDecodeTest, CoarsestScaleThatCoversTheDrawnSize) {
  struct Case {
    int width, height;
    QSize decoded;
  } cases[] = {
      {4000, 3000, {500, 375}},  // 1/8 covers 172 x 129
      {1600, 1200, {200, 150}},  // 1/8 covers exactly enough
      {1200, 900, {300, 225}},   // 1/8 (150 x 113) is too small: 2/8
      {300, 1200, {38, 150}},    // tall: 32 x 129 drawn
      {100, 80, {100, 80}},      // smaller than the area: full size, scaled up later
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    TJpegPicture picture;
    ASSERT_TRUE(Decode(EncodeJpeg(c.width, c.height, false, 1, 80), picture));
    EXPECT_EQ(picture.fullSize, QSize(c.width, c.height));
    EXPECT_EQ(picture.image.size(), c.decoded);
  }
}

TEST(JpegDecodeTest, ColoursComeOutRight) {
  // The sample photos have a blue sky at the top and green hills below.
  TJpegPicture picture;
  ASSERT_TRUE(Decode(EncodeJpeg(160, 120, true, 2, 95), picture));
  const QRgb sky = picture.image.pixel(2, 2);
  EXPECT_GT(qBlue(sky), qRed(sky));
  const QRgb hill = picture.image.pixel(80, 118);
  EXPECT_GT(qGreen(hill), qBlue(hill));
}

TEST(JpegDecodeTest, TruncatedPictureKeepsItsTopRows) {
  const Bytes photo = EncodeJpeg(800, 600, false, 3, 95);
  TJpegPicture whole, cut;
  ASSERT_TRUE(Decode(photo, whole));
  ASSERT_TRUE(Decode(Bytes(photo.begin(), photo.begin() + photo.size() / 2), cut));
  EXPECT_EQ(cut.image.size(), whole.image.size());
  EXPECT_EQ(cut.image.pixel(5, 5), whole.image.pixel(5, 5));
}

TEST(JpegDecodeTest, RejectedDataLeavesThePictureAlone) {
  TJpegPicture picture;
  ASSERT_TRUE(Decode(EncodeJpeg(40, 30, false, 4), picture));
  const QImage before = picture.image;
  const Bytes photo = EncodeJpeg(40, 30, false, 5);
  const Bytes inputs[] = {
      {},
      Bytes(600, 0x55),
      {0xFF, 0xD8, 0xFF, 0xE0},
      Bytes(photo.begin(), photo.begin() + 40),  // cut inside the header
      WithClaimedSize(photo, 0, 30),
  };
  for (const Bytes& input : inputs) {
    EXPECT_FALSE(Decode(input, picture)) << input.size();
    EXPECT_EQ(picture.image, before);
    EXPECT_EQ(picture.fullSize, QSize(40, 30));
  }
  EXPECT_FALSE(DecodeJpegPreviewFile("/nonexistent/photo.JPG", kArea, picture));
}

TEST(JpegDecodeTest, HugeClaimedSizesFailFastWithoutAllocating) {
  const Bytes photo = EncodeJpeg(64, 48, false, 6);
  for (std::uint8_t frame : {std::uint8_t{0xC0}, std::uint8_t{0xC2}}) {
    for (std::uint16_t side : {std::uint16_t{65000}, std::uint16_t{30000}}) {
      SCOPED_TRACE(std::to_string(frame) + " " + std::to_string(side));
      const auto start = std::chrono::steady_clock::now();
      TJpegPicture picture;
      EXPECT_FALSE(Decode(WithClaimedSize(photo, side, side, frame), picture));
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
  }
}

// libjpeg makes a pass over the whole picture for each scan of a progressive
// file; a file with thousands of them is given up on, quickly, and reported as
// undecodable, while ordinary files decode as before.
TEST(JpegDecodeTest, FilesWithTooManyScansAreRefused) {
  const Bytes baseline = EncodeJpeg(320, 240, false, 20, 90, JpegScans::Baseline);
  const Bytes progressive = EncodeJpeg(320, 240, false, 20, 90, JpegScans::Progressive);
  const Bytes hostile = EncodeJpeg(320, 240, false, 20, 90, JpegScans::EveryBit);
  TJpegPicture expected;
  ASSERT_TRUE(Decode(baseline, expected));

  const auto start = std::chrono::steady_clock::now();
  TJpegPicture picture = expected;
  EXPECT_FALSE(Decode(hostile, picture));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(picture.image, expected.image);  // left alone

  // The limit is on the count alone: at its edge and above, each file decodes
  // to the same picture as the baseline one.
  struct Case {
    const char* name;
    const Bytes& data;
    int maxScans;
    bool decodes;
  } cases[] = {
      {"progressive", progressive, 500, true}, {"progressive", progressive, 10, true},
      {"progressive", progressive, 9, false},  {"every bit", hostile, 2112, true},
      {"every bit", hostile, 2111, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.maxScans));
    TJpegLimits limits;
    limits.maxScans = c.maxScans;
    TJpegPicture decoded;
    EXPECT_EQ(DecodeJpegPreview(c.data.data(), c.data.size(), kArea, decoded, limits), c.decodes);
    if (c.decodes) {
      EXPECT_EQ(decoded.image, expected.image);
    }
  }
}

// A clock that moves one second each time it is read.
int gTicks = 0;
std::chrono::steady_clock::time_point TickingClock() {
  return std::chrono::steady_clock::time_point(std::chrono::seconds(++gTicks));
}

TEST(JpegDecodeTest, DecodingThatRunsOutOfTimeIsRefused) {
  // libjpeg looks at the clock once per row read, and for a progressive file
  // once per row of blocks while it takes the scans in: a budget of a few
  // readings runs out part way through either.
  const Bytes photos[] = {EncodeJpeg(800, 600, false, 21, 90, JpegScans::Baseline),
                          EncodeJpeg(800, 600, false, 21, 90, JpegScans::Progressive)};
  for (const Bytes& photo : photos) {
    TJpegLimits limits;
    limits.now = TickingClock;
    TJpegPicture picture;
    limits.maxTime = std::chrono::seconds(1000);
    EXPECT_TRUE(DecodeJpegPreview(photo.data(), photo.size(), kArea, picture, limits));
    // The baseline file runs out after rows were read; they are not handed
    // back as a truncated picture's would be.
    limits.maxTime = std::chrono::seconds(3);
    EXPECT_FALSE(DecodeJpegPreview(photo.data(), photo.size(), kArea, picture, limits));
  }
}

}  // namespace
