// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/engine/formats/formattest.h"

#include <map>
#include <string_view>

#include "tests/support/camerafiles.h"
#include "tests/support/samplecard.h"

namespace {

using namespace formattest;
using namespace std::string_view_literals;

const TFormat& Iso() {
  return FormatNamed("isobmff");
}

void Put32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

void Put64(Bytes& b, std::uint64_t v) {
  Put32(b, static_cast<std::uint32_t>(v >> 32)), Put32(b, static_cast<std::uint32_t>(v));
}

void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

Bytes Box(const char* type, const Bytes& body) {
  Bytes b;
  Put32(b, static_cast<std::uint32_t>(8 + body.size()));
  b.insert(b.end(), type, type + 4);
  return Join(b, body);
}

Bytes Full(const char* type, const Bytes& body) {
  return Box(type, Join(Bytes(4, 0), body));
}

Bytes FileType(std::string_view brands) {
  return Box("ftyp", Bytes(brands.begin(), brands.end()));
}

// A moov with one track of `samples` samples of `size` bytes, two per chunk,
// its chunks back to back from dataAt (co64 when wide).
Bytes Moov(std::uint64_t dataAt, std::uint32_t samples, std::uint32_t size, bool wide = false) {
  Bytes stsc, stsz, offsets;
  Put32(stsc, 1), Put32(stsc, 1), Put32(stsc, 2), Put32(stsc, 1);
  Put32(stsz, size), Put32(stsz, samples);
  Put32(offsets, (samples + 1) / 2);
  for (std::uint32_t chunk = 0; chunk < (samples + 1) / 2; ++chunk) {
    const std::uint64_t at = dataAt + std::uint64_t{chunk} * 2 * size;
    wide ? Put64(offsets, at) : Put32(offsets, static_cast<std::uint32_t>(at));
  }
  const Bytes stbl =
      Join(Join(Full("stsc", stsc), Full("stsz", stsz)), Full(wide ? "co64" : "stco", offsets));
  const Bytes trak = Box("trak", Box("mdia", Box("minf", Box("stbl", stbl))));
  return Box("moov", Join(Full("mvhd", Bytes(96, 0)), trak));
}

// ftyp, moov, mdat: the moov's size does not depend on where the data lies.
Bytes FastStart(std::uint32_t samples, std::uint32_t size) {
  const Bytes ftyp = FileType("isom\0\0\0\0isommp41"sv);
  const std::size_t dataAt = ftyp.size() + Moov(0, samples, size).size() + 8;
  return Join(Join(ftyp, Moov(dataAt, samples, size)),
              Box("mdat", Noise(std::size_t{samples} * size, 5)));
}

// A card after a file: the rest of its sector zero, then another file.
Bytes Card(const Bytes& file, const Bytes& next) {
  Bytes b = file;
  b.resize((b.size() + 511) / 512 * 512, 0);
  return Join(b, next);
}

std::map<std::string, CameraFile> IsoFiles() {
  std::map<std::string, CameraFile> files;
  for (const char* kind : {"mp4", "mov", "m4v", "3gp", "heic", "avif", "cr3"}) {
    if (auto file = MakeCameraFile(kind, nullptr, true)) files[kind] = std::move(*file);
  }
  return files;
}

TEST(IsoMediaTest, NamedByTheirBrands) {
  for (const auto& [kind, file] : IsoFiles()) {
    EXPECT_EQ(Checked(Iso(), file.bytes), file.ext) << kind;
    TSearchTypes other = AllSearchTypes(false);
    (file.ext == "HEIC" || file.ext == "AVIF" || file.ext == "CR3" ? other.MOV : other.Other) =
        true;
    EXPECT_EQ(Checked(Iso(), file.bytes, other), "") << kind << ": not its box";
  }
  const std::pair<std::string_view, const char*> brands[] = {
      {"qt  \0\0\0\0qt  "sv, "MOV"}, {"mp42\0\0\0\0isom"sv, "MP4"}, {"XAVC\0\0\0\0"sv, "MP4"},
      {"M4VH\0\0\0\0"sv, "M4V"},     {"3gp5\0\0\0\0"sv, "3GP"},     {"3g2a\0\0\0\0"sv, "3G2"},
      {"abcd\0\0\0\0M4V "sv, "M4V"}, {"abcd\0\0\0\0wxyz"sv, ""},    {"heic\0\0\0\0mp42"sv, "HEIC"},
      {"avis\0\0\0\0"sv, "AVIF"},    {"msf1\0\0\0\0"sv, "HEIC"}};
  for (const auto& [brand, ext] : brands) {
    Bytes ftyp = FileType(brand);
    ftyp.resize(512, 0);
    EXPECT_EQ(Checked(Iso(), ftyp), ext) << brand;
    // The unticked scan knows a movie only by its first moov, as ever.
    const bool still = ext == "HEIC"sv || ext == "AVIF"sv;
    EXPECT_STREQ(Iso().detect(AllSearchTypes(), ftyp.data(), ftyp.size()), still ? ext : nullptr)
        << brand;
  }
  Bytes moov = Moov(0, 0, 0);
  moov.resize(512, 0);
  EXPECT_EQ(Checked(Iso(), moov), "MOV");
  EXPECT_STREQ(Iso().detect(AllSearchTypes(), moov.data(), moov.size()), "MOV");
}

TEST(IsoMediaTest, EveryKindEndsExactlyBeforeTheNextFile) {
  const auto files = IsoFiles();
  const Bytes jpeg = EncodeJpeg(64, 48, true, 7);
  for (const auto& [kind, file] : files) {
    const std::string ext = Checked(Iso(), file.bytes);
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, Join(file.bytes, jpeg)), file.bytes.size()) << kind;
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, Card(file.bytes, Noise(1024, 3))), file.bytes.size())
        << kind;
    // Right against another file of the same container, and at the volume's end.
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, Join(file.bytes, files.begin()->second.bytes)),
              file.bytes.size())
        << kind;
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, file.bytes), file.bytes.size()) << kind;
    // A file whose header is proven raises its extent over what it holds.
    const TEnd end = EndOf(Iso(), ext, Card(file.bytes, jpeg), 512);
    EXPECT_EQ(end.knownExtent, file.bytes.size()) << kind;
  }
  // Hand-built: moov first, and moov last after a 64-bit mdat.
  const Bytes fast = FastStart(10, 700);
  EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(fast, jpeg)), fast.size());
  const Bytes head = Join(FileType("qt  \0\0\0\0qt  "sv), Box("wide", {}));
  Bytes mdat;
  Put32(mdat, 1), mdat.insert(mdat.end(), {'m', 'd', 'a', 't'}), Put64(mdat, 16 + 4000);
  const Bytes camera =
      Join(Join(Join(head, mdat), Noise(4000, 9)), Moov(head.size() + 16, 8, 500, true));
  EXPECT_EQ(EndInAnyPieces(Iso(), "MOV", Join(camera, jpeg)), camera.size());
}

// A volume of zeros but for a few placed pieces, as large as wanted.
class TSparseVolume final : public TVolumeBytes {
 public:
  std::map<std::uint64_t, Bytes> pieces;
  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    std::memset(buffer, 0, size);
    for (const auto& [at, b] : pieces) {
      for (std::size_t i = 0; i < b.size(); ++i) {
        if (at + i >= offset && at + i < offset + size) buffer[at + i - offset] = b[i];
      }
    }
    return true;
  }
};

TEST(IsoMediaTest, SixtyFourBitSizesEndPastFourGiB) {
  constexpr std::uint64_t kData = (5ull << 30) + 3;
  TSparseVolume volume;
  const Bytes ftyp = FileType("qt  \0\0\0\0qt  "sv);
  Bytes mdat;
  Put32(mdat, 1), mdat.insert(mdat.end(), {'m', 'd', 'a', 't'}), Put64(mdat, 16 + kData);
  const std::uint64_t moovAt = ftyp.size() + 16 + kData;
  // Two samples at the mdat's start.
  const Bytes moov = Moov(ftyp.size() + 16, 2, static_cast<std::uint32_t>(kData >> 3), true);
  volume.pieces = {{0, Join(ftyp, mdat)}, {moovAt, moov}};
  const std::uint64_t size = moovAt + moov.size();
  const auto finder = Iso().finder("MOV", size + 4096, &volume);
  std::optional<std::size_t> belongs;
  Bytes piece(1 << 20);
  for (std::uint64_t at = 0; at < size + 4096 && !belongs; at += piece.size()) {
    // The pieces between hold zeros; only the placed ones need reading.
    if (at == 0 || at + 2 * piece.size() > moovAt) volume.Read(at, piece.data(), piece.size());
    belongs = finder->Feed(piece.data(), piece.size());
    if (at == 0) std::fill(piece.begin(), piece.end(), 0);
  }
  EXPECT_EQ(finder->FileSize(), size);
  EXPECT_EQ(finder->KnownExtent(), size);
}

// A recording cut short: its mdat claims the photo behind it and more.
TEST(IsoMediaTest, AnMdatClaimingMoreHidesNothing) {
  const Bytes jpeg = EncodeJpeg(320, 240, true, 11);
  const std::uint32_t extra = static_cast<std::uint32_t>((jpeg.size() / 512 + 8) * 512);
  const auto lying = MdatLyingMovie(extra);
  ASSERT_TRUE(lying);
  const auto mov = MakeCameraFile("mov");
  const Bytes fast = FastStart(20, 300);
  Bytes fastLying = fast;
  Set32(fastLying, fast.size() - 20 * 300 - 8, 8 + 20 * 300 + extra);
  // The camera files' movie ends where its sample tables end (a hand-built
  // one has none, and tells no end).
  const bool tables = lying->note.find("laid out") == std::string::npos;
  std::vector<std::pair<Bytes, std::optional<std::uint64_t>>> cases{
      {fastLying, fast.size()},
      {lying->bytes, tables ? std::optional<std::uint64_t>(lying->bytes.size()) : std::nullopt}};
  if (mov) {
    // Moov last: the claim passes over the moov, so nothing tells the end.
    Bytes b = mov->bytes;
    for (std::size_t at = 0; at + 8 <= b.size();) {
      const std::uint32_t box = b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
      if (std::memcmp(&b[at + 4], "mdat", 4) == 0) {
        Set32(b, at, box + extra);
        break;
      }
      at += box;
    }
    cases.push_back({b, std::nullopt});
  }
  for (const auto& [movie, end] : cases) {
    const Bytes volume = Card(Card(movie, jpeg), Noise(extra + 4096, 12));
    const std::uint64_t jpegAt = (movie.size() + 511) / 512 * 512;
    for (std::size_t piece : {1, 512, 4096}) {
      TBytesVolume bytes(volume);
      const auto finder = Iso().finder("MP4", volume.size(), &bytes);
      std::optional<std::size_t> belongs;
      for (std::size_t at = 0; at < volume.size() && !belongs; at += piece) {
        belongs = finder->Feed(volume.data() + at, std::min(piece, volume.size() - at));
        ASSERT_LE(finder->KnownExtent(), jpegAt) << "at " << at;
      }
      EXPECT_EQ(finder->FileSize(), end) << piece;
    }
  }
  // Where nothing can be read ahead, the chain is walked as fed: the same end.
  const Bytes volume = Card(Card(fastLying, jpeg), Noise(extra, 3));
  for (std::size_t piece : {1, 512}) {
    const auto finder = Iso().finder("MP4", volume.size(), nullptr);
    std::optional<std::size_t> belongs;
    for (std::size_t at = 0; at < volume.size() && !belongs; at += piece) {
      belongs = finder->Feed(volume.data() + at, std::min(piece, volume.size() - at));
      ASSERT_EQ(finder->KnownExtent(), belongs ? fast.size() : 0u);
    }
    EXPECT_EQ(finder->FileSize(), fast.size());
  }
}

TEST(IsoMediaTest, SizeZeroRunsToTheEnd) {
  // Moov first: the sample tables tell where the data ends.
  Bytes fast = FastStart(6, 256);
  Set32(fast, fast.size() - 6 * 256 - 8, 0);
  EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(fast, Noise(3000, 1))), fast.size());
  // Without tables nothing does.
  const Bytes bare = Join(Join(FileType("isom\0\0\0\0"sv), Box("moov", Full("mvhd", Bytes(96, 0)))),
                          Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't'});
  EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(bare, Noise(3000, 1))), std::nullopt);
}

TEST(IsoMediaTest, StillsEndWhereTheirItemsDo) {
  const auto files = IsoFiles();
  for (const char* kind : {"heic", "avif"}) {
    if (!files.count(kind)) continue;
    const Bytes& still = files.at(kind).bytes;
    // Its mdat claiming the photo after it: the item locations end it.
    Bytes lying = still;
    std::size_t mdatAt = 0;
    for (std::size_t at = 0; at + 8 <= lying.size();) {
      const std::uint32_t box =
          lying[at] << 24 | lying[at + 1] << 16 | lying[at + 2] << 8 | lying[at + 3];
      if (std::memcmp(&lying[at + 4], "mdat", 4) == 0) mdatAt = at;
      at += box;
    }
    ASSERT_NE(mdatAt, 0u) << kind;
    Set32(lying, mdatAt, static_cast<std::uint32_t>(lying.size() - mdatAt + 20000));
    const Bytes jpeg = EncodeJpeg(320, 240, false, 3);
    const Bytes card = Card(Card(lying, jpeg), Noise(20000, 4));
    EXPECT_EQ(EndInAnyPieces(Iso(), Checked(Iso(), still), card), still.size()) << kind;
    EXPECT_LE(EndOf(Iso(), Checked(Iso(), still), card, 512).knownExtent, still.size());
  }
}

TEST(IsoMediaTest, BrokenChainsEndAtTheirLastSoundBox) {
  const Bytes fast = FastStart(10, 700);
  const Bytes tail = Noise(2000, 8);
  // Garbage types, and a printable type whose size passes the volume, after a
  // whole movie end it; before its data they leave it without an end.
  for (const Bytes& after :
       {Bytes{0, 0, 0, 40, 1, 2, 3, 4}, Bytes{0x7F, 0, 0, 0, 'f', 'r', 'e', 'e'}}) {
    EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(Join(fast, after), tail)), fast.size());
    const std::size_t moovEnd = fast.size() - 10 * 700 - 8;
    Bytes early(fast.begin(), fast.begin() + static_cast<std::ptrdiff_t>(moovEnd));
    EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(Join(early, after), tail)), std::nullopt);
  }
  // A free box left at the end proves nothing of its size: the movie ends before it.
  const Bytes freeLast = Join(fast, Box("free", Bytes(100, 0)));
  EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(freeLast, Bytes(600, 0))), fast.size());
  // Tables that point past the mdat.
  Bytes past = FastStart(10, 700);
  Set32(past, past.size() - 10 * 700 - 8, 8 + 10 * 700 - 1);
  EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(past, tail)), std::nullopt);
}

TEST(IsoMediaTest, MoviesCutShortTellNoEnd) {
  for (const auto& [kind, file] : IsoFiles()) {
    const std::string ext = Checked(Iso(), file.bytes);
    // Cut in its data, then zeros; and cut by a byte at the volume's end.
    const Bytes third(file.bytes.begin(), file.bytes.begin() + std::ssize(file.bytes) / 3);
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, Join(third, Bytes(512, 0))), std::nullopt) << kind;
    const Bytes byte(file.bytes.begin(), file.bytes.end() - 1);
    EXPECT_EQ(EndInAnyPieces(Iso(), ext, byte), std::nullopt) << kind;
  }
}

TEST(IsoMediaTest, HostileIndexesCostBoundedWork) {
  // A moov nested a hundred thousand boxes deep, tables with absurd counts, and
  // a moov too big to read: no end, no crash, few reads.
  Bytes deep;
  constexpr std::uint32_t kDepth = 100000;
  for (std::uint32_t i = 0; i < kDepth; ++i) {
    Put32(deep, 8 * (kDepth - i));
    const char* type = i % 4 == 0 ? "trak" : i % 4 == 1 ? "mdia" : i % 4 == 2 ? "minf" : "stbl";
    deep.insert(deep.end(), type, type + 4);
  }
  Bytes counts;
  Put32(counts, 0), Put32(counts, 0xFFFFFFFF);
  const Bytes absurd =
      Box("moov", Box("trak", Box("mdia", Box("minf", Box("stbl", Box("stco", counts))))));
  Bytes huge = Join(FileType("isom\0\0\0\0"sv), Bytes{0x01, 0x10, 0, 8, 'm', 'o', 'o', 'v'});
  huge.resize(0x01100008 + 24, 0);
  for (const Bytes& moov : {Box("moov", deep), absurd}) {
    const Bytes movie = Join(Join(FileType("isom\0\0\0\0"sv), moov), Box("mdat", Noise(600, 1)));
    EXPECT_EQ(EndInAnyPieces(Iso(), "MP4", Join(movie, Noise(600, 2))), std::nullopt);
  }
  TBytesVolume bytes(huge);
  const auto finder = Iso().finder("MP4", huge.size(), &bytes);
  EXPECT_FALSE(finder->Feed(huge.data(), huge.size()));
  EXPECT_LE(bytes.reads, 4);
}

}  // namespace
