// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstdint>
#include <string>

#include "tests/engine/formats/formattest.h"
#include "tests/support/camerafiles.h"
#include "tests/support/samplecard.h"

using namespace formattest;

namespace {

const TFormat& Jpeg() {
  return FormatNamed("jpeg");
}

Bytes Kind(const std::string& kind) {
  std::string why;
  const auto file = MakeCameraFile(kind, &why, true);
  EXPECT_TRUE(file.has_value()) << kind << ": " << why;
  return file ? file->bytes : Bytes{};
}

std::size_t Find(const Bytes& b, const Bytes& what, std::size_t from = 0) {
  const auto at =
      std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), what.begin(), what.end());
  return static_cast<std::size_t>(at - b.begin());
}

// What lies after a file on the card: the next photo, then old data.
Bytes NextFile() {
  return Join(Kind("jpg-fill-eoi"), Noise(64 * 1024, 7));
}

void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The end told, the same in any pieces, and how far the finder vouched then.
struct TTold {
  std::optional<std::uint64_t> end;
  std::uint64_t extent = 0;
};
TTold Told(const Bytes& volume) {
  return {EndInAnyPieces(Jpeg(), "JPG", volume), EndOf(Jpeg(), "JPG", volume, 512).knownExtent};
}

TEST(JpegTest, EachKindEndsAtItsLastByteAndHidesWhatItHolds) {
  for (const char* kind :
       {"jpg-mpf", "jpg-motion-google", "jpg-motion-samsung", "jpg-fill", "jpg-fill-eoi"}) {
    SCOPED_TRACE(kind);
    const Bytes file = Kind(kind);
    const Bytes volume = Join(file, NextFile());
    EXPECT_EQ(Checked(Jpeg(), volume), "JPG");
    TSearchTypes noJpg = AllSearchTypes();
    noJpg.JPG = false;
    EXPECT_EQ(Checked(Jpeg(), volume, noJpg), "");
    const TTold told = Told(volume);
    EXPECT_EQ(told.end, file.size());
    EXPECT_EQ(told.extent, file.size());  // the second image, the movie start nothing
    // The file alone on the volume, ending at its very end.
    EXPECT_EQ(EndInAnyPieces(Jpeg(), "JPG", file), file.size());
  }
}

TEST(JpegTest, FillBytesBeforeTheFirstMarkerStillMakeAHeader) {
  const Bytes file = Kind("jpg-fill");
  ASSERT_GE(file.size(), 6u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 6), (Bytes{0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xE1}));
  Bytes bad = file;
  bad[4] = 0x00;  // FF D8 FF FF 00: no marker
  EXPECT_EQ(Checked(Jpeg(), bad), "");
}

// The MPF index's second entry (size, offset), from its TIFF header.
struct TMpf {
  Bytes file;
  std::size_t firstEnd, sizeAt, offsetAt;
};
TMpf Mpf() {
  TMpf m{Kind("jpg-mpf"), 0, 0, 0};
  const std::size_t tiff = Find(m.file, {'M', 'P', 'F', 0}) + 4;
  m.sizeAt = tiff + 50 + 16 + 4;
  m.offsetAt = m.sizeAt + 4;
  m.firstEnd = Find(m.file, {0xFF, 0xD9, 0xFF, 0xD8, 0xFF}) + 2;
  EXPECT_EQ(tiff + Get32(m.file, m.offsetAt), m.firstEnd);
  return m;
}

TEST(JpegTest, MpfImagesThatDoNotHoldEndTheFileAtTheFirstEoi) {
  const TMpf m = Mpf();
  const auto with = [&](std::size_t at, std::uint32_t value) {
    Bytes b = m.file;
    Set32(b, at, value);
    return b;
  };
  const std::uint32_t size = Get32(m.file, m.sizeAt), offset = Get32(m.file, m.offsetAt);
  Bytes notJpeg = m.file;
  std::fill_n(notJpeg.begin() + static_cast<std::ptrdiff_t>(m.firstEnd), 4, 0);
  const std::pair<const char*, Bytes> cases[] = {
      {"offset one on", with(m.offsetAt, offset + 1)},
      {"offset into the first image", with(m.offsetAt, offset - 600)},
      {"offset past the volume", with(m.offsetAt, 0xFFFFFF00u)},
      {"size too long", with(m.sizeAt, size + 100)},
      {"size too short", with(m.sizeAt, size - 100)},
      {"no JPEG there", notJpeg},
  };
  for (const auto& [what, file] : cases) {
    SCOPED_TRACE(what);
    const TTold told = Told(Join(file, NextFile()));
    EXPECT_EQ(told.end, m.firstEnd);
    EXPECT_EQ(told.extent, m.firstEnd);
  }
}

TEST(JpegTest, MotionPhotoWhoseMovieDoesNotHoldEndsAtTheFirstEoi) {
  const Bytes google = Kind("jpg-motion-google");
  const std::size_t movieAt = Find(google, {'f', 't', 'y', 'p'}) - 4;
  ASSERT_LT(movieAt, google.size());
  const std::size_t movie = google.size() - movieAt;
  // Cut on a sector start inside the movie, the next photo written there.
  const std::size_t cut = (movieAt + movie / 2) / 512 * 512;
  ASSERT_GT(cut, movieAt + 512);
  const Bytes cutShort = Join(Bytes(google.begin(), google.begin() + static_cast<long>(cut)),
                              Join(NextFile(), Noise(movie, 9)));
  // Both lengths in the XMP say one byte more than the movie holds.
  std::string text(google.begin(), google.end());
  const std::string length = "\"" + std::to_string(movie) + "\"";
  for (std::size_t at = text.find(length); at != std::string::npos; at = text.find(length, at)) {
    text.replace(at, length.size(), "\"" + std::to_string(movie + 1) + "\"");
  }
  ASSERT_EQ(text.size(), google.size());  // the same number of digits
  const Bytes lying = Join(Bytes(text.begin(), text.end()), NextFile());
  // The movie longer than the volume.
  std::string huge(google.begin(), google.end());
  const std::string nines = "\"" + std::string(length.size() - 2, '9') + "\"";
  for (std::size_t at = huge.find(length); at != std::string::npos; at = huge.find(length, at)) {
    huge.replace(at, length.size(), nines);
  }
  const Bytes pastVolume(huge.begin(), huge.end());

  const Bytes samsung = Kind("jpg-motion-samsung");
  const std::size_t dataAt = Find(samsung, {'M', 'o', 't', 'i', 'o', 'n', 'P', 'h'}) - 8;
  const Bytes samsungCut = Join(
      Bytes(samsung.begin(), samsung.begin() + static_cast<long>(samsung.size() - 40)), NextFile());
  Bytes samsungLying = samsung;
  const std::size_t entry = samsung.size() - 8 - 12;  // the one block's entry
  Set32(samsungLying, entry + 8, Get32(samsung, entry + 8) - 1);

  const std::pair<const char*, std::pair<Bytes, std::size_t>> cases[] = {
      {"google cut short", {cutShort, movieAt}},
      {"google lengths lie", {lying, movieAt}},
      {"google past the volume", {pastVolume, movieAt}},
      {"samsung cut short", {samsungCut, dataAt}},
      {"samsung block length lies", {Join(samsungLying, NextFile()), dataAt}},
  };
  for (const auto& [what, c] : cases) {
    SCOPED_TRACE(what);
    const TTold told = Told(c.first);
    EXPECT_EQ(told.end, c.second);
    EXPECT_EQ(told.extent, c.second);
  }
}

TEST(JpegTest, EitherOfGooglesLengthsPlacesTheMovie) {
  const Bytes google = Kind("jpg-motion-google");
  const std::size_t firstEnd = Find(google, {'f', 't', 'y', 'p'}) - 4;
  const auto renamed = [&](std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  const std::string text(google.begin(), google.end());
  const std::string noOffset = renamed(text, "MicroVideoOffset=", "MicroVideoOffsex=");
  const std::string noItem = renamed(text, "\"MotionPhoto\"", "\"MotionPhotX\"");
  const std::string neither = renamed(noOffset, "\"MotionPhoto\"", "\"MotionPhotX\"");
  for (const auto& [xmp, end] : {std::pair{noOffset, google.size()},
                                 std::pair{noItem, google.size()}, std::pair{neither, firstEnd}}) {
    EXPECT_EQ(Told(Join(Bytes(xmp.begin(), xmp.end()), NextFile())).end, end);
  }
}

TEST(JpegTest, TruncatedOrBrokenFilesTellNoEnd) {
  const Bytes file = Kind("jpg-motion-google");
  // Cut inside the first image's scan: no EOI, no end.
  const Bytes cut(file.begin(), file.begin() + static_cast<long>(Find(file, {0xFF, 0xD9}) - 100));
  EXPECT_EQ(EndInAnyPieces(Jpeg(), "JPG", cut), std::nullopt);
  // Garbage after SOI: the finder gives up and vouches nothing past it.
  for (const Bytes& start : {Bytes{0xFF, 0xD8, 0x12}, Bytes{0xFF, 0xD8, 0xFF, 0x00},
                             Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08}, Bytes{0xFF, 0xD8}}) {
    const Bytes garbage = Join(start, Noise(8192, 3));
    EXPECT_EQ(Checked(Jpeg(), garbage), "");
    const TEnd end = EndOf(Jpeg(), "JPG", garbage, 512);
    EXPECT_EQ(end.size, std::nullopt);
    EXPECT_LE(end.knownExtent, 8u);
  }
  // Segments that claim more than the volume holds.
  Bytes claims = Join(Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF}, Noise(100, 4));
  EXPECT_EQ(EndInAnyPieces(Jpeg(), "JPG", claims), std::nullopt);
  EXPECT_EQ(EndOf(Jpeg(), "JPG", claims, 7).knownExtent, 0u);
}

}  // namespace

namespace {

// Another photo's data after a piece of this one: where its restart markers
// do not follow on, the photo ends, cut, after its last marker in turn --
// never carried on into the other photo's data.
TEST(JpegTest, ARestartMarkerOutOfTurnBreaksThePhotoOffAfterItsLastOneInTurn) {
  const Bytes mine = EncodeJpeg(320, 240, false, 21, 90, JpegScans::Baseline, 4);
  const Bytes other = EncodeJpeg(320, 240, false, 22, 90, JpegScans::Baseline, 4);
  const std::size_t joint = mine.size() / 2 / 512 * 512;
  // The other's data from a point where its next marker is not the one due.
  for (std::size_t from = joint; from + 4096 < other.size(); from += 512) {
    const Bytes volume =
        Join(Bytes(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(joint)),
             Bytes(other.begin() + static_cast<std::ptrdiff_t>(from), other.end()));
    const TEnd end = EndOf(FormatNamed("jpeg"), "JPG", volume, 512);
    if (end.size == std::optional<std::uint64_t>(volume.size())) continue;  // followed on by chance
    ASSERT_TRUE(end.size.has_value()) << from;
    EXPECT_LE(*end.size, joint) << from;
    EXPECT_GT(*end.size, joint - 4096) << from;  // a restart interval or so before the joint
    EXPECT_TRUE(std::equal(volume.begin(), volume.begin() + static_cast<std::ptrdiff_t>(*end.size),
                           mine.begin()));
    return;
  }
  FAIL() << "no out-of-turn joint found";
}

// A cluster of zeros in the data is empty space after a piece; one sector of
// zeros is an unreadable sector of a damaged card, which the photo runs over.
TEST(JpegTest, EmptySpaceBreaksThePhotoOffButOneZeroSectorDoesNot) {
  const Bytes photo = EncodeJpeg(320, 240, false, 23);
  const std::size_t joint = photo.size() / 2 / 512 * 512;
  const Bytes head(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(joint));
  const Bytes tail(photo.begin() + static_cast<std::ptrdiff_t>(joint), photo.end());
  EXPECT_EQ(EndInAnyPieces(FormatNamed("jpeg"), "JPG", Join(Join(head, Bytes(8 * 512, 0)), tail)),
            joint);
  Bytes damaged = photo;
  std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(joint),
            damaged.begin() + static_cast<std::ptrdiff_t>(joint + 512), 0);
  EXPECT_EQ(EndInAnyPieces(FormatNamed("jpeg"), "JPG", Join(damaged, Noise(4096, 3))),
            photo.size());
}

}  // namespace
