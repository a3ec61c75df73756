// SPDX-License-Identifier: GPL-3.0-or-later
// The camera files the format tests and the trap card use are what they claim:
// each parses as its container in the tools that know it (ffprobe, exiftool),
// and each ends where its structure ends.
#include "tests/support/camerafiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "tests/support/samplecard.h"
#include "tests/support/tempdir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Get(const Bytes& b, std::size_t at, int bytes, bool bigEndian) {
  std::uint32_t v = 0;
  for (int k = 0; k < bytes; ++k) {
    v |= std::uint32_t{b.at(at + static_cast<std::size_t>(bigEndian ? bytes - 1 - k : k))}
         << (8 * k);
  }
  return v;
}

// The furthest byte a TIFF's directories and the data they point at reach,
// following the chain, SubIFDs and the Exif directory.
std::size_t TiffEnd(const Bytes& b) {
  const bool be = b[0] == 'M';
  std::size_t end = 0;
  std::vector<std::size_t> todo{Get(b, 4, 4, be)};
  std::map<std::size_t, bool> seen;
  static const std::map<std::uint16_t, std::uint16_t> kSizeOf{{0x111, 0x117}, {0x201, 0x202}};
  while (!todo.empty()) {
    const std::size_t ifd = todo.back();
    todo.pop_back();
    if (ifd == 0 || seen[ifd]) continue;
    seen[ifd] = true;
    const std::uint32_t n = Get(b, ifd, 2, be);
    end = std::max(end, ifd + 2 + 12 * n + 4);
    std::map<std::uint16_t, std::uint32_t> values;
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::size_t e = ifd + 2 + 12 * i;
      const auto tag = static_cast<std::uint16_t>(Get(b, e, 2, be));
      const std::uint32_t type = Get(b, e + 2, 2, be), count = Get(b, e + 4, 4, be);
      const std::size_t unit = type == 3 ? 2 : type == 4 ? 4 : type == 5 ? 8 : 1;
      const std::size_t bytes = unit * count;
      const std::uint32_t value =
          bytes <= 4 && unit == 2 ? Get(b, e + 8, 2, be) : Get(b, e + 8, 4, be);
      if (bytes > 4) end = std::max<std::size_t>(end, value + bytes);
      values[tag] = value;
      if (tag == 0x2E) end = std::max<std::size_t>(end, value + count);  // RW2's JPEG
      if (tag == 0x8769) todo.push_back(value);
      if (tag == 0x014A) {
        for (std::uint32_t k = 0; k < count; ++k)
          todo.push_back(count == 1 ? value : Get(b, value + 4 * k, 4, be));
      }
    }
    for (const auto& [offset, size] : kSizeOf) {
      if (values.count(offset)) end = std::max<std::size_t>(end, values[offset] + values[size]);
    }
    todo.push_back(Get(b, ifd + 2 + 12 * n, 4, be));
  }
  return end;
}

// Top-level boxes of an ISO media file, when their sizes add up to the file.
std::vector<std::string> Boxes(const Bytes& b) {
  std::vector<std::string> types;
  for (std::size_t at = 0; at < b.size();) {
    std::uint64_t size = Get(b, at, 4, true);
    if (size == 1) size = std::uint64_t{Get(b, at + 8, 4, true)} << 32 | Get(b, at + 12, 4, true);
    if (size < 8 || at + size > b.size()) return {};
    types.emplace_back(reinterpret_cast<const char*>(&b[at + 4]), 4);
    at += size;
  }
  return types;
}

class CameraFilesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (CameraFile& f : CameraFiles(&skipped)) files[f.kind] = std::move(f);
  }

  // Writes the file under its extension and runs the command on it: its first
  // line of output, or "failed".
  std::string Ask(const std::string& command, const std::string& kind,
                  const Bytes* bytes = nullptr) {
    const CameraFile& f = files.at(kind);
    const std::string path = (scratch.Path() / ("f." + f.ext)).string();
    const Bytes& b = bytes ? *bytes : f.bytes;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    FILE* pipe = ::popen((command + " '" + path + "' 2>/dev/null").c_str(), "r");
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    if (::pclose(pipe) != 0) return "failed";
    std::string out = read ? line : "";
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string Probe(const std::string& kind, const Bytes* bytes = nullptr) {
    return Ask("ffprobe -v error -show_entries format=format_name -of csv=p=0", kind, bytes);
  }
  std::string Exif(const std::string& tag, const std::string& kind) {
    return Ask("exiftool -s3 -" + tag, kind);
  }

  static inline std::map<std::string, CameraFile> files;
  static inline std::vector<std::string> skipped;
  TTempDir scratch;
};

TEST_F(CameraFilesTest, EveryKindIsMadeOrSkippedForAMissingTool) {
  EXPECT_EQ(files.size() + skipped.size(), CameraFileKinds().size());
  for (const std::string& why : skipped) EXPECT_NE(why.find("missing"), std::string::npos) << why;
  for (const auto& [kind, f] : files) {
    // Only the raws meant to put their preview on a sector start have a header inside.
    std::vector<std::size_t> inside;
    for (std::size_t at = 512; at + 16 <= f.bytes.size(); at += 512) {
      if (LooksLikeHeader(&f.bytes[at])) inside.push_back(at);
    }
    const std::vector<std::size_t> meant = kind == "orf"   ? std::vector<std::size_t>{512}
                                           : kind == "rw2" ? std::vector<std::size_t>{1536}
                                                           : std::vector<std::size_t>{};
    EXPECT_EQ(inside, meant) << kind;
    EXPECT_EQ(MakeCameraFile(kind)->bytes, f.bytes) << "the same bytes each time: " << kind;
  }
}

TEST_F(CameraFilesTest, MoviesPlayAndKeepTheirLayout) {
  if (!files.count("mp4")) GTEST_SKIP() << "ffmpeg is missing";
  const std::vector<std::string> moovFirst{"ftyp", "moov", "free", "mdat"};
  EXPECT_EQ(Boxes(files["mp4"].bytes), moovFirst);
  EXPECT_EQ(Boxes(files["m4v"].bytes), moovFirst);
  EXPECT_EQ(std::string(files["m4v"].bytes.begin() + 8, files["m4v"].bytes.begin() + 12), "M4V ");
  EXPECT_EQ(Boxes(files["mov"].bytes), (std::vector<std::string>{"ftyp", "wide", "mdat", "moov"}));
  EXPECT_EQ(std::string(files["3gp"].bytes.begin() + 8, files["3gp"].bytes.begin() + 11), "3gp");
  for (const char* kind : {"mp4", "mov", "m4v", "3gp"}) {
    EXPECT_NE(Probe(kind).find("mp4"), std::string::npos) << kind;
  }
  for (const auto& [kind, packet] : {std::pair{"mts", 192u}, std::pair{"ts", 188u}}) {
    const Bytes& b = files[kind].bytes;
    ASSERT_EQ(b.size() % packet, 0u) << kind;
    for (std::size_t at = packet - 188; at < b.size(); at += packet) ASSERT_EQ(b[at], 0x47) << kind;
    EXPECT_EQ(Probe(kind), "mpegts") << kind;
  }
  // The lying movie still plays: its moov comes first.
  const auto lying = MdatLyingMovie(100000);
  ASSERT_TRUE(lying);
  EXPECT_TRUE(Boxes(lying->bytes).empty()) << "the mdat runs past the end";
  EXPECT_NE(Probe("mp4", &lying->bytes).find("mp4"), std::string::npos);
}

TEST_F(CameraFilesTest, StillsRawsAndAvisParseInTheirReaders) {
  if (!HaveTool("exiftool") || !HaveTool("ffprobe"))
    GTEST_SKIP() << "exiftool or ffprobe is missing";
  for (const char* kind : {"heic", "avif"}) {
    if (!files.count(kind)) continue;
    EXPECT_EQ(Boxes(files[kind].bytes), (std::vector<std::string>{"ftyp", "meta", "mdat"})) << kind;
    EXPECT_EQ(Exif("ImageSize", kind), "64x48") << kind;
  }
  const std::map<std::string, std::string> makes{
      {"cr2", "Canon"},     {"nef", "NIKON CORPORATION"},
      {"dng", "Canon"},     {"orf", "OLYMPUS CORPORATION"},
      {"rw2", "Panasonic"}, {"arw", "SONY"},
      {"pef", "PENTAX"},    {"srw", "SAMSUNG"},
      {"raf", "FUJIFILM"},  {"cr3", "Canon"}};
  for (const auto& [kind, make] : makes) {
    const Bytes& b = files.at(kind).bytes;
    EXPECT_EQ(Exif("Make", kind), make) << kind;
    if (kind == "raf" || kind == "cr3") continue;
    EXPECT_EQ(TiffEnd(b), b.size()) << kind << ": the last byte is the furthest pointed at";
  }
  EXPECT_EQ(Exif("DNGVersion", "dng"), "1.4.0.0");
  EXPECT_EQ(Exif("FileType", "cr2"), "CR2");
  EXPECT_EQ(Exif("FileType", "nef"), "NEF");
  // The previews meant to start a sector.
  EXPECT_EQ(Get(files["orf"].bytes, 512, 4, true), 0xFFD8FFE1u);
  EXPECT_EQ(Get(files["rw2"].bytes, 1536, 4, true), 0xFFD8FFE1u);
  const Bytes& raf = files["raf"].bytes;
  EXPECT_EQ(Get(raf, 100, 4, true) + Get(raf, 104, 4, true), raf.size());
  EXPECT_EQ(Get(raf, Get(raf, 84, 4, true), 2, true), 0xFFD8u);
  EXPECT_EQ(Boxes(files["cr3"].bytes),
            (std::vector<std::string>{"ftyp", "moov", "uuid", "uuid", "mdat"}));
  EXPECT_EQ(Exif("Model", "cr3"), "Canon EOS R5");

  EXPECT_EQ(Probe("avi-opendml"), "avi");
  EXPECT_EQ(Ask("ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0",
                "avi-opendml"),
            "9")
      << "the frames of the AVIX parts too";
}

TEST_F(CameraFilesTest, JpegsHoldTheImagesTheirIndexesName) {
  if (!HaveTool("exiftool") || !HaveTool("ffmpeg")) GTEST_SKIP() << "exiftool or ffmpeg is missing";
  for (const char* kind :
       {"jpg-mpf", "jpg-fill", "jpg-fill-eoi", "jpg-motion-google", "jpg-motion-samsung"}) {
    if (!files.count(kind)) continue;
    EXPECT_EQ(Ask("sh -c 'ffmpeg -nostdin -v error -i \"$0\" -f null - 2>&1'", kind), "") << kind;
  }
  const Bytes& fill = files["jpg-fill"].bytes;
  EXPECT_EQ(Get(fill, 0, 4, true), 0xFFD8FFFFu);
  EXPECT_EQ(Exif("NumberOfImages", "jpg-mpf"), "2");
  const Bytes& mpf = files["jpg-mpf"].bytes;
  const std::size_t second = std::stoul(Exif("MPImageStart", "jpg-mpf"));
  EXPECT_EQ(second + std::stoul(Exif("MPImageLength", "jpg-mpf")), mpf.size());
  EXPECT_EQ(Get(mpf, second, 2, true), 0xFFD8u);
  EXPECT_EQ(Get(mpf, second - 2, 2, true), 0xFFD9u);

  if (!files.count("jpg-motion-google")) GTEST_SKIP() << "ffmpeg is missing";
  const Bytes& google = files["jpg-motion-google"].bytes;
  const std::size_t video = std::stoul(Exif("MicroVideoOffset", "jpg-motion-google"));
  const Bytes mp4(google.end() - static_cast<std::ptrdiff_t>(video), google.end());
  EXPECT_EQ(Boxes(mp4), Boxes(files["mp4"].bytes));
  EXPECT_EQ(Boxes(mp4).front(), "ftyp");
  const Bytes& samsung = files["jpg-motion-samsung"].bytes;
  ASSERT_EQ(std::string(samsung.end() - 4, samsung.end()), "SEFT");
  const std::size_t sefh = samsung.size() - 8 - Get(samsung, samsung.size() - 8, 4, false);
  ASSERT_EQ(std::string(&samsung[sefh], &samsung[sefh] + 4), "SEFH");
  const std::size_t field = sefh - Get(samsung, sefh + 16, 4, false);
  EXPECT_EQ(std::string(&samsung[field + 8], &samsung[field + 24]), "MotionPhoto_Data");
  const Bytes embedded(samsung.begin() + static_cast<std::ptrdiff_t>(field + 24),
                       samsung.begin() + static_cast<std::ptrdiff_t>(sefh));
  EXPECT_EQ(embedded, files["mp4"].bytes);
  EXPECT_NE(Exif("EmbeddedVideoType", "jpg-motion-samsung"), "failed");
}

}  // namespace
