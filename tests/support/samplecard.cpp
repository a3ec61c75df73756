// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/samplecard.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include "tests/support/cardparts.h"
#include "tests/support/sha256.h"

namespace {

Bytes Bitmap(std::uint32_t seed) {
  const int w = 32, h = 24, row = (w * 3 + 3) / 4 * 4;
  Bytes b;
  Text(b, "BM");
  Put32(b, 54 + row * h), Put32(b, 0), Put32(b, 54);
  Put32(b, 40), Put32(b, w), Put32(b, h), Put16(b, 1), Put16(b, 24), Put32(b, 0);
  Put32(b, row * h), Put32(b, 2835), Put32(b, 2835), Put32(b, 0), Put32(b, 0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      b.push_back(static_cast<std::uint8_t>(x * 8)), b.push_back(static_cast<std::uint8_t>(y * 10));
      b.push_back(static_cast<std::uint8_t>(Mix(seed + x) & 0xFF));
    }
    b.resize(b.size() + (row - w * 3), 0);
  }
  return b;
}

Bytes Gif() {
  // The smallest well-formed GIF89a: one white pixel.
  return {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
          0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
          0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

void PngChunk(Bytes& b, const char* type, const Bytes& data) {
  Put32Be(b, static_cast<std::uint32_t>(data.size()));
  const std::size_t from = b.size();
  Text(b, type);
  b.insert(b.end(), data.begin(), data.end());
  Put32Be(b, Crc32(b.data() + from, b.size() - from));
}

Bytes Png() {
  const int w = 8, h = 8;
  Bytes raw;
  for (int y = 0; y < h; ++y) {
    raw.push_back(0);
    for (int x = 0; x < w; ++x) {
      raw.push_back(static_cast<std::uint8_t>(x * 32)),
          raw.push_back(static_cast<std::uint8_t>(y * 32));
      raw.push_back(128);
    }
  }
  Bytes z{0x78, 0x01, 0x01};  // one stored deflate block
  Put16(z, static_cast<std::uint32_t>(raw.size())), Put16(z, ~raw.size() & 0xFFFF);
  z.insert(z.end(), raw.begin(), raw.end());
  std::uint32_t a = 1, s = 0;
  for (std::uint8_t c : raw) a = (a + c) % 65521, s = (s + a) % 65521;
  Put32Be(z, s << 16 | a);
  Bytes ihdr;
  Put32Be(ihdr, w), Put32Be(ihdr, h);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  Bytes b{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  PngChunk(b, "IHDR", ihdr), PngChunk(b, "IDAT", z), PngChunk(b, "IEND", {});
  return b;
}

Bytes Tiff() {
  Bytes b{'I', 'I', 42, 0};
  Put32(b, 8);
  const std::uint16_t entries = 9;
  const std::uint32_t data = 8 + 2 + entries * 12 + 4;
  Put16(b, entries);
  const auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t value) {
    Put16(b, tag), Put16(b, type), Put32(b, 1), Put32(b, value);
  };
  entry(256, 3, 8), entry(257, 3, 8), entry(258, 3, 8), entry(259, 3, 1), entry(262, 3, 1);
  entry(273, 4, data), entry(277, 3, 1), entry(278, 3, 8), entry(279, 4, 64);
  Put32(b, 0);
  for (int i = 0; i < 64; ++i) b.push_back(static_cast<std::uint8_t>(i * 4));
  return b;
}

Bytes Wave(std::uint32_t seed) {
  Bytes fmt;
  Put16(fmt, 1), Put16(fmt, 1), Put32(fmt, 8000), Put32(fmt, 8000), Put16(fmt, 1), Put16(fmt, 8);
  Bytes samples;
  const double hz = 300 + seed % 200;
  for (int i = 0; i < 4000; ++i) {
    samples.push_back(static_cast<std::uint8_t>(128 + 90 * std::sin(i * hz * 6.283185 / 8000)));
  }
  Bytes body;
  Chunk(body, "fmt ", fmt), Chunk(body, "data", samples);
  return Riff("WAVE", body);
}

Bytes Avi() {
  Bytes avih;
  for (std::uint32_t v : {100000u, 0u, 0u, 0x10u, 1u, 0u, 1u, 0u, 4u, 4u, 0u, 0u, 0u, 0u}) {
    Put32(avih, v);
  }
  Bytes hdrl;
  Text(hdrl, "hdrl");
  Chunk(hdrl, "avih", avih);
  Bytes movi;
  Text(movi, "movi");
  Chunk(movi, "00db", Bytes(48, 0x80));
  Bytes body;
  Chunk(body, "LIST", hdrl), Chunk(body, "LIST", movi);
  return Riff("AVI ", body);
}

Bytes OtherRiff() {
  Bytes body;
  Chunk(body, "data", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96});
  return Riff("RMID", body);
}

Bytes QuickTime() {
  Bytes mvhd(100, 0);
  mvhd[15] = 0x02, mvhd[14] = 0x58;  // time scale 600
  mvhd[20] = 0x00, mvhd[21] = 0x01;  // rate 1.0
  mvhd[24] = 0x01;                   // volume 1.0
  mvhd[36] = 0x00, mvhd[37] = 0x01;  // matrix a = 1.0
  mvhd[52] = 0x00, mvhd[53] = 0x01;  // matrix d = 1.0
  mvhd[68] = 0x40;                   // matrix w = 1.0
  mvhd[99] = 1;                      // next track
  // One track whose one sample is the media data: trak/mdia/minf/stbl with
  // its chunk offset (stco), sample size (stsz) and chunk layout (stsc).
  constexpr std::uint32_t kMedia = 64;
  const std::uint32_t moovSize = 8 + 8 + static_cast<std::uint32_t>(mvhd.size()) + 100;
  Bytes b;
  const auto box = [&b](std::uint32_t size, const char* type) { Put32Be(b, size), Text(b, type); };
  box(moovSize, "moov");
  box(8 + static_cast<std::uint32_t>(mvhd.size()), "mvhd");
  b.insert(b.end(), mvhd.begin(), mvhd.end());
  box(100, "trak"), box(92, "mdia"), box(84, "minf"), box(76, "stbl");
  box(28, "stsc"), Put32Be(b, 0), Put32Be(b, 1), Put32Be(b, 1), Put32Be(b, 1), Put32Be(b, 1);
  box(20, "stsz"), Put32Be(b, 0), Put32Be(b, kMedia), Put32Be(b, 1);
  box(20, "stco"), Put32Be(b, 0), Put32Be(b, 1), Put32Be(b, moovSize + 8);
  box(8 + kMedia, "mdat");
  b.resize(b.size() + kMedia, 0x11);
  return b;
}

bool InteriorClean(const Bytes& file) {
  return HeaderSectors(file).empty();
}

Photo MakePhoto(int width, int height, bool exif, std::uint32_t seed) {
  for (std::uint32_t attempt = 0;; ++attempt) {
    Bytes jpeg = EncodeJpeg(width, height, exif, seed * 977 + attempt);
    const std::size_t commentAt = InsertComment(jpeg);
    if (InteriorClean(jpeg)) return {jpeg, commentAt};
  }
}

}  // namespace

bool LooksLikeHeader(const std::uint8_t* s) {
  if (s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF && (s[3] == 0xE0 || s[3] == 0xE1)) return true;
  if ((s[0] == 'B' && s[1] == 'M') || (s[0] == 'I' && s[1] == 'I') ||
      (s[0] == 'M' && s[1] == 'M')) {
    return true;
  }
  if (std::memcmp(s, "GIF8", 4) == 0 && (s[4] == '9' || s[4] == '7') && s[5] == 'a') return true;
  static const std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  return std::memcmp(s, kPng, 8) == 0 || std::memcmp(s, "RIFF", 4) == 0 ||
         std::memcmp(s + 4, "moov", 4) == 0;
}

std::vector<std::uint8_t> EncodeJpeg(int width, int height, bool exif, std::uint32_t seed,
                                     int quality, JpegScans scans, unsigned restartInterval) {
  // "Exif\0\0" and an empty little-endian TIFF directory.
  static const Bytes kEmptyExif{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
  return EncodeJpegWith(width, height, !exif, exif ? &kEmptyExif : nullptr, seed, quality, scans,
                        restartInterval);
}

Bytes EncodeJpegWith(int width, int height, bool jfif, const Bytes* app1, std::uint32_t seed,
                     int quality, JpegScans scans, unsigned restartInterval) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.write_JFIF_header = jfif ? TRUE : FALSE;
  cinfo.restart_interval = restartInterval;
  // libjpeg reads the script until the end of compression.
  std::vector<jpeg_scan_info> script;
  if (scans == JpegScans::Progressive) jpeg_simple_progression(&cinfo);
  if (scans == JpegScans::EveryBit) {
    // libjpeg's compressor takes point transforms of up to 10 bits: a first
    // scan at bit 10, then one refinement scan per lower bit.
    constexpr int kTopBit = 10;
    for (int component = 0; component < 3; ++component) {
      for (int coefficient = 0; coefficient < 64; ++coefficient) {
        for (int bit = kTopBit; bit >= 0; --bit) {
          jpeg_scan_info scan{};
          scan.comps_in_scan = 1;
          scan.component_index[0] = component;
          scan.Ss = scan.Se = coefficient;
          scan.Ah = bit == kTopBit ? 0 : bit + 1;
          scan.Al = bit;
          script.push_back(scan);
        }
      }
    }
    cinfo.scan_info = script.data();
    cinfo.num_scans = static_cast<int>(script.size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (app1) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1->data(), static_cast<unsigned>(app1->size()));
  }
  // A sky, a sun, hills and grain: smooth areas and texture, as in a photo.
  std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 3);
  const double sunX = width * (0.2 + (seed % 60) / 100.0), sunY = height * 0.25;
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = static_cast<int>(cinfo.next_scanline);
    for (int x = 0; x < width; ++x) {
      const double hill = height * (0.6 + 0.1 * std::sin(x * 6.0 / width + seed));
      const std::uint32_t grain = Mix(seed ^ static_cast<std::uint32_t>(y * width + x)) & 31;
      int r, g, b;
      if (y > hill) {
        r = 40 + y * 60 / height, g = 110 + (x * 50 / width), b = 40;
      } else {
        r = 90 + y * 80 / height, g = 140 + y * 60 / height, b = 230 - y * 40 / height;
      }
      const double d = std::hypot(x - sunX, y - sunY);
      if (d < height * 0.08) r = 255, g = 230, b = 120;
      std::uint8_t* p = &row[static_cast<std::size_t>(x) * 3];
      p[0] = static_cast<std::uint8_t>(std::min(255, r + static_cast<int>(grain)));
      p[1] = static_cast<std::uint8_t>(std::min(255, g + static_cast<int>(grain)));
      p[2] = static_cast<std::uint8_t>(std::min(255, b + static_cast<int>(grain)));
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<std::uint8_t> bytes(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return bytes;
}

std::vector<std::uint8_t> SampleFileBytes(const std::string& type, std::uint32_t seed) {
  if (type == "BMP") return Bitmap(seed);
  if (type == "GIF") return Gif();
  if (type == "PNG") return Png();
  if (type == "TIF") return Tiff();
  if (type == "WAV") return Wave(seed);
  if (type == "AVI") return Avi();
  if (type == "RIFF") return OtherRiff();
  if (type == "MOV") return QuickTime();
  throw std::invalid_argument("no sample file of type " + type);
}

std::vector<std::pair<std::string, Bytes>> OtherFiles(std::uint32_t seed) {
  std::vector<std::pair<std::string, Bytes>> made{
      {"BMP", Bitmap(seed)}, {"GIF", Gif()}, {"PNG", Png()},        {"TIF", Tiff()},
      {"WAV", Wave(seed)},   {"AVI", Avi()}, {"RIFF", OtherRiff()}, {"MOV", QuickTime()}};
  for (const auto& [type, bytes] : made) {
    if (!InteriorClean(bytes)) throw std::logic_error("sample " + type + " collides");
  }
  return made;
}

std::vector<std::size_t> HeaderSectors(const Bytes& file) {
  std::vector<std::size_t> found;
  for (std::size_t at = kSector; at < file.size(); at += kSector) {
    std::uint8_t sector[16] = {};
    std::memcpy(sector, file.data() + at, std::min<std::size_t>(16, file.size() - at));
    if (LooksLikeHeader(sector)) found.push_back(at);
  }
  return found;
}

std::size_t InsertComment(Bytes& jpeg, std::size_t padding) {
  const std::size_t at = 4 + (std::size_t{jpeg[4]} << 8 | jpeg[5]);
  const std::size_t length = 2 + 16 + padding;
  const Bytes comment{0xFF, 0xFE, static_cast<std::uint8_t>(length >> 8),
                      static_cast<std::uint8_t>(length)};
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), comment.begin(), comment.end());
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4), 16 + padding, 0x20);
  return at + 4;
}

void StampCopy(Photo& photo, int copy) {
  char unique[17];
  std::snprintf(unique, sizeof unique, "copy %010d ", copy);
  std::memcpy(photo.bytes.data() + photo.commentAt, unique, 16);
}

void FinishCard(std::ofstream& out, std::uint64_t bytes, const std::string& imagePath,
                const std::vector<SampleFile>& files) {
  out.seekp(static_cast<std::streamoff>(bytes - 1));
  out.put(0);
  out.close();
  if (!out) throw std::runtime_error("Could not write " + imagePath);
  WriteManifest(imagePath + ".manifest", files);
}

void WriteManifest(const std::string& path, const std::vector<SampleFile>& files) {
  std::ofstream manifest(path, std::ios::trunc);
  manifest << "# type\tfirstSector\tsize\tsha256\twhole\ttrap\n";
  for (const SampleFile& f : files) {
    manifest << f.type << '\t' << f.firstSector << '\t' << f.size << '\t' << f.sha256 << '\t'
             << (f.whole ? 1 : 0) << '\t' << (f.trap.empty() ? "-" : f.trap) << '\n';
  }
  if (!manifest) throw std::runtime_error("Could not write " + path);
}

std::vector<SampleFile> WriteSampleCard(const std::string& imagePath,
                                        const SampleCardOptions& options) {
  if (options.traps) return WriteTrapCard(imagePath, options);
  const std::uint64_t totalSectors = options.bytes / kSector;
  std::vector<Bytes> others;
  std::vector<std::string> otherTypes;
  if (options.otherTypes) {
    for (auto& [type, bytes] : OtherFiles(options.seed)) {
      otherTypes.push_back(type);
      others.push_back(std::move(bytes));
    }
  }

  // A few distinct photos; full-size cards reuse them with unique comments.
  const int distinct = options.fullSizePhotos ? 8 : 1 << 30;
  std::vector<Photo> photos;

  std::ofstream out(imagePath, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("Could not create " + imagePath);
  std::vector<SampleFile> files;
  std::uint64_t sector = 0, photoBytes = 0;
  std::size_t nextOther = 0;
  int photoIndex = 0;
  const auto place = [&](const std::string& type, const Bytes& bytes) {
    const std::uint64_t count = SectorsFor(bytes.size());
    out.seekp(static_cast<std::streamoff>(sector * kSector));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    files.push_back({type, static_cast<std::uint32_t>(sector), bytes.size(),
                     Sha256Hex(bytes.data(), bytes.size()), true, ""});
    sector += count;
    // Free space after every third file.
    if (files.size() % 3 == 0) sector += 1 + Mix(options.seed + sector) % 50;
  };
  for (;;) {
    const bool exif = photoIndex % 2 == 1;
    Photo photo;
    if (photoIndex < distinct) {
      const std::uint32_t s = options.seed * 131 + static_cast<std::uint32_t>(photoIndex);
      const int w = options.fullSizePhotos ? 3264 : 320 + static_cast<int>(Mix(s) % 5) * 96;
      const int h = options.fullSizePhotos ? 2448 : w * 3 / 4;
      photo = MakePhoto(w, h, exif, s);
      if (options.fullSizePhotos) photos.push_back(photo);
    } else {
      photo = photos[static_cast<std::size_t>(photoIndex) % photos.size()];
    }
    StampCopy(photo, photoIndex);
    const std::uint64_t reserve = 8 + 60;  // room for the other files and a gap
    if ((photoBytes + photo.bytes.size()) > options.photoFill * options.bytes ||
        sector + SectorsFor(photo.bytes.size()) + reserve > totalSectors) {
      break;
    }
    place("JPG", photo.bytes);
    photoBytes += photo.bytes.size();
    ++photoIndex;
    if (nextOther < others.size()) {
      place(otherTypes[nextOther], others[nextOther]);
      ++nextOther;
    }
  }
  for (; nextOther < others.size(); ++nextOther) place(otherTypes[nextOther], others[nextOther]);
  if (sector > totalSectors) throw std::runtime_error("The card is too small for its files");

  FinishCard(out, options.bytes, imagePath, files);
  return files;
}

std::vector<SampleFile> ReadManifest(const std::string& manifestPath) {
  std::ifstream in(manifestPath);
  if (!in) throw std::runtime_error("Could not read " + manifestPath);
  std::vector<SampleFile> files;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    SampleFile f;
    fields >> f.type >> f.firstSector >> f.size >> f.sha256;
    // Older manifests end here: every file on those cards lies whole.
    int whole = 1;
    std::string trap;
    if (fields >> whole) f.whole = whole != 0;
    if (fields >> trap && trap != "-") f.trap = trap;
    files.push_back(f);
  }
  return files;
}
