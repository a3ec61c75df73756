// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/filedet.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string>

#include "engine/signature.h"

namespace {

using Sector = std::array<std::uint8_t, 512>;

Sector Bytes(std::initializer_list<int> head, std::size_t at = 0, Sector sector = {}) {
  for (int b : head) sector[at++] = static_cast<std::uint8_t>(b);
  return sector;
}

Sector Text(const char* text, std::size_t at = 0, Sector sector = {}) {
  for (; *text != '\0'; ++text) sector[at++] = static_cast<std::uint8_t>(*text);
  return sector;
}

TSearchTypes None() {
  TSearchTypes types;
  types.JPG = false;
  return types;
}

TSearchTypes All() {
  return AllSearchTypes();
}

// The tag, or "" when nothing is reported.
std::string Detect(const TSearchTypes& types, const Sector& sector) {
  std::string tag;
  return DetectFileType(types, sector.data(), sector.size(), tag) ? tag : "";
}

TEST(MatchSignatureTest, ComparesExactlyTheLengthGiven) {
  const Sector riff = Text("RIFFxxxx");
  EXPECT_TRUE(MatchSignature(riff.data(), kRiffSignature));
  EXPECT_FALSE(MatchSignature(Text("RIFf").data(), kRiffSignature));
  EXPECT_TRUE(MatchSignature(Text("moov").data(), kQuickTimeSignature));
  EXPECT_FALSE(MatchSignature(Text("MOOV").data(), kQuickTimeSignature));
  EXPECT_FALSE(MatchSignature(Text("AVI").data(), kAviSignature));  // the blank matters
  EXPECT_TRUE(MatchSignature(Text("AVI ").data(), kAviSignature));
  const unsigned char empty[] = {0};
  EXPECT_TRUE(MatchSignature(riff.data(), empty));
  const unsigned char longer[] = {6, 'R', 'I', 'F', 'F', 'x', 'x'};
  EXPECT_TRUE(MatchSignature(riff.data(), longer));
}

TEST(DetectFileTypeTest, EachPatternAndItsNearMisses) {
  const TSearchTypes all = All();
  EXPECT_EQ(Detect(all, Bytes({0xFF, 0xD8, 0xFF, 0xE0})), "JPG");  // JFIF
  EXPECT_EQ(Detect(all, Bytes({0xFF, 0xD8, 0xFF, 0xE1})), "JPG");  // Exif
  EXPECT_EQ(Detect(all, Bytes({0xFF, 0xD8, 0xFF, 0xDB})), "");
  EXPECT_EQ(Detect(all, Bytes({0xFF, 0xD9, 0xFF, 0xE0})), "");
  EXPECT_EQ(Detect(all, Text("BM")), "BMP");
  EXPECT_EQ(Detect(all, Text("Bm")), "");
  EXPECT_EQ(Detect(all, Text("GIF87a")), "GIF");
  EXPECT_EQ(Detect(all, Text("GIF89a")), "GIF");
  EXPECT_EQ(Detect(all, Text("GIF88a")), "");
  EXPECT_EQ(Detect(all, Text("GIF89b")), "");
  EXPECT_EQ(Detect(all, Text("II*")), "TIF");
  EXPECT_EQ(Detect(all, Text("MM")), "TIF");  // whatever follows
  EXPECT_EQ(Detect(all, Text("IM")), "");
  EXPECT_EQ(Detect(all, Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})), "PNG");
  EXPECT_EQ(Detect(all, Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0B})), "");
  EXPECT_EQ(Detect(all, Text("RIFF\1\2\3\4WAVE")), "WAV");
  EXPECT_EQ(Detect(all, Text("RIFF\1\2\3\4AVI ")), "AVI");
  EXPECT_EQ(Detect(all, Text("RIFF\1\2\3\4CDXA")), "RIFF");
  EXPECT_EQ(Detect(all, Text("moov", 4)), "MOV");
  EXPECT_EQ(Detect(all, Text("mdat", 4)), "");  // another first atom is not found
  EXPECT_EQ(Detect(all, Sector{}), "");
}

TEST(DetectFileTypeTest, RiffSubTypesFallBackToRiffOrPassOn) {
  TSearchTypes types = None();
  const Sector wave = Text("RIFF\1\2\3\4WAVE");
  const Sector aviNoBlank = Text("RIFF\1\2\3\4AVIX");
  EXPECT_EQ(Detect(types, wave), "");
  types.RIFF = true;
  EXPECT_EQ(Detect(types, wave), "RIFF");  // wave box clear: carved as RIFF
  EXPECT_EQ(Detect(types, aviNoBlank), "RIFF");
  types.AVI = true;
  EXPECT_EQ(Detect(types, aviNoBlank), "RIFF");
  types.WAV = true;
  EXPECT_EQ(Detect(types, wave), "WAV");

  // With every RIFF box clear the sector passes on to the QuickTime test.
  TSearchTypes mov = None();
  mov.MOV = true;
  Sector riffMoov = Text("RIFFmoovWAVE");
  EXPECT_EQ(Detect(mov, riffMoov), "MOV");
  mov.WAV = true;
  EXPECT_EQ(Detect(mov, riffMoov), "WAV");
}

TEST(DetectFileTypeTest, OrderAndClearedBoxesPassToTheNextTest) {
  const Sector bmMoov = Text("moov", 4, Text("BM"));
  TSearchTypes types = None();
  EXPECT_EQ(Detect(types, bmMoov), "");
  types.MOV = true;
  EXPECT_EQ(Detect(types, bmMoov), "MOV");
  types.BMP = true;
  EXPECT_EQ(Detect(types, bmMoov), "BMP");

  // "MM" with moov at 4: TIF comes before MOV.
  const Sector mmMoov = Text("moov", 4, Text("MM"));
  EXPECT_EQ(Detect(All(), mmMoov), "TIF");
  TSearchTypes noTif = All();
  noTif.TIF = false;
  EXPECT_EQ(Detect(noTif, mmMoov), "MOV");

  // Each box alone enables its own type and nothing else.
  for (bool TSearchTypes::*box : {&TSearchTypes::JPG, &TSearchTypes::BMP, &TSearchTypes::GIF,
                                  &TSearchTypes::TIF, &TSearchTypes::PNG, &TSearchTypes::WAV,
                                  &TSearchTypes::AVI, &TSearchTypes::RIFF, &TSearchTypes::MOV}) {
    TSearchTypes one = None();
    one.*box = true;
    int found = 0;
    for (const Sector& s : {Bytes({0xFF, 0xD8, 0xFF, 0xE1}), Text("BM"), Text("GIF89a"), Text("II"),
                            Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}),
                            Text("RIFF\1\2\3\4WAVE"), Text("RIFF\1\2\3\4AVI "), Text("moov", 4)}) {
      found += Detect(one, s).empty() ? 0 : 1;
    }
    // RIFF also takes the wave and AVI files; every other box its own sample.
    EXPECT_EQ(found, box == &TSearchTypes::RIFF ? 2 : 1);
  }
  EXPECT_EQ(Detect(None(), Bytes({0xFF, 0xD8, 0xFF, 0xE1})), "");
}

TEST(DetectFileTypeTest, FalseAnswerKeepsTheLastTagAndShortSectorsAreSafe) {
  std::string tag = "GIF";
  const Sector jpeg = Bytes({0xFF, 0xD8, 0xFF, 0xE0});
  const Sector empty{};
  ASSERT_TRUE(DetectFileType(All(), jpeg.data(), jpeg.size(), tag));
  EXPECT_EQ(tag, "JPG");
  EXPECT_FALSE(DetectFileType(All(), empty.data(), empty.size(), tag));
  EXPECT_EQ(tag, "JPG");

  // Fewer bytes than a pattern needs cannot hold it, and are never read past.
  const std::uint8_t riffWave[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  EXPECT_FALSE(DetectFileType(All(), riffWave, 11, tag));
  EXPECT_TRUE(DetectFileType(All(), riffWave, 12, tag));
  EXPECT_EQ(tag, "WAV");
  EXPECT_FALSE(DetectFileType(All(), jpeg.data(), 2, tag));
  EXPECT_FALSE(DetectFileType(All(), nullptr, 0, tag));
}

}  // namespace
