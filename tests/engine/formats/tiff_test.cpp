// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF and its raws: the check names the kind, the end is the furthest byte
// the directories reach, and a structure that does not hold tells no end.
#include <gtest/gtest.h>

#include "engine/scan.h"
#include "tests/engine/formats/formattest.h"
#include "tests/support/camerafiles.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/recordinghost.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

using namespace formattest;

namespace {

const TFormat& Tiff() {
  return FormatNamed("tiff");
}

// Writes TIFF fields in either byte order.
struct TWriter {
  bool big = false;
  Bytes b;
  void Put(std::size_t at, std::uint32_t v, int bytes) {
    if (b.size() < at + static_cast<std::size_t>(bytes)) b.resize(at + bytes, 0);
    for (int k = 0; k < bytes; ++k) {
      b[at + static_cast<std::size_t>(big ? bytes - 1 - k : k)] =
          static_cast<std::uint8_t>(v >> 8 * k);
    }
  }
  void Header(std::uint32_t ifd0) {
    b = big ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
    Put(4, ifd0, 4);
  }
  // Entry i of the directory at dir; a SHORT value sits in the first two bytes.
  void Entry(std::size_t dir, std::size_t i, std::uint32_t tag, std::uint32_t type,
             std::uint32_t count, std::uint32_t value) {
    const std::size_t at = dir + 2 + 12 * i;
    Put(at, tag, 2), Put(at + 2, type, 2), Put(at + 4, count, 4);
    Put(at + 8, value, type == 3 && count == 1 ? 2 : 4);
  }
};

constexpr std::size_t kIfd0 = 8, kArrays = 98, kIfd1 = 114, kPlainSize = 428;

// A two-page TIFF: IFD0 with two strips (offsets and lengths in arrays),
// IFD1 with one strip last; next: IFD1's next directory.
Bytes PlainTiff(bool big, std::uint32_t next = 0) {
  TWriter w{big, {}};
  w.Header(kIfd0);
  w.Put(kIfd0, 7, 2);
  w.Entry(kIfd0, 0, 256, 3, 1, 16), w.Entry(kIfd0, 1, 257, 3, 1, 8);
  w.Entry(kIfd0, 2, 258, 3, 1, 8), w.Entry(kIfd0, 3, 262, 3, 1, 1);
  w.Entry(kIfd0, 4, 273, 4, 2, kArrays), w.Entry(kIfd0, 5, 278, 3, 1, 4);
  w.Entry(kIfd0, 6, 279, 4, 2, kArrays + 8);
  w.Put(kIfd0 + 86, kIfd1, 4);
  w.Put(kArrays, 200, 4), w.Put(kArrays + 4, 264, 4);
  w.Put(kArrays + 8, 64, 4), w.Put(kArrays + 12, 64, 4);
  w.Put(kIfd1, 3, 2);
  w.Entry(kIfd1, 0, 259, 3, 1, 1), w.Entry(kIfd1, 1, 273, 4, 1, 328);
  w.Entry(kIfd1, 2, 279, 4, 1, 100);
  w.Put(kIfd1 + 38, next, 4);
  w.b.resize(kPlainSize, 0);
  for (std::size_t i = 200; i < kPlainSize; ++i) w.b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return w.b;
}

// A sector of other data after the file, as on a card.
Bytes Then(const Bytes& file) {
  return Join(file, Bytes(4096, 0x5A));
}

// No end told, or one inside the volume; never a claim past it.
void ExpectNoClaimPast(const Bytes& volume) {
  for (std::size_t piece : {1, 512, 4096}) {
    const TEnd end = EndOf(Tiff(), "TIF", volume, piece);
    EXPECT_LE(end.knownExtent, volume.size());
    if (end.size) {
      EXPECT_LE(*end.size, volume.size());
    }
  }
}

TEST(TiffTest, PlainTiffEndsAfterItsLastStripInEitherByteOrder) {
  for (bool big : {false, true}) {
    const Bytes tiff = PlainTiff(big);
    EXPECT_EQ(Checked(Tiff(), tiff), "TIF");
    EXPECT_EQ(EndInAnyPieces(Tiff(), "TIF", Then(tiff)), kPlainSize) << big;
  }
}

TEST(TiffTest, DirectoryCyclesEnd) {
  for (std::uint32_t back : {std::uint32_t{kIfd0}, std::uint32_t{kIfd1}}) {
    EXPECT_EQ(EndInAnyPieces(Tiff(), "TIF", Then(PlainTiff(false, back))), kPlainSize) << back;
  }
}

TEST(TiffTest, RawsAreNamedAndEndExactly) {
  for (const char* kind : {"cr2", "nef", "dng", "orf", "rw2", "arw", "pef", "srw"}) {
    std::string whyNot;
    const auto raw = MakeCameraFile(kind, &whyNot);
    ASSERT_TRUE(raw) << kind << ": " << whyNot;
    EXPECT_EQ(Checked(Tiff(), raw->bytes), raw->ext) << kind;
    // Another raw right after it, as the camera writes them.
    const Bytes volume = Join(raw->bytes, MakeCameraFile("cr2")->bytes);
    EXPECT_EQ(EndInAnyPieces(Tiff(), raw->ext, volume), raw->bytes.size()) << kind;
    EXPECT_EQ(EndOf(Tiff(), raw->ext, volume, 512).knownExtent, raw->bytes.size()) << kind;
  }
}

// ORF's and RW2's previews begin a sector: the first sector fed already
// covers them, so the scan never takes them for files of their own.
TEST(TiffTest, PreviewOnASectorStartIsInsideTheKnownExtent) {
  for (auto [kind, preview] : {std::pair<const char*, std::size_t>{"orf", 512}, {"rw2", 1536}}) {
    const Bytes raw = MakeCameraFile(kind)->bytes;
    const Bytes fromPreview(raw.begin() + static_cast<std::ptrdiff_t>(preview), raw.end());
    ASSERT_EQ(Checked(FormatNamed("jpeg"), fromPreview), "JPG") << kind;
    TBytesVolume volume(raw);
    const auto finder = Tiff().finder(Checked(Tiff(), raw), raw.size(), &volume);
    ASSERT_TRUE(finder);
    EXPECT_FALSE(finder->Feed(raw.data(), 512));
    EXPECT_EQ(finder->KnownExtent(), raw.size()) << kind;
  }
}

TEST(TiffTest, KindsByMake) {
  const auto named = [](const char* make, const char* model, bool dng = false) {
    TWriter w;
    w.Header(8);
    w.Put(8, dng ? 3 : 2, 2);
    w.Entry(8, 0, 271, 2, static_cast<std::uint32_t>(std::strlen(make) + 1), 64);
    w.Entry(8, 1, 272, 2, static_cast<std::uint32_t>(std::strlen(model) + 1), 128);
    if (dng) w.Entry(8, 2, 50706, 1, 4, 0x00000401);
    w.b.resize(512, 0);
    std::memcpy(w.b.data() + 64, make, std::strlen(make));
    std::memcpy(w.b.data() + 128, model, std::strlen(model));
    return Checked(Tiff(), w.b);
  };
  EXPECT_EQ(named("NIKON CORPORATION", "NIKON Z 6"), "NEF");
  EXPECT_EQ(named("NIKON", "COOLPIX P1000"), "NRW");
  EXPECT_EQ(named("RICOH IMAGING COMPANY, LTD.", "PENTAX K-1"), "PEF");
  EXPECT_EQ(named("RICOH IMAGING COMPANY, LTD.", "GR III", true), "DNG");
  EXPECT_EQ(named("Hasselblad", "X1D"), "3FR");
  EXPECT_EQ(named("Canon", "Canon EOS-1D"), "TIF");

  TSearchTypes noTiff = AllSearchTypes();
  noTiff.TIF = false;
  EXPECT_EQ(Checked(Tiff(), MakeCameraFile("nef")->bytes, noTiff), "");
  // Unticked, every raw is what it always was.
  const Bytes orf = MakeCameraFile("orf")->bytes;
  EXPECT_STREQ(Tiff().detect(AllSearchTypes(), orf.data(), orf.size()), "TIF");
}

TEST(TiffTest, FirstDirectoryThatDoesNotParseIsNoHeader) {
  Bytes empty = PlainTiff(false);
  empty[kIfd0] = 0, empty[kIfd0 + 1] = 0;
  Bytes badType = PlainTiff(false);
  badType[kIfd0 + 2 + 12 + 2] = 99;
  for (const Bytes& tiff : {empty, badType}) {
    EXPECT_EQ(Checked(Tiff(), tiff), "");
    EXPECT_FALSE(EndOf(Tiff(), "TIF", Then(tiff), 512).size);
  }
}

// Lying counts and offsets are no reason to claim bytes: the end stays
// unknown, and nothing past the volume is ever claimed.
TEST(TiffTest, AbsurdCountsAndOffsetsClaimNothing) {
  TWriter w;
  w.b = PlainTiff(false);
  w.Entry(kIfd1, 2, 279, 4, 1, 0x7FFFFFF0);  // a strip past the volume
  EXPECT_FALSE(EndOf(Tiff(), "TIF", Then(w.b), 512).size);
  ExpectNoClaimPast(Then(w.b));

  w.b = PlainTiff(false);
  w.Entry(kIfd0, 4, 273, 4, 0x40000000, kArrays);  // an array of a billion strips
  EXPECT_FALSE(EndOf(Tiff(), "TIF", Then(w.b), 512).size);
  ExpectNoClaimPast(Then(w.b));

  w.b = PlainTiff(false);
  w.Put(kIfd0 + 86, 0xFFFFFF00, 4);  // the next directory past the volume
  ExpectNoClaimPast(Then(w.b));
}

TEST(TiffTest, TruncatedRawClaimsNothingPastTheVolume) {
  for (const char* kind : {"cr2", "nef", "orf", "rw2", "dng"}) {
    const Bytes raw = MakeCameraFile(kind)->bytes;
    for (std::size_t keep : {raw.size() - 1, raw.size() / 2, std::size_t{600}}) {
      ExpectNoClaimPast(Bytes(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(keep)));
    }
  }
}

// The checked scan over a card of raws, one after another on sector
// starts: each comes back whole under its own name, its preview inside it.
TEST(TiffTest, CheckedScanBringsBackEveryRawWhole) {
  const char* kinds[] = {"cr2", "nef", "dng", "orf", "rw2", "arw", "pef", "srw"};
  Bytes card;
  std::vector<CameraFile> raws;
  for (const char* kind : kinds) {
    raws.push_back(*MakeCameraFile(kind));
    card = Join(card, raws.back().bytes);
    card.resize((card.size() + 511) / 512 * 512, 0);
  }
  card.resize(card.size() + 8 * 512, 0);
  TTempDir scratch;
  FakePlatform platform;
  platform.AddVolume('E', static_cast<std::uint32_t>(card.size() / 512)).data = card;
  TRecordingHost host;
  host.geometry.TotalSectors = static_cast<std::uint32_t>(card.size() / 512);
  host.geometry.BytesPerSector = 512;
  host.destination = scratch.Path().string() + "/";
  host.types = AllSearchTypes();
  host.checkFiles = true;
  InitDiskAccess(platform);
  RunScan(host);
  DoneDiskAccess();
  ASSERT_EQ(host.stored.size(), raws.size());
  for (std::size_t i = 0; i < raws.size(); ++i) {
    EXPECT_TRUE(host.stored[i].ends_with("." + raws[i].ext)) << host.stored[i];
    EXPECT_EQ(ExpandStored(host.destination + host.stored[i] + ".rdf", scratch.Path()),
              raws[i].bytes)
        << raws[i].kind;
  }
}

}  // namespace
