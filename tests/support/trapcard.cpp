// SPDX-License-Identifier: GPL-3.0-or-later
// The trap card: the files and layout of a real camera card that fool a
// carver trusting a sector's first bytes, each trap placed on purpose so a
// test knows where it lies.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "tests/support/camerafiles.h"
#include "tests/support/cardparts.h"
#include "tests/support/sha256.h"

namespace {

// Encoding again with another seed finds a file with the traps asked for
// and no others within a few attempts; far more means a fault here.
constexpr std::uint32_t kAttempts = 1000;

std::size_t Be16(const Bytes& b, std::size_t at) {
  return std::size_t{b[at]} << 8 | b[at + 1];
}

// Where a baseline JPEG's compressed data begins: after its SOS segment.
std::size_t ScanDataAt(const Bytes& jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::size_t length = Be16(jpeg, at + 2);
    if (jpeg[at + 1] == 0xDA) return at + 2 + length;
    at += 2 + length;
  }
  throw std::logic_error("sample JPEG without a scan");
}

// An Exif APP1 payload as cameras write it: a little-endian TIFF whose first
// directory describes the camera and points at the Exif directory with the
// maker note, and whose second points at the thumbnail, stored last. The
// maker note's length puts the thumbnail on a sector boundary when asked.
// thumbAt: the thumbnail's offset in the photo, the segment following SOI.
Bytes ExifWithThumbnail(const Bytes& thumbnail, bool atSector, std::size_t& thumbAt) {
  constexpr std::uint32_t kTiffAt = 12;  // SOI, APP1 marker and length, "Exif\0\0"
  constexpr std::uint32_t kIfd0 = 8, kExifIfd = kIfd0 + 2 + 4 * 12 + 4;
  constexpr std::uint32_t kIfd1 = kExifIfd + 2 + 2 * 12 + 4;
  constexpr std::uint32_t kMakeAt = kIfd1 + 2 + 3 * 12 + 4, kModelAt = kMakeAt + 8;
  constexpr std::uint32_t kNoteAt = kModelAt + 12;
  std::uint32_t thumbnailAt = kNoteAt + 6000;  // maker notes run to some kilobytes
  if (atSector) {
    thumbnailAt += (kSector - (kTiffAt + thumbnailAt) % kSector) % kSector;
  } else if ((kTiffAt + thumbnailAt) % kSector == 0) {
    thumbnailAt += 2;
  }

  Bytes t{'I', 'I', 42, 0};
  Put32(t, kIfd0);
  const auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                         std::uint32_t value) {
    Put16(t, tag), Put16(t, type), Put32(t, count), Put32(t, value);
  };
  Put16(t, 4);
  entry(0x010F, 2, 7, kMakeAt);
  entry(0x0110, 2, 12, kModelAt);
  entry(0x0112, 3, 1, 1);  // orientation
  entry(0x8769, 4, 1, kExifIfd);
  Put32(t, kIfd1);
  Put16(t, 2);
  entry(0x9000, 7, 4, 0x30333230);  // Exif version "0230"
  entry(0x927C, 7, thumbnailAt - kNoteAt, kNoteAt);
  Put32(t, 0);
  Put16(t, 3);
  entry(0x0103, 3, 1, 6);  // compression: JPEG
  entry(0x0201, 4, 1, thumbnailAt);
  entry(0x0202, 4, 1, static_cast<std::uint32_t>(thumbnail.size()));
  Put32(t, 0);
  Text(t, "Sample"), t.resize(t.size() + 2, 0);
  Text(t, "Card Camera"), t.push_back(0);
  Text(t, "Sample"), t.resize(thumbnailAt, 0);
  Append(t, thumbnail);

  Bytes payload{'E', 'x', 'i', 'f', 0, 0};
  Append(payload, t);
  if (payload.size() > 65533) throw std::logic_error("sample thumbnail too large");
  thumbAt = kTiffAt + thumbnailAt;
  return payload;
}

enum class Kind { Jfif, Exif, Thumbnail, ThumbnailAtSector, NoApp, FalseBm, FalseIi, FalseMm };

// The photos' order on the card, repeated.
constexpr Kind kCycle[] = {
    Kind::Jfif,    Kind::Thumbnail, Kind::FalseBm, Kind::NoApp, Kind::ThumbnailAtSector,
    Kind::FalseIi, Kind::Exif,      Kind::FalseMm};

const char* TrapOf(Kind kind) {
  switch (kind) {
    case Kind::Thumbnail:
      return "thumbnail";
    case Kind::ThumbnailAtSector:
      return "thumbnail-at-sector";
    case Kind::NoApp:
      return "no-app";
    case Kind::FalseBm:
    case Kind::FalseIi:
    case Kind::FalseMm:
      return "false-header";
    default:
      return "";
  }
}

Photo MakeTrapPhoto(Kind kind, int width, int height, std::uint32_t seed) {
  for (std::uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
    const std::uint32_t s = seed * 977 + attempt;
    Bytes jpeg;
    std::vector<std::size_t> expected;
    switch (kind) {
      case Kind::Thumbnail:
      case Kind::ThumbnailAtSector: {
        // Most cameras write the thumbnail without JFIF; the one at a sector
        // boundary has it, so even the plain header test takes it for a photo.
        const bool atSector = kind == Kind::ThumbnailAtSector;
        const Bytes thumbnail = EncodeJpegWith(160, 120, atSector, nullptr, s, 75);
        std::size_t thumbAt = 0;
        const Bytes app1 = ExifWithThumbnail(thumbnail, atSector, thumbAt);
        jpeg = EncodeJpegWith(width, height, false, &app1, s);
        if (atSector) expected.push_back(thumbAt);
        break;
      }
      case Kind::NoApp:
        jpeg = EncodeJpegWith(width, height, false, nullptr, s);
        break;
      case Kind::Exif:
      case Kind::FalseIi:
        jpeg = EncodeJpeg(width, height, true, s);
        break;
      default:
        jpeg = EncodeJpeg(width, height, false, s);
    }
    if (kind == Kind::FalseBm || kind == Kind::FalseIi || kind == Kind::FalseMm) {
      // The pair somewhere in the compressed data, moved onto a sector
      // boundary by a longer comment before it.
      const std::uint8_t first = kind == Kind::FalseBm ? 'B' : kind == Kind::FalseIi ? 'I' : 'M';
      const std::uint8_t second = kind == Kind::FalseBm ? 'M' : first;
      constexpr std::size_t kComment = 4 + 16;
      for (std::size_t at = ScanDataAt(jpeg); at + 3 < jpeg.size(); ++at) {
        if (jpeg[at] != first || jpeg[at + 1] != second) continue;
        const std::size_t padding = (kSector - (at + kComment) % kSector) % kSector;
        Photo photo{jpeg, 0};
        photo.commentAt = InsertComment(photo.bytes, padding);
        if (HeaderSectors(photo.bytes) == std::vector<std::size_t>{at + kComment + padding}) {
          return photo;
        }
      }
      continue;
    }
    Photo photo{jpeg, 0};
    photo.commentAt = InsertComment(photo.bytes);
    if (HeaderSectors(photo.bytes) == expected) return photo;
  }
  throw std::logic_error("no sample photo with its traps only");
}

// --- Movies ---------------------------------------------------------------

Bytes FileType(const char* brand, std::uint32_t version, const char* compatible) {
  Bytes b;
  Text(b, brand), Put32Be(b, version), Text(b, compatible);
  return Atom("ftyp", b);
}

void Matrix(Bytes& b) {
  for (std::uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) Put32Be(b, v);
}

// The sample table of a track whose media is one chunk of one sample.
Bytes SampleTable(std::uint32_t chunkAt, std::uint32_t chunkSize) {
  Bytes stsc(4, 0);
  Put32Be(stsc, 1), Put32Be(stsc, 1), Put32Be(stsc, 1), Put32Be(stsc, 1);
  Bytes stsz(4, 0);
  Put32Be(stsz, chunkSize), Put32Be(stsz, 1);
  Bytes stco(4, 0);
  Put32Be(stco, 1), Put32Be(stco, chunkAt);
  Bytes stbl = Atom("stsc", stsc);
  Append(stbl, Atom("stsz", stsz)), Append(stbl, Atom("stco", stco));
  return Atom("minf", Atom("stbl", stbl));
}

// moov with a movie header and one video track, as small as players take;
// its one chunk of media lies at chunkAt in the file.
Bytes Movie(int width, int height, std::uint32_t chunkAt, std::uint32_t chunkSize) {
  constexpr std::uint32_t kScale = 600, kDuration = 1200;
  Bytes mvhd(4, 0);  // version 0, no flags
  Put32Be(mvhd, 0), Put32Be(mvhd, 0), Put32Be(mvhd, kScale), Put32Be(mvhd, kDuration);
  Put32Be(mvhd, 0x10000), Put16Be(mvhd, 0x100);  // rate and volume 1.0
  mvhd.resize(mvhd.size() + 10, 0);
  Matrix(mvhd);
  mvhd.resize(mvhd.size() + 24, 0);
  Put32Be(mvhd, 2);  // next track

  Bytes tkhd{0, 0, 0, 7};  // enabled, in the movie and the preview
  Put32Be(tkhd, 0), Put32Be(tkhd, 0), Put32Be(tkhd, 1), Put32Be(tkhd, 0), Put32Be(tkhd, kDuration);
  tkhd.resize(tkhd.size() + 16, 0);  // reserved, layer, group, volume
  Matrix(tkhd);
  Put32Be(tkhd, static_cast<std::uint32_t>(width) << 16);
  Put32Be(tkhd, static_cast<std::uint32_t>(height) << 16);
  Bytes mdhd(4, 0);
  Put32Be(mdhd, 0), Put32Be(mdhd, 0), Put32Be(mdhd, kScale), Put32Be(mdhd, kDuration);
  Put16Be(mdhd, 0x55C4), Put16Be(mdhd, 0);  // language "und"
  Bytes hdlr(8, 0);
  Text(hdlr, "vide"), hdlr.resize(hdlr.size() + 12, 0), Text(hdlr, "VideoHandler");
  hdlr.push_back(0);
  Bytes mdia = Atom("mdhd", mdhd);
  Append(mdia, Atom("hdlr", hdlr));
  Append(mdia, SampleTable(chunkAt, chunkSize));
  Bytes trak = Atom("tkhd", tkhd);
  Append(trak, Atom("mdia", mdia));
  Bytes moov = Atom("mvhd", mvhd);
  Append(moov, Atom("trak", trak));
  return Atom("moov", moov);
}

// Encodes with the next seed until the file has no header-like sector
// inside but the ones it is meant to have.
template <typename Make>
Bytes Clean(std::uint32_t seed, Make make) {
  for (std::uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
    std::vector<std::size_t> expected;
    Bytes b = make(seed * 7919 + attempt, expected);
    if (HeaderSectors(b) == expected) return b;
  }
  throw std::logic_error("no sample file with its traps only");
}

// An MP4 as phones write it: ftyp first, then moov, then the media data.
Bytes Mp4(std::size_t dataSize, std::uint32_t seed) {
  return Clean(seed, [&](std::uint32_t s, std::vector<std::size_t>&) {
    Bytes b = FileType("isom", 0x200, "isomiso2avc1mp41");
    const auto size = static_cast<std::uint32_t>(dataSize);
    const std::size_t moovSize = Movie(640, 480, 0, size).size();
    Append(b, Movie(640, 480, static_cast<std::uint32_t>(b.size() + moovSize + 8), size));
    Append(b, Atom("mdat", Noise(dataSize, s)));
    return b;
  });
}

// A camera's QuickTime movie: ftyp "qt  ", a wide atom, the media data, moov last.
Bytes CameraMov(std::size_t dataSize, std::uint32_t seed) {
  return Clean(seed, [&](std::uint32_t s, std::vector<std::size_t>&) {
    Bytes b = FileType("qt  ", 0x20050300, "qt  ");
    Append(b, Atom("wide", {}));
    const auto chunkAt = static_cast<std::uint32_t>(b.size() + 8);
    Append(b, Atom("mdat", Noise(dataSize, s)));
    Append(b, Movie(1280, 720, chunkAt, static_cast<std::uint32_t>(dataSize)));
    return b;
  });
}

// A HEIC still: the same box structure as a movie, but no movie in it.
Bytes Heic(std::size_t dataSize, std::uint32_t seed) {
  return Clean(seed, [&](std::uint32_t s, std::vector<std::size_t>&) {
    const Bytes ftyp = FileType("heic", 0, "mif1heic");
    const auto meta = [&](std::uint32_t dataAt) {
      Bytes hdlr(8, 0);
      Text(hdlr, "pict"), hdlr.resize(hdlr.size() + 13, 0);
      Bytes pitm(4, 0);
      Put16Be(pitm, 1);
      Bytes infe{2, 0, 0, 0};
      Put16Be(infe, 1), Put16Be(infe, 0), Text(infe, "hvc1"), infe.push_back(0);
      Bytes iinf(4, 0);
      Put16Be(iinf, 1), Append(iinf, Atom("infe", infe));
      Bytes iloc{0, 0, 0, 0, 0x44, 0x00};  // 4-byte offsets and lengths
      Put16Be(iloc, 1), Put16Be(iloc, 1), Put16Be(iloc, 0), Put16Be(iloc, 1);
      Put32Be(iloc, dataAt), Put32Be(iloc, static_cast<std::uint32_t>(dataSize));
      Bytes body(4, 0);
      Append(body, Atom("hdlr", hdlr)), Append(body, Atom("pitm", pitm));
      Append(body, Atom("iinf", iinf)), Append(body, Atom("iloc", iloc));
      return Atom("meta", body);
    };
    const std::size_t metaSize = meta(0).size();
    Bytes b = ftyp;
    Append(b, meta(static_cast<std::uint32_t>(ftyp.size() + metaSize + 8)));
    Append(b, Atom("mdat", Noise(dataSize, s)));
    return b;
  });
}

// An MJPEG AVI as still cameras record: every frame a JPEG with a JFIF
// header, one of them moved onto a sector boundary by a JUNK chunk.
Bytes MjpegAvi(int width, int height, int frames, std::uint32_t seed) {
  return Clean(seed, [&](std::uint32_t s, std::vector<std::size_t>& expected) {
    const int aligned = frames / 2;
    Bytes avih;
    for (std::uint32_t v :
         {33333u, 0u, 0u, 0x10u, static_cast<std::uint32_t>(frames), 0u, 1u, 0u,
          static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 0u, 0u, 0u, 0u}) {
      Put32(avih, v);
    }
    Bytes strh;
    Text(strh, "vidsMJPG");
    for (std::uint32_t v :
         {0u, 0u, 0u, 1u, 30u, 0u, static_cast<std::uint32_t>(frames), 0u, 0xFFFFFFFFu, 0u}) {
      Put32(strh, v);
    }
    Put16(strh, 0), Put16(strh, 0), Put16(strh, width), Put16(strh, height);
    Bytes strf;
    Put32(strf, 40), Put32(strf, width), Put32(strf, height), Put16(strf, 1), Put16(strf, 24);
    Text(strf, "MJPG"), Put32(strf, width * height * 3);
    strf.resize(strf.size() + 16, 0);
    Bytes strl;
    Text(strl, "strl"), Chunk(strl, "strh", strh), Chunk(strl, "strf", strf);
    Bytes hdrl;
    Text(hdrl, "hdrl"), Chunk(hdrl, "avih", avih), Chunk(hdrl, "LIST", strl);

    Bytes b;
    Text(b, "RIFF"), Put32(b, 0), Text(b, "AVI ");
    Chunk(b, "LIST", hdrl);
    const std::size_t moviAt = b.size();
    Text(b, "LIST"), Put32(b, 0), Text(b, "movi");
    Bytes index;
    for (int i = 0; i < frames; ++i) {
      const Bytes frame = EncodeJpeg(width, height, false, s + static_cast<std::uint32_t>(i), 80);
      if (i == aligned) {
        const std::size_t junk = (kSector - (b.size() + 16) % kSector) % kSector;
        Chunk(b, "JUNK", Bytes(junk, 0));
        expected.push_back(b.size() + 8);
      }
      Text(index, "00dc"), Put32(index, 0x10);  // a key frame
      Put32(index, static_cast<std::uint32_t>(b.size() - moviAt - 8));
      Put32(index, static_cast<std::uint32_t>(frame.size()));
      Chunk(b, "00dc", frame);
    }
    const auto patch = [&](std::size_t at, std::size_t value) {
      for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
    };
    patch(moviAt + 4, b.size() - moviAt - 8);
    Chunk(b, "idx1", index);
    patch(4, b.size() - 8);
    return b;
  });
}

struct Placed {
  std::string type;
  Bytes bytes;
  std::string trap;
  Bytes photoAfter;  // a photo right behind it, inside the range its size field claims
};

// The camera and phone files of camerafiles.h that the card holds, with the
// trap each is there for; those whose tool is missing and that cannot be laid
// out by hand stay off the card.
std::vector<Placed> CameraTraps(std::uint32_t seed, int width, int height, bool full) {
  // The rarer raws and brands only on full-size cards, to leave small ones room for photos.
  struct OnCard {
    const char* kind;
    const char* trap;
    bool fullOnly;
  };
  static const OnCard kOnCard[] = {{"heic", "", false},
                                   {"cr3", "", false},
                                   {"raf", "", false},
                                   {"mts", "", false},
                                   {"mp4", "", false},
                                   {"mov", "", false},
                                   {"cr2", "", false},
                                   {"nef", "", false},
                                   {"dng", "", false},
                                   {"orf", "preview-at-sector", false},
                                   {"rw2", "preview-at-sector", false},
                                   {"avi-opendml", "opendml", false},
                                   {"jpg-motion-google", "motion-photo", false},
                                   {"jpg-motion-samsung", "motion-photo-samsung", false},
                                   {"jpg-mpf", "mpf", false},
                                   {"jpg-fill", "fill-bytes", false},
                                   {"jpg-fill-eoi", "fill-before-eoi", false},
                                   {"ts", "", false},
                                   {"avif", "", false},
                                   {"arw", "", true},
                                   {"pef", "", true},
                                   {"srw", "", true},
                                   {"m4v", "", true},
                                   {"3gp", "", true}};
  std::vector<Placed> placed;
  for (const auto& [kind, trap, fullOnly] : kOnCard) {
    if (fullOnly && !full) continue;
    if (auto file = MakeCameraFile(kind, nullptr, true)) {
      placed.push_back({file->ext, std::move(file->bytes), trap, {}});
    }
    if (std::string(kind) == "mp4") {
      // A recording cut short: its mdat claims the photo behind it and more.
      Photo photo = MakeTrapPhoto(Kind::Jfif, width, height, seed * 131 + 900001);
      StampCopy(photo, 900001);
      const auto extra = static_cast<std::uint32_t>((SectorsFor(photo.bytes.size()) + 8) * kSector);
      if (auto lying = MdatLyingMovie(extra)) {
        placed.push_back(
            {lying->ext, std::move(lying->bytes), "mdat-lies", std::move(photo.bytes)});
      }
    }
  }
  return placed;
}

}  // namespace

std::vector<SampleFile> WriteTrapCard(const std::string& imagePath,
                                      const SampleCardOptions& options) {
  const bool full = options.fullSizePhotos;
  const std::uint32_t seed = options.seed;
  const std::uint64_t totalSectors = options.bytes / kSector;
  const std::uint64_t end = totalSectors - totalSectors / 8;  // an empty eighth after the last file
  const auto dimensions = [&](std::uint32_t s, int& w, int& h) {
    w = full ? 3264 : 320 + static_cast<int>(Mix(s) % 5) * 96;
    h = full ? 2448 : w * 3 / 4;
  };

  // The trap movies and still first, each followed by one of the others.
  std::vector<Placed> others;
  {
    const std::size_t media = full ? 3u << 20 : 40000;
    std::vector<Placed> traps{{"AVI",
                               full ? MjpegAvi(640, 480, 16, seed) : MjpegAvi(160, 120, 6, seed),
                               "frame-at-sector",
                               {}},
                              {"MP4", Mp4(media, seed), "ftyp", {}},
                              {"HEIC", Heic(media / 2, seed), "still-ftyp", {}},
                              {"MOV", CameraMov(media, seed), "ftyp-moov-last", {}}};
    if (options.cameraFiles) {
      int w, h;
      dimensions(seed * 131 + 900001, w, h);
      for (Placed& p : CameraTraps(seed, w, h, full)) traps.push_back(std::move(p));
    }
    std::vector<std::pair<std::string, Bytes>> plain;
    if (options.otherTypes) plain = OtherFiles(seed);
    for (std::size_t i = 0; i < std::max(traps.size(), plain.size()); ++i) {
      if (i < traps.size()) others.push_back(std::move(traps[i]));
      if (i < plain.size()) others.push_back({plain[i].first, std::move(plain[i].second), "", {}});
    }
  }

  // Old photos whose middles lie in free space.
  std::vector<Bytes> old;
  for (std::uint32_t i = 0; i < (full ? 2u : 4u); ++i) {
    int w, h;
    dimensions(seed * 131 + 500009 + i, w, h);
    old.push_back(MakeTrapPhoto(Kind::Jfif, w, h, seed * 131 + 500009 + i).bytes);
  }
  std::uint64_t gapRoom = 51;
  for (const Bytes& b : old) gapRoom = std::max<std::uint64_t>(gapRoom, b.size() / kSector + 24);
  std::size_t fragments = 0;
  const auto fragment = [&]() {
    const Bytes& photo = old[fragments % old.size()];
    const std::size_t n = photo.size() / kSector;
    const std::size_t from = n / 8 + fragments / old.size() % 3 * (n / 8);
    ++fragments;
    return Bytes(photo.begin() + static_cast<std::ptrdiff_t>(from * kSector),
                 photo.begin() + static_cast<std::ptrdiff_t>((from + n / 2) * kSector));
  };

  // Full-size cards make each kind of photo once and place copies.
  std::vector<Photo> bases;
  const auto photoAt = [&](int index) {
    const Kind kind = kCycle[index % 8];
    Photo photo;
    if (full && index >= 8) {
      photo = bases[static_cast<std::size_t>(index % 8)];
    } else {
      const std::uint32_t s = seed * 131 + static_cast<std::uint32_t>(index);
      int w, h;
      dimensions(s, w, h);
      photo = MakeTrapPhoto(kind, w, h, s);
      if (full) bases.push_back(photo);
    }
    StampCopy(photo, index);
    return photo;
  };
  int w, h;
  dimensions(seed * 131 + 700001, w, h);
  const Photo last = MakeTrapPhoto(Kind::Jfif, w, h, seed * 131 + 700001);

  std::ofstream out(imagePath, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("Could not create " + imagePath);
  std::vector<SampleFile> files;
  std::uint64_t sector = 0, photoBytes = 0;
  int placed = 0, gaps = 0;
  const auto write = [&](const std::string& type, const Bytes& bytes, bool whole,
                         const std::string& trap) {
    out.seekp(static_cast<std::streamoff>(sector * kSector));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    files.push_back({type, static_cast<std::uint32_t>(sector), bytes.size(),
                     Sha256Hex(bytes.data(), bytes.size()), whole, trap});
    sector += SectorsFor(bytes.size());
  };
  // Free space after every third file; every other gap starts with the
  // middle of an old photo, right after the file before it or a few sectors on.
  const auto place = [&](const std::string& type, const Bytes& bytes, const std::string& trap,
                         const Bytes& photoAfter = {}) {
    write(type, bytes, true, trap);
    if (!photoAfter.empty()) write("JPG", photoAfter, true, "");
    if (++placed % 3 != 0) return;
    if (gaps++ % 2 == 0) {
      sector += Mix(seed + static_cast<std::uint32_t>(sector)) % 4;
      write("JPG", fragment(), false, "fragment");
      sector += 1 + Mix(seed + static_cast<std::uint32_t>(sector)) % 20;
    } else {
      sector += 1 + Mix(seed + static_cast<std::uint32_t>(sector)) % 50;
    }
  };
  std::size_t nextOther = 0;
  // Room for the other files and the last photo, with a gap after every third file.
  const auto reserve = [&]() {
    std::uint64_t room = SectorsFor(last.bytes.size());
    for (std::size_t i = nextOther; i < others.size(); ++i) {
      room += SectorsFor(others[i].bytes.size()) + SectorsFor(others[i].photoAfter.size());
    }
    return room + ((others.size() - nextOther + 2) / 3 + 3) * gapRoom;
  };

  for (int index = 0;; ++index) {
    const Photo photo = photoAt(index);
    if (photoBytes + photo.bytes.size() > options.photoFill * options.bytes ||
        sector + SectorsFor(photo.bytes.size()) + reserve() > end) {
      break;
    }
    place("JPG", photo.bytes, TrapOf(kCycle[index % 8]));
    photoBytes += photo.bytes.size();
    if (nextOther < others.size()) {
      place(others[nextOther].type, others[nextOther].bytes, others[nextOther].trap,
            others[nextOther].photoAfter);
      ++nextOther;
    }
  }
  for (; nextOther < others.size(); ++nextOther) {
    place(others[nextOther].type, others[nextOther].bytes, others[nextOther].trap,
          others[nextOther].photoAfter);
  }
  write("JPG", last.bytes, true, "");
  if (sector > end) throw std::runtime_error("The card is too small for its files");

  FinishCard(out, options.bytes, imagePath, files);
  return files;
}
