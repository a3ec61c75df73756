// SPDX-License-Identifier: GPL-3.0-or-later
// Files whose sizes claim their end: RIFF (WAV, AVI, OpenDML AVI), BMP and
// PNG, with the GIF of the sample card.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "engine/byteorder.h"
#include "tests/engine/formats/formattest.h"
#include "tests/support/camerafiles.h"
#include "tests/support/samplecard.h"

using namespace formattest;

namespace {

// What lies after a file on the card: the next photo, then old data.
Bytes NextFile() {
  return Join(EncodeJpeg(64, 48, true, 9), Noise(8192, 7));
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

void AddLe32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  PutLe32(b, b.size() - 4, v);
}

Bytes Chunk(const char* id, const Bytes& data) {
  Bytes b(id, id + 4);
  AddLe32(b, static_cast<std::uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() % 2 != 0) b.push_back(0);
  return b;
}

Bytes Riff(const char* form, const Bytes& body) {
  Bytes b{'R', 'I', 'F', 'F'};
  AddLe32(b, static_cast<std::uint32_t>(body.size() + 4));
  b.insert(b.end(), form, form + 4);
  return Join(b, body);
}

struct TTold {
  std::optional<std::uint64_t> end;
  std::uint64_t extent = 0;  // KnownExtent, with the volume read in sectors
};
TTold Told(const TFormat& format, const char* ext, const Bytes& volume) {
  return {EndInAnyPieces(format, ext, volume), EndOf(format, ext, volume, 512).knownExtent};
}

TEST(RiffTest, ChecksNameTheFormAndRefuseWhatCannotBeRiff) {
  const Bytes wave = SampleFileBytes("WAV"), avi = SampleFileBytes("AVI");
  const Bytes webp = Riff("WEBP", Chunk("VP8L", Bytes(21, 0x2F)));
  EXPECT_EQ(Checked(FormatNamed("wave"), wave), "WAV");
  EXPECT_EQ(Checked(FormatNamed("avi"), avi), "AVI");
  EXPECT_EQ(Checked(FormatNamed("riff"), SampleFileBytes("RIFF")), "RIFF");
  EXPECT_EQ(Checked(FormatNamed("riff"), webp), "WEBP");
  TSearchTypes riffOnly{};
  riffOnly.RIFF = true;
  EXPECT_EQ(Checked(FormatNamed("avi"), avi, riffOnly), "");
  EXPECT_EQ(Checked(FormatNamed("riff"), avi, riffOnly), "RIFF");

  Bytes past = wave;  // claims a byte more than the volume holds
  PutLe32(past, 4, static_cast<std::uint32_t>(wave.size() - 7));
  Bytes binary = SampleFileBytes("RIFF");
  binary[9] = 0x01;  // the form's code
  EXPECT_EQ(Checked(FormatNamed("riff"), binary), "");
  for (const Bytes& bad : {past, Bytes(wave.begin(), wave.begin() + 11)}) {
    EXPECT_EQ(Checked(FormatNamed("wave"), bad), "");
  }
}

TEST(RiffTest, EndsWhereTheChunksTileTheRiffSize) {
  // Odd chunks with their pad bytes; a last odd chunk some writers leave unpadded.
  Bytes unpadded = Riff("WAVE", Join(Chunk("fmt ", Bytes(16, 1)), Chunk("data", Bytes(999, 0x80))));
  unpadded.pop_back();
  PutLe32(unpadded, 4, static_cast<std::uint32_t>(unpadded.size() - 8));
  for (const auto& [name, file] :
       {std::pair<std::string, Bytes>{"WAV", SampleFileBytes("WAV")},
        {"AVI", SampleFileBytes("AVI")},
        {"RIFF", SampleFileBytes("RIFF")},
        {"odd", Riff("WAVE", Join(Chunk("fmt ", Bytes(16, 1)), Chunk("data", Bytes(1001, 9))))},
        {"unpadded", unpadded}}) {
    SCOPED_TRACE(name);
    const TTold told = Told(FormatNamed("wave"), "WAV", Join(file, NextFile()));
    EXPECT_EQ(told.end, file.size());
    EXPECT_EQ(told.extent, file.size());
    EXPECT_EQ(EndInAnyPieces(FormatNamed("riff"), "RIFF", file), file.size()) << "alone";
    // Cut short, the claim cannot be proven.
    const Bytes cut(file.begin(), file.end() - 1);
    EXPECT_EQ(Told(FormatNamed("wave"), "WAV", cut).end, std::nullopt);
  }
}

TEST(RiffTest, ASizeTheChunksDoNotBearOutHidesNothing) {
  const Bytes wave = SampleFileBytes("WAV");
  const Bytes next = NextFile();
  // The size covers the whole card: the photo after it and the old data.
  Bytes card = Join(wave, next);
  PutLe32(card, 4, static_cast<std::uint32_t>(card.size() - 8));
  ASSERT_EQ(Checked(FormatNamed("wave"), card), "WAV");
  TTold told = Told(FormatNamed("wave"), "WAV", card);
  EXPECT_EQ(told.end, std::nullopt);
  EXPECT_EQ(told.extent, 0u);
  // A chunk claiming two bytes more than it holds.
  Bytes shifted = Join(wave, next);
  PutLe32(shifted, 40, Le32(wave.data() + 40) + 2);
  told = Told(FormatNamed("wave"), "WAV", shifted);
  EXPECT_EQ(told.end, std::nullopt);
  EXPECT_EQ(told.extent, 0u);
  // Chunk codes of binary data.
  Bytes binary = Join(wave, next);
  binary[36] = 0;
  EXPECT_EQ(Told(FormatNamed("wave"), "WAV", binary).end, std::nullopt);
}

TEST(RiffTest, AnOpenDmlAviRunsThroughEachAvixAfterIt) {
  const Bytes first = SampleFileBytes("AVI");
  const Bytes avix =
      Riff("AVIX", Chunk("LIST", Join(Bytes{'m', 'o', 'v', 'i'}, Chunk("00dc", Noise(3001, 3)))));
  const Bytes three = Join(Join(first, avix), avix);
  EXPECT_EQ(Told(FormatNamed("avi"), "AVI", Join(three, NextFile())).end, three.size());
  EXPECT_EQ(Told(FormatNamed("avi"), "AVI", Join(three, NextFile())).extent, three.size());
  EXPECT_EQ(EndInAnyPieces(FormatNamed("avi"), "AVI", three), three.size());

  // An AVIX whose chunks break ends the file before it; so does one cut off.
  Bytes broken = avix;
  PutLe32(broken, 16, 5000);
  EXPECT_EQ(EndInAnyPieces(FormatNamed("avi"), "AVI", Join(Join(first, avix), broken)),
            first.size() + avix.size());
  const Bytes cut = Join(first, Bytes(avix.begin(), avix.end() - 2));
  EXPECT_EQ(EndInAnyPieces(FormatNamed("avi"), "AVI", cut), first.size());
  // A WAVE is not extended by what follows it.
  const Bytes wave = SampleFileBytes("WAV");
  EXPECT_EQ(EndInAnyPieces(FormatNamed("wave"), "WAV", Join(wave, avix)), wave.size());

  std::string why;
  const auto openDml = MakeCameraFile("avi-opendml", &why, true);
  ASSERT_TRUE(openDml) << why;
  EXPECT_EQ(Checked(FormatNamed("avi"), openDml->bytes), "AVI");
  const TTold told = Told(FormatNamed("avi"), "AVI", Join(openDml->bytes, NextFile()));
  EXPECT_EQ(told.end, openDml->bytes.size());
  EXPECT_EQ(told.extent, openDml->bytes.size());
}

// --- BMP ----------------------------------------------------------------------

// An uncompressed bitmap with a 40-byte or V5 (124) header.
Bytes Bitmap(std::int32_t width, std::int32_t height, std::uint16_t depth, std::uint32_t dib = 40,
             std::uint32_t slack = 0, std::uint32_t profile = 0) {
  const std::uint32_t row = (static_cast<std::uint32_t>(width) * depth + 31) / 32 * 4;
  const std::uint32_t pixels = row * static_cast<std::uint32_t>(std::abs(height));
  Bytes b(14 + dib, 0);
  b[0] = 'B', b[1] = 'M';
  PutLe32(b, 10, 14 + dib);
  PutLe32(b, 14, dib);
  PutLe32(b, 18, static_cast<std::uint32_t>(width));
  PutLe32(b, 22, static_cast<std::uint32_t>(height));
  b[26] = 1, b[28] = static_cast<std::uint8_t>(depth);
  PutLe32(b, 34, pixels);
  b = Join(b, Noise(pixels + slack, 5));
  if (profile != 0) {
    PutLe32(b, 14 + 56, 0x4D424544);  // 'MBED'
    PutLe32(b, 14 + 112, static_cast<std::uint32_t>(b.size() - 14));
    PutLe32(b, 14 + 116, profile);
    b = Join(b, Noise(profile, 6));
  }
  PutLe32(b, 2, static_cast<std::uint32_t>(b.size()));
  return b;
}

TEST(BmpTest, TheSizeFieldCountsWhenThePictureAgreesWithIt) {
  const TFormat& bmp = FormatNamed("bmp");
  for (const auto& [name, file] : {std::pair<std::string, Bytes>{"sample", SampleFileBytes("BMP")},
                                   {"odd rows", Bitmap(33, 21, 24)},
                                   {"top-down", Bitmap(40, -30, 8)},
                                   {"writer's slack", Bitmap(31, 9, 24, 40, 2)},
                                   {"V5 with a profile", Bitmap(20, 20, 32, 124, 0, 3144)},
                                   {"1 bit", Bitmap(7, 5, 1)}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Checked(bmp, file), "BMP");
    const TTold told = Told(bmp, "BMP", Join(file, NextFile()));
    EXPECT_EQ(told.end, file.size());
    EXPECT_EQ(told.extent, file.size());
    EXPECT_EQ(Told(bmp, "BMP", Bytes(file.begin(), file.end() - 1)).end, std::nullopt);
  }
  Bytes notBmp = SampleFileBytes("BMP");
  notBmp[14] = 41;  // no such info header
  EXPECT_EQ(Checked(bmp, notBmp), "");
  TSearchTypes none{};
  EXPECT_EQ(Checked(bmp, SampleFileBytes("BMP"), none), "");
}

TEST(BmpTest, ASizeThePictureDoesNotBearOutHidesNothing) {
  const TFormat& bmp = FormatNamed("bmp");
  const Bytes file = SampleFileBytes("BMP");
  Bytes card = Join(file, NextFile());
  PutLe32(card, 2, static_cast<std::uint32_t>(card.size()));  // the whole card
  ASSERT_EQ(Checked(bmp, card), "BMP");
  TTold told = Told(bmp, "BMP", card);
  EXPECT_EQ(told.end, std::nullopt);
  EXPECT_EQ(told.extent, 0u);
  Bytes small = Join(file, NextFile());
  PutLe32(small, 2, static_cast<std::uint32_t>(file.size() - 10));  // less than the pixels
  EXPECT_EQ(Told(bmp, "BMP", small).end, std::nullopt);
  Bytes depth = Join(file, NextFile());
  depth[28] = 7;
  EXPECT_EQ(Told(bmp, "BMP", depth).end, std::nullopt);
}

// --- PNG and GIF --------------------------------------------------------------

std::uint32_t Crc(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

void AddBe32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

Bytes PngChunk(const char* type, const Bytes& data, std::uint32_t length) {
  Bytes b;
  AddBe32(b, length);
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), data.begin(), data.end());
  AddBe32(b, Crc(b.data() + 4, b.size() - 4));
  return b;
}
Bytes PngChunk(const char* type, const Bytes& data) {
  return PngChunk(type, data, static_cast<std::uint32_t>(data.size()));
}

// The sample PNG's signature and IHDR, its image in IDATs of these sizes.
Bytes Png(std::initializer_list<std::uint32_t> idats) {
  const Bytes sample = SampleFileBytes("PNG");
  Bytes b(sample.begin(), sample.begin() + 33);
  b = Join(b, PngChunk("tEXt", Bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'x'}));
  std::uint32_t seed = 1;
  for (std::uint32_t size : idats) b = Join(b, PngChunk("IDAT", Noise(size, ++seed)));
  return Join(b, PngChunk("IEND", {}));
}

TEST(PngTest, ChunksEndAtIendWhenEachLengthLeadsToTheNextChunk) {
  const TFormat& png = FormatNamed("png");
  for (const Bytes& file : {SampleFileBytes("PNG"), Png({8192, 8192, 1000}), Png({3, 0, 700})}) {
    EXPECT_EQ(Checked(png, file), "PNG");
    const TTold told = Told(png, "PNG", Join(file, NextFile()));
    EXPECT_EQ(told.end, file.size());
    EXPECT_EQ(told.extent, file.size());
    EXPECT_EQ(Told(png, "PNG", Bytes(file.begin(), file.end() - 1)).end, std::nullopt);
  }
  Bytes notPng = SampleFileBytes("PNG");
  notPng[12] = 'X';  // no IHDR first
  EXPECT_EQ(Checked(png, notPng), "");

  const Bytes gif = SampleFileBytes("GIF");
  EXPECT_EQ(Checked(FormatNamed("gif"), gif), "GIF");
  EXPECT_EQ(Told(FormatNamed("gif"), "GIF", Join(gif, NextFile())).end, gif.size());
}

TEST(PngTest, AnIdatClaimingThePhotosAfterItHidesNone) {
  // A damaged IDAT claims 6 MiB; a photo and the rest of the card follow.
  const TFormat& png = FormatNamed("png");
  Bytes file = Png({600});
  const std::size_t idat = file.size() - 12 - 612;
  ASSERT_EQ(Bytes(file.begin() + idat + 4, file.begin() + idat + 8), (Bytes{'I', 'D', 'A', 'T'}));
  file[idat + 1] = 0x60;  // 6 MiB and 600 bytes
  const Bytes photo = EncodeJpeg(64, 48, true, 11);
  const std::size_t photoAt = (file.size() + 511) / 512 * 512;
  Bytes card = file;
  card.resize(photoAt, 0);
  card = Join(Join(card, photo), Noise(7 << 20, 12));
  // Fed as the scan feeds it: 7 MiB a byte at a time would only be slow.
  for (std::size_t piece : {512, 4096}) {
    const TEnd told = EndOf(png, "PNG", card, piece);
    EXPECT_EQ(told.size, std::nullopt);
    EXPECT_LE(told.knownExtent, idat + 8);
    EXPECT_LT(told.knownExtent, photoAt);
  }
  // A length past the volume is no better.
  const Bytes shortCard(card.begin(), card.begin() + 4096);
  EXPECT_EQ(Told(png, "PNG", shortCard).end, std::nullopt);
  // The next chunk's header must be a chunk's: letters, a sane length.
  Bytes next = Png({600, 100});
  next[next.size() - 12 - 112 + 5] = '7';
  EXPECT_EQ(Told(png, "PNG", next).end, std::nullopt);
}

}  // namespace
