// SPDX-License-Identifier: GPL-3.0-or-later
// Camera files of the "other" box that the directory or the packets end:
// Fujifilm RAF and MPEG transport streams (.MTS, .TS).
#include <cstdint>
#include <string>
#include <utility>

#include "tests/engine/formats/formattest.h"
#include "tests/support/camerafiles.h"
#include "tests/support/samplecard.h"

using namespace formattest;

namespace {

Bytes NextFile() {
  return Join(EncodeJpeg(64, 48, true, 9), Noise(8192, 7));
}

Bytes Kind(const std::string& kind) {
  std::string why;
  const auto file = MakeCameraFile(kind, &why, true);
  EXPECT_TRUE(file.has_value()) << kind << ": " << why;
  return file ? file->bytes : Bytes{};
}

struct TTold {
  std::optional<std::uint64_t> end;
  std::uint64_t extent = 0;
};
TTold Told(const TFormat& format, const char* ext, const Bytes& volume) {
  return {EndInAnyPieces(format, ext, volume), EndOf(format, ext, volume, 512).knownExtent};
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}
std::uint32_t GetBe32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

// --- RAF ----------------------------------------------------------------------

TEST(RafTest, EndsWithItsFurthestPartAndHoldsItsPreview) {
  const TFormat& raf = FormatNamed("raf");
  const Bytes file = Kind("raf");
  ASSERT_GT(file.size(), 148u);
  EXPECT_EQ(Checked(raf, file), "RAF");
  TSearchTypes noOther = AllSearchTypes();
  noOther.Other = false;
  EXPECT_EQ(Checked(raf, file, noOther), "");
  const TTold told = Told(raf, "RAF", Join(file, NextFile()));
  EXPECT_EQ(told.end, file.size());
  EXPECT_EQ(told.extent, file.size());  // the preview starts nothing
  EXPECT_EQ(EndInAnyPieces(raf, "RAF", file), file.size());
  EXPECT_EQ(Told(raf, "RAF", Bytes(file.begin(), file.end() - 1)).end, std::nullopt);

  // False headers: a preview inside the directory, or not a JPEG.
  Bytes early = file;
  PutBe32(early, 84, 64);
  Bytes notJpeg = file;
  notJpeg[GetBe32(file, 84) + 1] = 0xD9;
  EXPECT_EQ(Checked(raf, early), "");
  EXPECT_EQ(Checked(raf, notJpeg), "");
}

TEST(RafTest, ADirectoryThatDoesNotHoldHidesNothing) {
  const TFormat& raf = FormatNamed("raf");
  const Bytes file = Kind("raf");
  const Bytes volume = Join(file, NextFile());
  const std::uint32_t metaAt = GetBe32(file, 92), cfaAt = GetBe32(file, 100);
  Bytes covers = volume;  // the raw data claims the whole card and more
  PutBe32(covers, 104, static_cast<std::uint32_t>(volume.size() - cfaAt + 1));
  Bytes overlaps = volume;  // the raw header runs into the raw data
  PutBe32(overlaps, 96, cfaAt - metaAt + 8);
  Bytes records = volume;  // the raw header's records outgrow it
  records[metaAt + 4 + 3] = 200;
  Bytes preview = volume;  // the preview, past the check's window, is no JPEG
  PutBe32(preview, 84, cfaAt);
  for (const Bytes& bad : {covers, overlaps, records, preview}) {
    const TTold told = Told(raf, "RAF", bad);
    EXPECT_EQ(told.end, std::nullopt);
    EXPECT_EQ(told.extent, 0u);
  }
}

// --- MPEG transport streams ---------------------------------------------------

const TFormat& Mts() {
  return FormatNamed("m2ts");
}
const TFormat& Ts() {
  return FormatNamed("ts");
}

// count packets of noise, each with its sync byte (after a time code for MTS).
Bytes Stream(bool m2ts, std::size_t count, std::uint32_t seed) {
  Bytes b;
  for (std::size_t i = 0; i < count; ++i) {
    Bytes packet = Noise(m2ts ? 192 : 188, seed + static_cast<std::uint32_t>(i));
    if (m2ts) packet[0] &= 0x3F;
    packet[m2ts ? 4 : 0] = 0x47;
    b = Join(b, packet);
  }
  return b;
}

TEST(MpegTsTest, EndsAfterTheLastWholePacketOfTheRun) {
  for (const auto& [kind, ext] :
       {std::pair<const char*, const char*>{"mts", "MTS"}, {"ts", "TS"}}) {
    SCOPED_TRACE(kind);
    const TFormat& format = std::string(ext) == "MTS" ? Mts() : Ts();
    const Bytes file = Kind(kind);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(Checked(format, file), ext);
    TSearchTypes noOther = AllSearchTypes();
    noOther.Other = false;
    EXPECT_EQ(Checked(format, file, noOther), "");
    const TTold told = Told(format, ext, Join(file, NextFile()));
    EXPECT_EQ(told.end, file.size());
    EXPECT_LE(told.extent, file.size());
    // A run that goes on to the volume's end ends there, or at its last whole packet.
    const std::size_t packet = std::string(ext) == "MTS" ? 192 : 188;
    EXPECT_EQ(EndInAnyPieces(format, ext, file), file.size());
    EXPECT_EQ(EndInAnyPieces(format, ext, Bytes(file.begin(), file.end() - 1)),
              file.size() - packet);
    // A packet whose sync byte is gone ends the run before it.
    Bytes broken = Join(file, NextFile());
    broken[5 * packet + (packet - 188)] = 0x48;
    EXPECT_EQ(EndInAnyPieces(format, ext, broken), 5 * packet);
  }
  EXPECT_EQ(Checked(Ts(), Stream(true, 8, 1)), "");
  EXPECT_EQ(Checked(Mts(), Stream(false, 8, 1)), "");
  EXPECT_EQ(EndInAnyPieces(Ts(), "TS", NextFile()), std::nullopt);
}

// Where packets meet sector starts the header check sees a stream of its
// own; those inside the run must lie within the known extent, and the
// sector right after the run must not.
// Three sync bytes in a row of a photo's data are chance; the checked
// header wants them all through its first 4 KiB.
TEST(MpegTsTest, CheckedHeaderWantsSyncBytesThroughItsFirstKilobytes) {
  for (const bool m2ts : {true, false}) {
    SCOPED_TRACE(m2ts ? "MTS" : "TS");
    const std::size_t packet = m2ts ? 192 : 188, first = m2ts ? 4 : 0;
    Bytes chance = Noise(8192, 5);
    for (std::size_t i = 0; i < 3; ++i) chance[first + i * packet] = 0x47;
    for (std::size_t at = first + 3 * packet; at < chance.size(); at += packet) {
      if (chance[at] == 0x47) chance[at] = 0x46;
    }
    const TFormat& format = m2ts ? Mts() : Ts();
    EXPECT_EQ(Checked(format, chance), "");
    const Bytes stream = Stream(m2ts, 64, 3);
    EXPECT_EQ(Checked(format, stream), m2ts ? "MTS" : "TS");
  }
}

TEST(MpegTsTest, PacketsMeetingSectorStartsStayInTheStream) {
  // 32 MTS packets are 12 sectors, 128 TS packets 47: each ends on a sector.
  for (const auto& [m2ts, count] : {std::pair<bool, std::size_t>{true, 32 * 5}, {false, 128 * 5}}) {
    SCOPED_TRACE(m2ts ? "MTS" : "TS");
    const std::size_t packet = m2ts ? 192 : 188;
    const Bytes stream = Stream(m2ts, count, 3);
    ASSERT_EQ(stream.size() % 512, 0u);
    const Bytes card = Join(stream, NextFile());
    const TFormat& format = m2ts ? Mts() : Ts();
    TBytesVolume volume(card);
    const auto finder = format.finder(m2ts ? "MTS" : "TS", card.size(), &volume);
    std::size_t met = 0;
    for (std::size_t at = 0; at < card.size(); at += 512) {
      if (at % packet == 0 && at > 0 && at < stream.size()) {
        ++met;
        // A stream of its own wants 4 KiB of packets; nearer the end the
        // packet is only this stream's.
        if (stream.size() - at >= 4096) {
          EXPECT_EQ(
              Checked(format, Bytes(card.begin() + static_cast<std::ptrdiff_t>(at), card.end())),
              m2ts ? "MTS" : "TS");
        }
        EXPECT_GT(finder->KnownExtent(), at) << "a packet at " << at;
      }
      if (at == stream.size()) {
        EXPECT_LE(finder->KnownExtent(), at) << "the photo after";
      }
      if (finder->Feed(card.data() + at, 512)) break;
    }
    EXPECT_GE(met, 4u);
    EXPECT_EQ(finder->FileSize(), stream.size());
    EXPECT_LT(volume.reads, m2ts ? 10 : 12) << "reads ahead";
  }
}

}  // namespace
