// SPDX-License-Identifier: GPL-3.0-or-later
// The trap card holds every trap it promises, read back from its bytes: the
// files are well formed, the traps lie where they fool a header test, and
// nothing else on the card looks like a header.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "engine/scan.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/recordinghost.h"
#include "tests/support/samplecard.h"
#include "tests/support/sha256.h"
#include "tests/support/stored.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Le16(const std::uint8_t* p) {
  return p[0] | p[1] << 8;
}
std::uint32_t Le32(const std::uint8_t* p) {
  return Le16(p) | Le16(p + 2) << 16;
}
std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

struct Segment {
  std::uint8_t marker;
  std::size_t at;      // of the marker
  std::size_t length;  // of the payload
};

// The segments up to SOS of a baseline JPEG; empty when the file is not one:
// a length runs past the end, or the compressed data holds a marker other
// than a restart before the final EOI.
std::vector<Segment> JpegSegments(const Bytes& b) {
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return {};
  std::vector<Segment> segments;
  std::size_t at = 2;
  for (;;) {
    if (at + 4 > b.size() || b[at] != 0xFF) return {};
    const std::size_t length = std::size_t{b[at + 2]} << 8 | b[at + 3];
    if (length < 2 || at + 2 + length > b.size()) return {};
    segments.push_back({b[at + 1], at, length - 2});
    at += 2 + length;
    if (segments.back().marker == 0xDA) break;
  }
  for (; at + 1 < b.size(); ++at) {
    if (b[at] != 0xFF) continue;
    const std::uint8_t next = b[++at];
    if (next == 0xD9) return at + 1 == b.size() ? segments : std::vector<Segment>{};
    if (next != 0x00 && (next < 0xD0 || next > 0xD7)) return {};
  }
  return {};
}

// The thumbnail an Exif APP1 segment points at: offset in the photo and size.
std::pair<std::size_t, std::size_t> Thumbnail(const Bytes& photo, const Segment& app1) {
  const std::uint8_t* exif = photo.data() + app1.at + 4;
  if (app1.length < 14 || std::memcmp(exif, "Exif\0\0II", 8) != 0) return {0, 0};
  const std::uint8_t* tiff = exif + 6;
  const auto limit = app1.length - 6;
  std::uint32_t ifd = Le32(tiff + 4);
  if (ifd + 2 > limit || ifd + 2 + 12 * Le16(tiff + ifd) + 4 > limit) return {0, 0};
  ifd = Le32(tiff + ifd + 2 + 12 * Le16(tiff + ifd));  // the second directory
  if (ifd == 0 || ifd + 2 > limit || ifd + 2 + 12 * Le16(tiff + ifd) > limit) return {0, 0};
  std::size_t offset = 0, size = 0;
  for (std::uint32_t i = 0; i < Le16(tiff + ifd); ++i) {
    const std::uint8_t* entry = tiff + ifd + 2 + 12 * i;
    if (Le16(entry) == 0x0201) offset = Le32(entry + 8);
    if (Le16(entry) == 0x0202) size = Le32(entry + 8);
  }
  if (offset + size > limit) return {0, 0};
  return {app1.at + 10 + offset, size};
}

// Top-level atoms of an ISO media file, when their sizes add up to the file.
std::vector<std::string> Atoms(const Bytes& b) {
  std::vector<std::string> types;
  std::size_t at = 0;
  while (at + 8 <= b.size()) {
    const std::size_t size = Be32(&b[at]);
    if (size < 8 || at + size > b.size()) return {};
    types.emplace_back(reinterpret_cast<const char*>(&b[at + 4]), 4);
    at += size;
  }
  return at == b.size() ? types : std::vector<std::string>{};
}

// Offsets of the data of the frames in an AVI's movi list.
std::vector<std::size_t> AviFrames(const Bytes& b) {
  std::vector<std::size_t> frames;
  if (b.size() < 12 || std::memcmp(&b[0], "RIFF", 4) != 0 || Le32(&b[4]) + 8 != b.size()) {
    return frames;
  }
  for (std::size_t at = 12; at + 8 <= b.size();) {
    const std::size_t size = Le32(&b[at + 4]);
    if (std::memcmp(&b[at], "LIST", 4) == 0 && std::memcmp(&b[at + 8], "movi", 4) == 0) {
      for (std::size_t in = at + 12; in + 8 <= at + 8 + size;) {
        if (std::memcmp(&b[in], "00dc", 4) == 0) frames.push_back(in + 8);
        in += 8 + (Le32(&b[in + 4]) + 1) / 2 * 2;
      }
    }
    at += 8 + (size + 1) / 2 * 2;
  }
  return frames;
}

bool HasAt(const Bytes& b, std::size_t at, const Bytes& what) {
  return at + what.size() <= b.size() &&
         std::equal(what.begin(), what.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}
bool Contains(const Bytes& b, const Bytes& what) {
  return std::search(b.begin(), b.end(), what.begin(), what.end()) != b.end();
}

// One card for the suite: making it takes seconds under the sanitizers.
class TrapCardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    options.bytes = 4 << 20;  // room for photos beside the camera files
    options.traps = true;
    made = fs::temp_directory_path() / ("fh-" + std::to_string(::getpid()) + "-TrapCardTest");
    fs::create_directories(made);
    files = WriteSampleCard((made / "card.img").string(), options);
    card = ReadBytes(made / "card.img");
  }
  static void TearDownTestSuite() { fs::remove_all(made); }

  static Bytes Content(const SampleFile& f) {
    const auto from = card.begin() + static_cast<std::ptrdiff_t>(f.firstSector) * 512;
    return Bytes(from, from + static_cast<std::ptrdiff_t>(f.size));
  }

  static inline fs::path made;
  static inline SampleCardOptions options;
  static inline std::vector<SampleFile> files;
  static inline Bytes card;
  TTempDir scratch;
  const fs::path dir = scratch.Path();
};

TEST_F(TrapCardTest, ManifestTellsWholeFilesFromFragmentsAndTheTailIsEmpty) {
  ASSERT_EQ(card.size(), options.bytes);
  const auto manifest = ReadManifest((made / "card.img.manifest").string());
  ASSERT_EQ(manifest.size(), files.size());
  std::uint64_t end = 0;
  int fragments = 0;
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    const SampleFile& f = manifest[i];
    EXPECT_EQ(f.sha256, files[i].sha256);
    EXPECT_EQ(f.whole, files[i].whole);
    EXPECT_EQ(f.trap, files[i].trap);
    EXPECT_GE(std::uint64_t{f.firstSector} * 512, end) << "files overlap";
    end = std::uint64_t{f.firstSector} * 512 + f.size;
    ASSERT_LE(end, card.size());
    const Bytes bytes = Content(f);
    EXPECT_EQ(Sha256Hex(bytes.data(), bytes.size()), f.sha256);
    EXPECT_EQ(f.whole, f.trap != "fragment") << i;
    if (!f.whole) {
      // The middle of a photo: compressed data, no start, no end.
      ++fragments;
      EXPECT_EQ(f.type, "JPG");
      EXPECT_FALSE(Contains(bytes, {0xFF, 0xD8}));
      EXPECT_FALSE(Contains(bytes, {0xFF, 0xD9}));
    }
  }
  EXPECT_GE(fragments, 2);
  // The last file is a photo, followed by an empty eighth of the card.
  ASSERT_TRUE(files.back().whole);
  EXPECT_EQ(files.back().type, "JPG");
  EXPECT_GE(card.size() - end, card.size() / 8);
  EXPECT_TRUE(std::all_of(card.begin() + static_cast<std::ptrdiff_t>(end), card.end(),
                          [](std::uint8_t c) { return c == 0; }));

  WriteSampleCard((dir / "again.img").string(), options);
  EXPECT_TRUE(ReadBytes(dir / "again.img") == card);

  // Manifests written before the last two columns: every file lies whole.
  std::ofstream((dir / "old.manifest").string()) << "# type\tfirstSector\tsize\tsha256\n"
                                                 << "JPG\t0\t1000\tab\nBMP\t2\t54\tcd\n";
  const auto old = ReadManifest((dir / "old.manifest").string());
  ASSERT_EQ(old.size(), 2u);
  EXPECT_TRUE(old[0].whole && old[1].whole && old[0].trap.empty());
  EXPECT_EQ(old[1].size, 54u);
}

TEST_F(TrapCardTest, EveryTrapLiesWhereItFoolsAHeaderTestAndNothingElseLooksLikeOne) {
  std::set<std::size_t> expected;  // card offsets of sectors that look like headers
  std::map<std::string, int> traps;
  std::set<std::string> falsePairs;
  int thumbnails = 0;
  for (const SampleFile& f : files) {
    if (!f.whole) continue;
    ++traps[f.trap];
    const Bytes b = Content(f);
    const std::size_t at = std::size_t{f.firstSector} * 512;
    if (LooksLikeHeader(b.data())) expected.insert(at);
    if (f.trap == "preview-at-sector") {
      // The raw's one inner header: its JPEG preview.
      std::vector<std::size_t> inside;
      for (std::size_t s = 512; s < b.size(); s += 512) {
        if (LooksLikeHeader(&b[s])) inside.push_back(s);
      }
      ASSERT_EQ(inside.size(), 1u) << f.type;
      EXPECT_TRUE(HasAt(b, inside[0], {0xFF, 0xD8, 0xFF})) << f.type;
      expected.insert(at + inside[0]);
    }
    // The camera files' JPEGs (more than one image, fill bytes) are checked
    // in camerafiles_test.cpp.
    const bool cameraJpeg =
        f.trap == "mpf" || f.trap.starts_with("motion-photo") || f.trap.starts_with("fill-");
    if (f.type == "JPG" && !cameraJpeg) {
      const auto segments = JpegSegments(b);
      ASSERT_FALSE(segments.empty()) << "not a whole JPEG at sector " << f.firstSector;
      EXPECT_EQ(b[3] == 0xDB, f.trap == "no-app") << f.firstSector;
      if (f.trap == "thumbnail" || f.trap == "thumbnail-at-sector") {
        ASSERT_EQ(segments[0].marker, 0xE1);
        const auto [offset, size] = Thumbnail(b, segments[0]);
        ASSERT_GT(size, 0u) << f.firstSector;
        const Bytes thumbnail(b.begin() + static_cast<std::ptrdiff_t>(offset),
                              b.begin() + static_cast<std::ptrdiff_t>(offset + size));
        EXPECT_FALSE(JpegSegments(thumbnail).empty()) << "a whole JPEG in the Exif segment";
        EXPECT_EQ((at + offset) % 512 == 0, f.trap == "thumbnail-at-sector");
        if (f.trap == "thumbnail-at-sector") {
          EXPECT_TRUE(HasAt(thumbnail, 0, {0xFF, 0xD8, 0xFF, 0xE0}));
          expected.insert(at + offset);
        }
        ++thumbnails;
      }
      if (f.trap == "false-header") {
        // One sector of compressed data that starts with a header's two bytes.
        const std::size_t data = segments.back().at + 2 + segments.back().length + 2;
        std::size_t found = 0;
        for (std::size_t s = 512; s < b.size(); s += 512) {
          const std::string pair(reinterpret_cast<const char*>(&b[s]), 2);
          if (pair == "BM" || pair == "II" || pair == "MM") {
            EXPECT_GT(s, data);
            falsePairs.insert(pair);
            expected.insert(at + s);
            ++found;
          }
        }
        EXPECT_EQ(found, 1u) << f.firstSector;
      }
    }
    if (f.trap == "frame-at-sector") {
      const auto frames = AviFrames(b);
      ASSERT_GE(frames.size(), 3u);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8]), 4), "AVI ");
      EXPECT_TRUE(Contains(b, {'M', 'J', 'P', 'G'}));
      int aligned = 0;
      for (std::size_t frame : frames) {
        EXPECT_TRUE(HasAt(b, frame, {0xFF, 0xD8, 0xFF, 0xE0}));
        if ((at + frame) % 512 == 0) ++aligned, expected.insert(at + frame);
      }
      EXPECT_EQ(aligned, 1);
    }
    const auto atoms = Atoms(b);
    const std::string brand = b.size() > 12 ? std::string(b.begin() + 8, b.begin() + 12) : "";
    if (f.trap == "ftyp") {
      EXPECT_EQ(atoms, (std::vector<std::string>{"ftyp", "moov", "mdat"}));
      EXPECT_EQ(brand, "isom");
      EXPECT_EQ(f.type, "MP4");
    }
    if (f.trap == "ftyp-moov-last") {
      EXPECT_EQ(atoms, (std::vector<std::string>{"ftyp", "wide", "mdat", "moov"}));
      EXPECT_EQ(brand, "qt  ");
      EXPECT_EQ(f.type, "MOV");
    }
    if (f.trap == "still-ftyp") {
      EXPECT_EQ(atoms, (std::vector<std::string>{"ftyp", "meta", "mdat"}));
      EXPECT_EQ(brand, "heic");
      EXPECT_EQ(f.type, "HEIC");
    }
  }
  for (const char* trap : {"", "thumbnail", "thumbnail-at-sector", "false-header", "no-app",
                           "frame-at-sector", "ftyp", "ftyp-moov-last", "still-ftyp"}) {
    EXPECT_GE(traps[trap], 1) << trap;
  }
  EXPECT_GE(thumbnails, 2);
  EXPECT_EQ(falsePairs, (std::set<std::string>{"BM", "II", "MM"}));

  std::set<std::size_t> looking;
  for (std::size_t s = 0; s < card.size(); s += 512) {
    if (LooksLikeHeader(card.data() + s)) looking.insert(s);
  }
  EXPECT_EQ(looking, expected);
}

}  // namespace

namespace {

// A checked scan of the trap card with every type: each whole file comes back
// exactly (a TIFF runs to the next header, as its end cannot be told), no
// trap splits a file, the still picture is no movie, and nothing else is found.
TEST_F(TrapCardTest, CheckedScanBringsBackExactlyTheWholeFiles) {
  // The card without the camera files, whose formats the scan learns elsewhere.
  SampleCardOptions older = options;
  older.cameraFiles = false;
  const auto files = WriteSampleCard((dir / "older.img").string(), older);
  const Bytes card = ReadBytes(dir / "older.img");
  TRecordingHost host;
  TSearchTypes nine = AllSearchTypes();
  nine.Other = false;  // the nine types of old: the still is nobody's
  CheckedScanOfCard(host, card, dir.string() + "/", 4000, nine);

  std::vector<const SampleFile*> expected;
  for (const SampleFile& f : files) {
    if (f.whole && f.type != "HEIC") expected.push_back(&f);
  }
  ASSERT_EQ(host.stored.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const SampleFile& f = *expected[i];
    const Bytes stored = ExpandStored(host.destination + host.stored[i] + ".rdf", dir);
    EXPECT_TRUE(host.stored[i].ends_with("." + f.type)) << host.stored[i] << " " << f.trap;
    ASSERT_GE(stored.size(), f.size) << f.type << " " << f.trap;
    EXPECT_EQ(stored.size(), f.size) << f.type << " " << f.trap;
    EXPECT_EQ(Sha256Hex(stored.data(), f.size), f.sha256) << f.type << " " << f.trap;
  }
}

}  // namespace

namespace {

// The whole trap card, camera and phone files included, with every box and
// the check: every whole file comes back byte for byte under its real
// extension, nothing false is found, and how many sectors are read at once
// changes nothing.
TEST_F(TrapCardTest, EveryFileOfTodaysCamerasComesBackExactlyUnderItsOwnName) {
  std::vector<std::string> first;
  for (const int chunk : {4000, 7, 1}) {
    SCOPED_TRACE("sectors at once: " + std::to_string(chunk));
    const fs::path out = dir / ("out" + std::to_string(chunk));
    fs::create_directories(out);
    TRecordingHost host;
    CheckedScanOfCard(host, card, out.string() + "/", chunk);

    std::vector<const SampleFile*> expected;
    for (const SampleFile& f : files) {
      if (f.whole) expected.push_back(&f);
    }
    std::vector<std::string> got;
    for (std::size_t i = 0; i < host.stored.size(); ++i) {
      const Bytes stored = ExpandStored(host.destination + host.stored[i] + ".rdf", out);
      got.push_back(host.stored[i] + " " + std::to_string(stored.size()) + " " +
                    Sha256Hex(stored.data(), stored.size()));
    }
    std::vector<std::string> want;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const SampleFile& f = *expected[i];
      want.push_back("img" + std::to_string(i + 1) + "." + f.type + " " + std::to_string(f.size) +
                     " " + f.sha256);
    }
    EXPECT_EQ(got, want);
    if (first.empty()) first = got;
    EXPECT_EQ(got, first);
  }
}

}  // namespace
