// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/camerafiles.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>

#include "tests/support/cardparts.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

void Put64Be(Bytes& b, std::uint64_t v) {
  Put32Be(b, static_cast<std::uint32_t>(v >> 32)), Put32Be(b, static_cast<std::uint32_t>(v));
}

void Set32Be(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

// Wider than LooksLikeHeader: also what the newer formats start with, so a
// format module that knows them finds no stray header inside these files.
bool AnyHeader(const Bytes& b, std::size_t at) {
  std::uint8_t s[16] = {};
  std::memcpy(s, b.data() + at, std::min<std::size_t>(16, b.size() - at));
  return LooksLikeHeader(s) || (s[0] == 0xFF && s[1] == 0xD8) ||
         std::memcmp(s + 4, "ftyp", 4) == 0 || std::memcmp(s + 4, "mdat", 4) == 0 ||
         std::memcmp(s, "FUJIFILM", 8) == 0;
}

std::vector<std::size_t> InnerHeaders(const Bytes& b) {
  std::vector<std::size_t> found;
  for (std::size_t at = kSector; at < b.size(); at += kSector) {
    if (AnyHeader(b, at)) found.push_back(at);
  }
  return found;
}

// Makes with the next seed until the only inner headers are the ones meant.
Bytes Clean(std::uint32_t seed, const std::vector<std::size_t>& meant,
            const std::function<Bytes(std::uint32_t)>& make) {
  for (std::uint32_t attempt = 0; attempt < 200; ++attempt) {
    Bytes b = make(seed * 7919 + attempt);
    if (InnerHeaders(b) == meant) return b;
  }
  throw std::logic_error("no camera file without stray headers");
}

// --- Child processes --------------------------------------------------------

bool Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "fh-camerafiles-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("no temporary folder");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

std::optional<Bytes> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.empty()) return std::nullopt;
  return b;
}

// A second of a 64x48 test picture; variant picks another picture, for a
// file without stray headers. Bit-exact, so the same tools give the same bytes.
std::optional<Bytes> Ffmpeg(const std::vector<std::string>& format, const std::string& name,
                            std::uint32_t variant) {
  static const char* const kSources[] = {"testsrc",   "testsrc2",    "rgbtestsrc",
                                         "smptebars", "smptehdbars", "yuvtestsrc"};
  const std::string source = std::string(kSources[variant % 6]) +
                             "=size=64x48:rate=10:duration=" + std::to_string(1 + variant / 6);
  TempFolder dir;
  for (const char* codec : {"libx264", "mpeg4"}) {
    std::vector<std::string> args{"ffmpeg",    "-nostdin",  "-hide_banner",
                                  "-loglevel", "error",     "-y",
                                  "-f",        "lavfi",     "-i",
                                  source,      "-c:v",      codec,
                                  "-threads",  "1",         "-pix_fmt",
                                  "yuv420p",   "-fflags",   "+bitexact",
                                  "-flags:v",  "+bitexact", "-map_metadata",
                                  "-1"};
    args.insert(args.end(), format.begin(), format.end());
    args.push_back(dir / name);
    if (Run(args)) return ReadWhole(dir / name);
  }
  return std::nullopt;
}

std::optional<Bytes> HeifEnc(bool avif, std::uint32_t seed) {
  TempFolder dir;
  const Bytes jpeg = EncodeJpeg(64, 48, false, seed);
  std::ofstream(dir / "in.jpg", std::ios::binary)
      .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  const std::string out = dir / (avif ? "out.avif" : "out.heic");
  std::vector<std::string> args{"heif-enc", "-q", "50", "-o", out, dir / "in.jpg"};
  if (avif) args.insert(args.begin() + 1, "-A");
  if (!Run(args)) return std::nullopt;
  return ReadWhole(out);
}

// Tries variants until the file has no stray header inside.
std::optional<Bytes> CleanTool(const std::function<std::optional<Bytes>(std::uint32_t)>& make) {
  for (std::uint32_t variant = 0; variant < 12; ++variant) {
    std::optional<Bytes> b = make(variant);
    if (!b) return std::nullopt;
    if (InnerHeaders(*b).empty()) return b;
  }
  throw std::logic_error("every encoder output holds a stray header");
}

// --- ISO media boxes ----------------------------------------------------------

Bytes Uuid(const std::uint8_t (&uuid)[16], const Bytes& body) {
  Bytes b(uuid, uuid + 16);
  Append(b, body);
  return Atom("uuid", b);
}

Bytes FullBox(const char* type, std::uint32_t versionFlags, const Bytes& body) {
  Bytes b;
  Put32Be(b, versionFlags);
  Append(b, body);
  return Atom(type, b);
}

// A movie as an MP4 muxer writes it when no encoder is at hand: ftyp, a
// moov with its header, the media data.
Bytes HandBuiltMp4(std::uint32_t seed) {
  Bytes mvhd;
  Put32Be(mvhd, 0), Put32Be(mvhd, 0), Put32Be(mvhd, 1000), Put32Be(mvhd, 1000);
  Put32Be(mvhd, 0x10000), Put16Be(mvhd, 0x100), mvhd.resize(mvhd.size() + 10, 0);
  for (std::uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) {
    Put32Be(mvhd, v);
  }
  mvhd.resize(mvhd.size() + 24, 0), Put32Be(mvhd, 2);
  Bytes ftyp;
  Text(ftyp, "isom"), Put32Be(ftyp, 0x200), Text(ftyp, "isomiso2avc1mp41");
  Bytes b = Atom("ftyp", ftyp);
  Append(b, Atom("moov", FullBox("mvhd", 0, mvhd)));
  Append(b, Atom("mdat", Noise(6000, seed)));
  return b;
}

// A transport stream: PAT, PMT, then video packets; m2ts prefixes each
// packet with the 4-byte arrival time stamp, as AVCHD cameras write.
Bytes HandBuiltTs(bool m2ts, std::uint32_t seed) {
  Bytes b;
  const auto packet = [&](std::uint16_t pid, bool start, std::uint8_t counter, const Bytes& data) {
    if (m2ts) Put32Be(b, static_cast<std::uint32_t>(b.size() / 192 * 300) & 0x3FFFFFFF);
    b.push_back(0x47);
    Put16Be(b, (start ? 0x4000u : 0u) | pid);
    b.push_back(static_cast<std::uint8_t>(0x10 | (counter & 15)));
    Bytes payload = data;
    payload.resize(184, 0xFF);
    Append(b, payload);
  };
  packet(0, true, 0, {0, 0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00, 0, 0, 0, 0});
  packet(0x1000, true, 0, {0,    0x02, 0xB0, 18,   0,    1,    0xC1, 0, 0, 0xF0, 0x11,
                           0xF0, 0,    0x1B, 0xF0, 0x11, 0xF0, 0,    0, 0, 0,    0});
  for (std::uint8_t i = 0; i < 40; ++i) {
    Bytes data = Noise(184, seed + i);
    if (i == 0) {
      const Bytes pes{0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1};
      std::copy(pes.begin(), pes.end(), data.begin());
    }
    packet(0x1011, i == 0, i, data);
  }
  return b;
}

// --- TIFF ---------------------------------------------------------------------

enum : std::uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kUndef = 7 };

struct Field {
  std::uint16_t tag = 0, type = kLong;
  std::vector<std::uint32_t> values;  // SHORT, LONG, RATIONAL (pairs)
  Bytes raw;                          // BYTE, ASCII, UNDEFINED
  int blob = -1, blobSize = -1;       // the value is this blob's offset, or its size
  std::vector<int> ifds;              // the values are these directories' offsets
};

Field Short(std::uint16_t tag, std::vector<std::uint32_t> v) {
  return {tag, kShort, std::move(v), {}, -1, -1, {}};
}
Field Long(std::uint16_t tag, std::vector<std::uint32_t> v) {
  return {tag, kLong, std::move(v), {}, -1, -1, {}};
}
Field Ascii(std::uint16_t tag, const char* text) {
  Bytes raw;
  Text(raw, text), raw.push_back(0);
  return {tag, kAscii, {}, raw, -1, -1, {}};
}
Field Rational(std::uint16_t tag, std::uint32_t numerator, std::uint32_t denominator) {
  return {tag, kRational, {numerator, denominator}, {}, -1, -1, {}};
}
// UNDEFINED data that is a blob, pointed at (RW2's JPEG).
Field Embedded(std::uint16_t tag, int blob) {
  return {tag, kUndef, {}, {}, blob, -1, {}};
}
Field Raw(std::uint16_t tag, std::uint16_t type, Bytes raw) {
  return {tag, type, {}, std::move(raw), -1, -1, {}};
}
Field OffsetOf(std::uint16_t tag, int blob) {
  return {tag, kLong, {}, {}, blob, -1, {}};
}
Field SizeOf(std::uint16_t tag, int blob) {
  return {tag, kLong, {}, {}, -1, blob, {}};
}
Field Directories(std::uint16_t tag, std::vector<int> ifds) {
  return {tag, kLong, {}, {}, -1, -1, std::move(ifds)};
}

struct Ifd {
  std::vector<Field> fields;
  int next = -1;
};

struct Blob {
  Bytes bytes;
  std::size_t fixedAt = 0;  // 0: after what comes before, never on a sector start
};

// A TIFF laid out as cameras write raws: the header, the directories with
// their values, then the blobs (previews, sensor data) in order, the last
// one ending the file.
struct Tiff {
  bool bigEndian = false;
  Bytes header;  // its bytes 4..7 get the first directory's offset
  std::vector<Ifd> ifds;
  std::vector<Blob> blobs;
  std::vector<std::size_t> ifdAt, blobAt;

  void U16(Bytes& b, std::size_t at, std::uint32_t v) const {
    b[at + (bigEndian ? 1 : 0)] = static_cast<std::uint8_t>(v);
    b[at + (bigEndian ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
  }
  void U32(Bytes& b, std::size_t at, std::uint32_t v) const {
    U16(b, at + (bigEndian ? 2 : 0), v & 0xFFFF), U16(b, at + (bigEndian ? 0 : 2), v >> 16);
  }
  std::uint32_t Count(const Field& f) const {
    if (!f.raw.empty()) return static_cast<std::uint32_t>(f.raw.size());
    if (f.type == kUndef && f.blob >= 0) {
      return static_cast<std::uint32_t>(blobs[static_cast<std::size_t>(f.blob)].bytes.size());
    }
    if (!f.ifds.empty()) return static_cast<std::uint32_t>(f.ifds.size());
    if (f.blob >= 0 || f.blobSize >= 0) return 1;
    return static_cast<std::uint32_t>(f.type == kRational ? f.values.size() / 2 : f.values.size());
  }
  std::size_t ValueBytes(const Field& f) const {
    if (!f.raw.empty()) return f.raw.size();
    if (f.blob >= 0) return 4;
    return Count(f) * (f.type == kShort ? 2 : f.type == kRational ? 8 : 4);
  }

  Bytes Build() {
    std::size_t pos = header.size();
    ifdAt.assign(ifds.size(), 0);
    for (std::size_t i = 0; i < ifds.size(); ++i) {
      std::sort(ifds[i].fields.begin(), ifds[i].fields.end(),
                [](const Field& a, const Field& b) { return a.tag < b.tag; });
      pos += pos % 2;
      ifdAt[i] = pos;
      pos += 2 + 12 * ifds[i].fields.size() + 4;
      for (const Field& f : ifds[i].fields) {
        if (ValueBytes(f) > 4) pos += (ValueBytes(f) + 1) / 2 * 2;
      }
    }
    blobAt.assign(blobs.size(), 0);
    for (std::size_t i = 0; i < blobs.size(); ++i) {
      pos += pos % 2;
      if (blobs[i].fixedAt) {
        if (pos > blobs[i].fixedAt) throw std::logic_error("TIFF directories too long");
        pos = blobs[i].fixedAt;
      } else if (pos % kSector == 0) {
        pos += 2;
      }
      blobAt[i] = pos;
      pos += blobs[i].bytes.size();
    }

    Bytes b(pos, 0);
    std::copy(header.begin(), header.end(), b.begin());
    U32(b, 4, static_cast<std::uint32_t>(ifdAt[0]));
    for (std::size_t i = 0; i < ifds.size(); ++i) {
      const Ifd& ifd = ifds[i];
      std::size_t at = ifdAt[i], ext = at + 2 + 12 * ifd.fields.size() + 4;
      U16(b, at, static_cast<std::uint32_t>(ifd.fields.size()));
      at += 2;
      for (const Field& f : ifd.fields) {
        U16(b, at, f.tag), U16(b, at + 2, f.type), U32(b, at + 4, Count(f));
        std::size_t value = at + 8;
        if (ValueBytes(f) > 4) {
          U32(b, at + 8, static_cast<std::uint32_t>(ext));
          value = ext;
          ext += (ValueBytes(f) + 1) / 2 * 2;
        }
        if (!f.raw.empty()) {
          std::copy(f.raw.begin(), f.raw.end(), b.begin() + static_cast<std::ptrdiff_t>(value));
        } else if (f.blob >= 0) {
          U32(b, value, static_cast<std::uint32_t>(blobAt[static_cast<std::size_t>(f.blob)]));
        } else if (f.blobSize >= 0) {
          U32(b, value,
              static_cast<std::uint32_t>(blobs[static_cast<std::size_t>(f.blobSize)].bytes.size()));
        } else if (!f.ifds.empty()) {
          for (std::size_t k = 0; k < f.ifds.size(); ++k) {
            U32(b, value + 4 * k,
                static_cast<std::uint32_t>(ifdAt[static_cast<std::size_t>(f.ifds[k])]));
          }
        } else {
          for (std::size_t k = 0; k < f.values.size(); ++k) {
            if (f.type == kShort) {
              U16(b, value + 2 * k, f.values[k]);
            } else {
              U32(b, value + 4 * k, f.values[k]);
            }
          }
        }
        at += 12;
      }
      U32(b, at,
          ifd.next < 0 ? 0 : static_cast<std::uint32_t>(ifdAt[static_cast<std::size_t>(ifd.next)]));
    }
    for (std::size_t i = 0; i < blobs.size(); ++i) {
      std::copy(blobs[i].bytes.begin(), blobs[i].bytes.end(),
                b.begin() + static_cast<std::ptrdiff_t>(blobAt[i]));
    }
    return b;
  }
};

Bytes TiffHeader(bool bigEndian, const char* magic = nullptr) {
  Bytes h;
  if (magic) {
    Text(h, magic);
  } else if (bigEndian) {
    h = {'M', 'M', 0, 42};
  } else {
    h = {'I', 'I', 42, 0};
  }
  h.resize(8, 0);
  return h;
}

// An Exif APP1 payload naming the camera, for previews that carry their own.
Bytes ExifNaming(const char* make, const char* model) {
  Tiff t;
  t.header = TiffHeader(false);
  t.ifds = {{{Ascii(0x010F, make), Ascii(0x0110, model), Short(0x0112, {1})}, -1}};
  Bytes payload{'E', 'x', 'i', 'f', 0, 0};
  Append(payload, t.Build());
  return payload;
}

Bytes Preview(int width, int height, std::uint32_t seed, const char* make, const char* model) {
  const Bytes exif = ExifNaming(make, model);
  return EncodeJpegWith(width, height, false, &exif, seed, 80);
}

// Sensor data: lossless JPEG for Canon (it starts FF D8 FF C4), plain for the rest.
Bytes Sensor(std::size_t size, std::uint32_t seed, bool losslessJpeg = false) {
  Bytes b = Noise(size, seed);
  if (losslessJpeg) {
    const Bytes start{0xFF, 0xD8, 0xFF, 0xC4};
    std::copy(start.begin(), start.end(), b.begin());
  }
  return b;
}

constexpr std::size_t kSensorBytes = 24 * 1024;

// --- Raws -----------------------------------------------------------------------

Bytes Cr2(std::uint32_t seed) {
  Tiff t;
  t.header = TiffHeader(false);
  t.header.resize(16, 0);
  t.header[8] = 'C', t.header[9] = 'R', t.header[10] = 2;
  t.blobs = {{EncodeJpeg(160, 120, false, seed + 1, 75), 0},
             {Noise(160 * 120 * 6 / 8, seed + 2), 0},
             {Preview(240, 160, seed + 3, "Canon", "Canon EOS 5D Mark IV"), 0},
             {Sensor(kSensorBytes, seed + 4, true), 0}};
  Ifd ifd0{{Short(0x0100, {240}), Short(0x0101, {160}), Short(0x0103, {6}), Ascii(0x010F, "Canon"),
            Ascii(0x0110, "Canon EOS 5D Mark IV"), OffsetOf(0x0111, 2), Short(0x0112, {1}),
            SizeOf(0x0117, 2), Directories(0x8769, {1})},
           2};
  Ifd exif{{Raw(0x9000, kUndef, {'0', '2', '3', '1'}),
            Raw(0x927C, kUndef, {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
           -1};
  Ifd ifd1{{Short(0x0103, {6}), OffsetOf(0x0201, 0), SizeOf(0x0202, 0)}, 3};
  Ifd ifd2{{Short(0x0100, {160}), Short(0x0101, {120}), Short(0x0103, {1}), Short(0x0106, {2}),
            OffsetOf(0x0111, 1), SizeOf(0x0117, 1)},
           4};
  Ifd ifd3{{Short(0x0103, {6}), OffsetOf(0x0111, 3), SizeOf(0x0117, 3), Short(0xC5D8, {1}),
            Short(0xC640, {1, 2000, 2000})},
           -1};
  t.ifds = {ifd0, exif, ifd1, ifd2, ifd3};
  Bytes b = t.Build();
  // The header points at the raw directory.
  const std::uint32_t raw = static_cast<std::uint32_t>(t.ifdAt[4]);
  for (int k = 0; k < 4; ++k) b[12 + k] = static_cast<std::uint8_t>(raw >> (8 * k));
  return b;
}

Bytes NikonMakerNote() {
  Tiff note;
  note.bigEndian = true;
  note.header = TiffHeader(true);
  note.ifds = {{{Raw(0x0001, kUndef, {'0', '2', '1', '0'}), Ascii(0x0004, "FINE   "),
                 Short(0x0012, {0, 1, 6})},
                -1}};
  Bytes b{'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0};
  Append(b, note.Build());
  return b;
}

Bytes Nef(std::uint32_t seed) {
  Tiff t;
  t.bigEndian = true;
  t.header = TiffHeader(true);
  t.blobs = {{Noise(80 * 60 * 3, seed + 1), 0},
             {Preview(240, 160, seed + 2, "NIKON CORPORATION", "NIKON D850"), 0},
             {Sensor(kSensorBytes, seed + 3), 0}};
  Ifd ifd0{{Long(0x00FE, {1}), Short(0x0100, {80}), Short(0x0101, {60}), Short(0x0103, {1}),
            Short(0x0106, {2}), Ascii(0x010F, "NIKON CORPORATION"), Ascii(0x0110, "NIKON D850"),
            OffsetOf(0x0111, 0), Short(0x0115, {3}), SizeOf(0x0117, 0), Directories(0x014A, {1, 2}),
            Directories(0x8769, {3})},
           -1};
  Ifd preview{{Long(0x00FE, {1}), Short(0x0103, {6}), OffsetOf(0x0201, 1), SizeOf(0x0202, 1)}, -1};
  Ifd raw{{Long(0x00FE, {0}), Short(0x0100, {192}), Short(0x0101, {128}), Short(0x0102, {14}),
           Short(0x0103, {34713}), Short(0x0106, {32803}), OffsetOf(0x0111, 2), SizeOf(0x0117, 2)},
          -1};
  Ifd exif{{Raw(0x9000, kUndef, {'0', '2', '3', '0'}), Raw(0x927C, kUndef, NikonMakerNote())}, -1};
  t.ifds = {ifd0, preview, raw, exif};
  return t.Build();
}

// A TIFF raw with the preview in IFD0 and the sensor data in a SubIFD:
// DNG, and Sony, Pentax and Samsung raws.
Bytes SubIfdRaw(std::uint32_t seed, bool bigEndian, const char* make, const char* model, bool dng) {
  Tiff t;
  t.bigEndian = bigEndian;
  t.header = TiffHeader(bigEndian);
  t.blobs = {{Preview(240, 160, seed + 1, make, model), 0}, {Sensor(kSensorBytes, seed + 2), 0}};
  Ifd ifd0{{Long(0x00FE, {1}), Short(0x0100, {240}), Short(0x0101, {160}),
            Short(0x0103, {dng ? 7u : 6u}), Ascii(0x010F, make), Ascii(0x0110, model),
            Short(0x0112, {1}), OffsetOf(dng ? 0x0111 : 0x0201, 0),
            SizeOf(dng ? 0x0117 : 0x0202, 0), Directories(0x014A, {1})},
           -1};
  if (dng) {
    ifd0.fields.push_back(Raw(0xC612, kByte, {1, 4, 0, 0}));  // DNGVersion
    ifd0.fields.push_back(Ascii(0xC614, model));              // UniqueCameraModel
  }
  Ifd raw{{Long(0x00FE, {0}), Short(0x0100, {192}), Short(0x0101, {128}), Short(0x0102, {16}),
           Short(0x0103, {1}), Short(0x0106, {32803}), OffsetOf(0x0111, 1), Short(0x0115, {1}),
           SizeOf(0x0117, 1), Short(0x828D, {2, 2}), Raw(0x828E, kByte, {0, 1, 1, 2})},
          -1};
  t.ifds = {ifd0, raw};
  return t.Build();
}

// Olympus: "IIRO", the preview at byte 512, so it starts a sector.
Bytes Orf(std::uint32_t seed) {
  Tiff t;
  t.header = TiffHeader(false, "IIRO");
  t.blobs = {{Preview(240, 160, seed + 1, "OLYMPUS CORPORATION", "E-M1MarkII"), 512},
             {Sensor(kSensorBytes, seed + 2), 0}};
  t.ifds = {{{Short(0x0100, {192}), Short(0x0101, {128}), Short(0x0102, {12}), Short(0x0103, {1}),
              Ascii(0x010F, "OLYMPUS CORPORATION"), Ascii(0x0110, "E-M1MarkII"),
              OffsetOf(0x0111, 1), SizeOf(0x0117, 1), OffsetOf(0x0201, 0), SizeOf(0x0202, 0)},
             -1}};
  return t.Build();
}

// Panasonic: "IIU\0", the JPEG (tag 0x2E) at byte 1536, on a sector start.
Bytes Rw2(std::uint32_t seed) {
  Tiff t;
  t.header = TiffHeader(false, "IIU");
  t.blobs = {{Preview(240, 160, seed + 1, "Panasonic", "DC-GH5"), 1536},
             {Sensor(kSensorBytes, seed + 2), 0}};
  t.ifds = {{{Embedded(0x002E, 0), Raw(0x0001, kUndef, {'0', '4', '1', '0'}), Short(0x0002, {192}),
              Short(0x0003, {128}), Ascii(0x010F, "Panasonic"), Ascii(0x0110, "DC-GH5"),
              OffsetOf(0x0111, 1), SizeOf(0x0117, 1), OffsetOf(0x0118, 1)},
             -1}};
  return t.Build();
}

// --- Fujifilm -----------------------------------------------------------------

Bytes Raf(std::uint32_t seed) {
  const Bytes jpeg = Preview(240, 160, seed + 1, "FUJIFILM", "X-T5");
  Bytes meta;
  Put32Be(meta, 2);
  Put16Be(meta, 0x100), Put16Be(meta, 4), Put16Be(meta, 128), Put16Be(meta, 192);  // height, width
  Put16Be(meta, 0x130), Put16Be(meta, 4), Put32Be(meta, 0);
  const Bytes cfa = Sensor(kSensorBytes, seed + 2);
  Bytes b;
  Text(b, "FUJIFILMCCD-RAW 0201FF383501");
  Bytes model(32, 0);
  std::memcpy(model.data(), "X-T5", 4);
  Append(b, model);
  Text(b, "0100"), b.resize(84, 0);
  const std::uint32_t jpegAt = 148;
  const std::uint32_t metaAt = static_cast<std::uint32_t>((jpegAt + jpeg.size() + 3) / 4 * 4);
  std::uint32_t cfaAt = static_cast<std::uint32_t>((metaAt + meta.size() + 3) / 4 * 4);
  if (cfaAt % kSector == 0) cfaAt += 4;
  for (std::uint32_t v :
       {jpegAt, static_cast<std::uint32_t>(jpeg.size()), metaAt,
        static_cast<std::uint32_t>(meta.size()), cfaAt, static_cast<std::uint32_t>(cfa.size())}) {
    Put32Be(b, v);
  }
  b.resize(jpegAt, 0), Append(b, jpeg);
  b.resize(metaAt, 0), Append(b, meta);
  b.resize(cfaAt, 0), Append(b, cfa);
  return b;
}

// --- Canon CR3 ------------------------------------------------------------------

constexpr std::uint8_t kCanonUuid[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                         0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
constexpr std::uint8_t kXmpUuid[16] = {0xbe, 0x7a, 0xcf, 0xcb, 0x97, 0xa9, 0x42, 0xe8,
                                       0x9c, 0x71, 0x99, 0x94, 0x91, 0xe3, 0xaf, 0xac};
constexpr std::uint8_t kPreviewUuid[16] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88,
                                           0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};

Bytes Cr3(std::uint32_t seed) {
  const Bytes thumb = EncodeJpeg(160, 120, false, seed + 1, 75);
  const Bytes preview = EncodeJpeg(240, 160, false, seed + 2, 80);
  const Bytes full = EncodeJpeg(320, 240, false, seed + 3, 85);
  const Bytes sensor = Sensor(kSensorBytes, seed + 4);
  const auto tiff = [](std::vector<Field> fields) {
    Tiff t;
    t.header = TiffHeader(false);
    t.ifds = {{std::move(fields), -1}};
    return t.Build();
  };
  Bytes xmpBody;
  Text(xmpBody,
       "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
       "</x:xmpmeta><?xpacket end='w'?>");
  const Bytes xmp = Uuid(kXmpUuid, xmpBody);
  Bytes prvw(8, 0);
  prvw[7] = 1;
  {
    Bytes p;
    Put32Be(p, 0), Put16Be(p, 1), Put16Be(p, 240), Put16Be(p, 160), Put16Be(p, 1);
    Put32Be(p, static_cast<std::uint32_t>(preview.size()));
    Append(p, preview);
    Append(prvw, Atom("PRVW", p));
  }
  const Bytes previewBox = Uuid(kPreviewUuid, prvw);

  // The moov's size does not depend on the offsets it holds: made twice.
  const auto moov = [&](std::uint64_t xmpAt, std::uint64_t previewAt, std::uint64_t mdatAt) {
    Bytes canon = Atom("CNCV", [] {
      Bytes v;
      Text(v, "CanonCR3_001/00.09.00/00.00.00");
      return v;
    }());
    Bytes cctp;
    Put32Be(cctp, 0), Put32Be(cctp, 1), Put32Be(cctp, 2);
    for (std::uint32_t i = 0; i < 2; ++i) {
      Bytes ccdt;
      Put64Be(ccdt, i == 0 ? 0x10 : 0x01), Put32Be(ccdt, 0), Put32Be(ccdt, i);
      Append(cctp, Atom("CCDT", ccdt));
    }
    Append(canon, Atom("CCTP", cctp));
    Bytes ctbo;
    Put32Be(ctbo, 4);
    const std::uint64_t table[4][2] = {{xmpAt, xmp.size()},
                                       {previewAt, previewBox.size()},
                                       {mdatAt, 16 + full.size() + sensor.size()},
                                       {0, 0}};
    for (std::uint32_t i = 0; i < 4; ++i) {
      Put32Be(ctbo, i + 1), Put64Be(ctbo, table[i][0]), Put64Be(ctbo, table[i][1]);
    }
    Append(canon, Atom("CTBO", ctbo));
    Append(canon, Atom("free", Bytes(16, 0)));
    Append(canon, Atom("CMT1", tiff({Ascii(0x010F, "Canon"), Ascii(0x0110, "Canon EOS R5"),
                                     Short(0x0112, {1})})));
    Append(
        canon,
        Atom("CMT2", tiff({Rational(0x829A, 1, 250), Raw(0x9000, kUndef, {'0', '2', '3', '1'})})));
    Append(canon, Atom("CMT3", tiff({Ascii(0x0006, "Canon EOS R5"),
                                     Ascii(0x0007, "Firmware Version 1.8.1")})));
    Append(canon, Atom("CMT4", tiff({Raw(0x0000, kByte, {2, 3, 0, 0})})));
    Bytes thmb;
    Put32Be(thmb, 0), Put16Be(thmb, 160), Put16Be(thmb, 120);
    Put32Be(thmb, static_cast<std::uint32_t>(thumb.size())), Put16Be(thmb, 1), Put16Be(thmb, 0);
    Append(thmb, thumb);
    thmb.resize((thmb.size() + 3) / 4 * 4, 0);
    Append(canon, Atom("THMB", thmb));

    Bytes mvhd;
    Put32Be(mvhd, 0), Put32Be(mvhd, 0), Put32Be(mvhd, 1), Put32Be(mvhd, 1);
    Put32Be(mvhd, 0x10000), Put16Be(mvhd, 0x100), mvhd.resize(mvhd.size() + 70, 0);
    Put32Be(mvhd, 3);
    Bytes body = Uuid(kCanonUuid, canon);
    Append(body, FullBox("mvhd", 0, mvhd));
    // One track per image in mdat: where it lies and how long it is.
    const std::uint64_t items[2][2] = {{mdatAt + 16, full.size()},
                                       {mdatAt + 16 + full.size(), sensor.size()}};
    for (std::uint32_t i = 0; i < 2; ++i) {
      Bytes tkhd;
      Put32Be(tkhd, 0), Put32Be(tkhd, 0), Put32Be(tkhd, i + 1), tkhd.resize(tkhd.size() + 72, 0);
      Bytes stsd;
      Put32Be(stsd, 1);
      Bytes craw(6, 0);
      Put16Be(craw, 1), craw.resize(craw.size() + 16, 0);
      Put16Be(craw, i == 0 ? 320 : 192), Put16Be(craw, i == 0 ? 240 : 128);
      Append(stsd, Atom("CRAW", craw));
      Bytes stsz;
      Put32Be(stsz, static_cast<std::uint32_t>(items[i][1])), Put32Be(stsz, 1);
      Bytes co64;
      Put32Be(co64, 1), Put64Be(co64, items[i][0]);
      Bytes stbl = FullBox("stsd", 0, stsd);
      Append(stbl, FullBox("stsz", 0, stsz));
      Append(stbl, FullBox("co64", 0, co64));
      Bytes hdlr(4, 0);
      Text(hdlr, "vide"), hdlr.resize(hdlr.size() + 13, 0);
      Bytes mdia = FullBox("hdlr", 0, hdlr);
      Append(mdia, Atom("minf", Atom("stbl", stbl)));
      Bytes trak = FullBox("tkhd", 3, tkhd);
      Append(trak, Atom("mdia", mdia));
      Append(body, Atom("trak", trak));
    }
    return Atom("moov", body);
  };
  Bytes ftyp;
  Text(ftyp, "crx "), Put32Be(ftyp, 1), Text(ftyp, "crx isom");
  Bytes b = Atom("ftyp", ftyp);
  const std::size_t moovAt = b.size();
  const std::size_t xmpAt = moovAt + moov(0, 0, 0).size();
  const std::size_t previewAt = xmpAt + xmp.size();
  const std::size_t mdatAt = previewAt + previewBox.size();
  Append(b, moov(xmpAt, previewAt, mdatAt));
  Append(b, xmp), Append(b, previewBox);
  // A 64-bit mdat, as Canon writes it.
  Put32Be(b, 1), Text(b, "mdat"), Put64Be(b, 16 + full.size() + sensor.size());
  Append(b, full), Append(b, sensor);
  return b;
}

// --- JPEGs with more than one image ---------------------------------------------

// The segments' end: where the compressed data of a baseline JPEG begins.
std::size_t SegmentsEnd(const Bytes& jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const std::size_t length = std::size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
    at += 2 + length;
    if (jpeg[at - 2 - length + 1] == 0xDA) return at;
  }
  throw std::logic_error("sample JPEG without a scan");
}

// A camera's MPF JPEG: the first image's APP2 "MPF" index lists it and a
// smaller second image stored right after its EOI. Offsets count from the
// index's TIFF header; the first image's is 0.
Bytes Mpf(std::uint32_t seed) {
  const Bytes second = EncodeJpeg(160, 120, true, seed + 1, 75);
  Bytes first = EncodeJpeg(320, 240, true, seed);
  const std::size_t app2At = 4 + (std::size_t{first[4]} << 8 | first[5]);
  constexpr std::size_t kEntriesAt = 8 + 2 + 3 * 12 + 4;  // in the TIFF
  Bytes tiff{'I', 'I', 42, 0, 8, 0, 0, 0};
  Put16(tiff, 3);
  Put16(tiff, 0xB000), Put16(tiff, kUndef), Put32(tiff, 4), Text(tiff, "0100");
  Put16(tiff, 0xB001), Put16(tiff, kLong), Put32(tiff, 1), Put32(tiff, 2);
  Put16(tiff, 0xB002), Put16(tiff, kUndef), Put32(tiff, 32), Put32(tiff, kEntriesAt);
  Put32(tiff, 0);
  tiff.resize(kEntriesAt + 32, 0);
  Bytes app2{0xFF, 0xE2, 0, 0, 'M', 'P', 'F', 0};
  Append(app2, tiff);
  app2[2] = static_cast<std::uint8_t>((app2.size() - 2) >> 8);
  app2[3] = static_cast<std::uint8_t>(app2.size() - 2);
  first.insert(first.begin() + static_cast<std::ptrdiff_t>(app2At), app2.begin(), app2.end());
  const std::size_t header = app2At + 8;
  Bytes entries;
  Put32(entries, 0x20030000), Put32(entries, static_cast<std::uint32_t>(first.size()));
  Put32(entries, 0), Put32(entries, 0);  // first image: offset 0, no dependents
  Put32(entries, 0x00010001), Put32(entries, static_cast<std::uint32_t>(second.size()));
  Put32(entries, static_cast<std::uint32_t>(first.size() - header)), Put32(entries, 0);
  std::copy(entries.begin(), entries.end(),
            first.begin() + static_cast<std::ptrdiff_t>(header + kEntriesAt));
  Append(first, second);
  return first;
}

// Google's motion photo: XMP names the appended movie's length twice (the
// container directory and the older MicroVideoOffset), the MP4 follows EOI.
Bytes GoogleMotionPhoto(std::uint32_t seed, const Bytes& mp4) {
  const std::string length = std::to_string(mp4.size());
  const std::string xmp =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
      "xmlns:Camera=\"http://ns.google.com/photos/1.0/camera/\" "
      "xmlns:GCamera=\"http://ns.google.com/photos/1.0/camera/\" "
      "xmlns:Container=\"http://ns.google.com/photos/1.0/container/\" "
      "xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" Camera:MotionPhoto=\"1\" "
      "Camera:MotionPhotoVersion=\"1\" Camera:MotionPhotoPresentationTimestampUs=\"0\" "
      "GCamera:MicroVideo=\"1\" GCamera:MicroVideoVersion=\"1\" GCamera:MicroVideoOffset=\"" +
      length +
      "\"><Container:Directory><rdf:Seq><rdf:li rdf:parseType=\"Resource\"><Container:Item "
      "Item:Mime=\"image/jpeg\" Item:Semantic=\"Primary\" Item:Length=\"0\" "
      "Item:Padding=\"0\"/></rdf:li><rdf:li rdf:parseType=\"Resource\"><Container:Item "
      "Item:Mime=\"video/mp4\" Item:Semantic=\"MotionPhoto\" Item:Length=\"" +
      length +
      "\"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description></rdf:RDF></x:xmpmeta>";
  Bytes app1;
  Text(app1, "http://ns.adobe.com/xap/1.0/"), app1.push_back(0);
  Text(app1, xmp.c_str());
  Bytes b = EncodeJpegWith(320, 240, false, &app1, seed);
  Append(b, mp4);
  return b;
}

// Samsung's: after EOI a field (0000, marker 0x0A30, name length,
// "MotionPhoto_Data") holding the MP4, then the SEF directory "SEFH" (version,
// count, per field its marker, distance back from SEFH and length), its
// length and "SEFT" closing the file.
Bytes SamsungMotionPhoto(std::uint32_t seed, const Bytes& mp4) {
  Bytes b = EncodeJpeg(320, 240, true, seed);
  const std::size_t fieldAt = b.size();
  Put16(b, 0), Put16(b, 0x0A30), Put32(b, 16), Text(b, "MotionPhoto_Data");
  Append(b, mp4);
  const std::size_t sefhAt = b.size();
  Text(b, "SEFH"), Put32(b, 106), Put32(b, 1);
  Put16(b, 0), Put16(b, 0x0A30);
  Put32(b, static_cast<std::uint32_t>(sefhAt - fieldAt));
  Put32(b, static_cast<std::uint32_t>(sefhAt - fieldAt));
  Put32(b, static_cast<std::uint32_t>(b.size() - sefhAt));
  Text(b, "SEFT");
  return b;
}

// Fill bytes (FF) before the markers: between the header segments, or before EOI.
Bytes FilledJpeg(std::uint32_t seed, bool beforeEoi) {
  Bytes b = EncodeJpeg(320, 240, !beforeEoi, seed);
  if (beforeEoi) {
    b.insert(b.end() - 2, 3, 0xFF);
    return b;
  }
  const std::size_t end = SegmentsEnd(b);
  Bytes out(b.begin(), b.begin() + 2);
  for (std::size_t at = 2; at < end;) {
    const std::size_t length = std::size_t{b[at + 2]} << 8 | b[at + 3];
    out.insert(out.end(), 2, 0xFF);
    out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
               b.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    at += 2 + length;
  }
  out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(end), b.end());
  return out;
}

// --- OpenDML AVI ------------------------------------------------------------------

// An AVI longer than its first RIFF: "AVI " with the headers (and the total
// frame count in odml/dmlh), then RIFF "AVIX" chunks with more frames. The
// file ends with the last AVIX.
Bytes OpenDmlAvi(std::uint32_t seed) {
  constexpr int kPerRiff = 3, kRiffs = 3;
  const auto frames = [&](int riff) {
    Bytes movi;
    Text(movi, "movi");
    for (int i = 0; i < kPerRiff; ++i) {
      Chunk(movi, "00dc",
            EncodeJpeg(64, 48, false, seed + static_cast<std::uint32_t>(riff * kPerRiff + i), 80));
    }
    return movi;
  };
  Bytes avih;
  for (std::uint32_t v :
       {100000u, 0u, 0u, 0x110u, std::uint32_t{kPerRiff}, 0u, 1u, 0u, 64u, 48u, 0u, 0u, 0u, 0u}) {
    Put32(avih, v);
  }
  Bytes strh;
  Text(strh, "vidsMJPG");
  for (std::uint32_t v :
       {0u, 0u, 0u, 1u, 10u, 0u, std::uint32_t{kPerRiff * kRiffs}, 0u, 0xFFFFFFFFu, 0u}) {
    Put32(strh, v);
  }
  Put16(strh, 0), Put16(strh, 0), Put16(strh, 64), Put16(strh, 48);
  Bytes strf;
  Put32(strf, 40), Put32(strf, 64), Put32(strf, 48), Put16(strf, 1), Put16(strf, 24);
  Text(strf, "MJPG"), Put32(strf, 64 * 48 * 3), strf.resize(strf.size() + 16, 0);
  Bytes strl;
  Text(strl, "strl"), Chunk(strl, "strh", strh), Chunk(strl, "strf", strf);
  Bytes dmlh;
  Put32(dmlh, kPerRiff * kRiffs), dmlh.resize(248, 0);
  Bytes odml;
  Text(odml, "odml"), Chunk(odml, "dmlh", dmlh);
  Bytes hdrl;
  Text(hdrl, "hdrl"), Chunk(hdrl, "avih", avih), Chunk(hdrl, "LIST", strl);
  Chunk(hdrl, "LIST", odml);

  Bytes first;
  Chunk(first, "LIST", hdrl);
  const Bytes movi = frames(0);
  Chunk(first, "LIST", movi);
  Bytes idx1;
  for (std::size_t at = 4; at < movi.size();) {
    const std::uint32_t size = movi[at + 4] | movi[at + 5] << 8 | movi[at + 6] << 16 |
                               static_cast<std::uint32_t>(movi[at + 7]) << 24;
    Text(idx1, "00dc"), Put32(idx1, 0x10), Put32(idx1, static_cast<std::uint32_t>(at));
    Put32(idx1, size);
    at += 8 + (size + 1) / 2 * 2;
  }
  Chunk(first, "idx1", idx1);
  Bytes b = Riff("AVI ", first);
  for (int riff = 1; riff < kRiffs; ++riff) {
    Bytes more;
    Chunk(more, "LIST", frames(riff));
    Append(b, Riff("AVIX", more));
  }
  return b;
}

// --- The kinds --------------------------------------------------------------------

struct KindInfo {
  const char* kind;
  const char* ext;
  const char* tool;  // nullptr: laid out here
  const char* note;
  std::function<std::optional<Bytes>()> make;
  std::function<Bytes()> handBuilt;  // for the trap card when the tool is missing
};

std::optional<Bytes> Movie(const std::vector<std::string>& format, const std::string& name) {
  return CleanTool([&](std::uint32_t v) { return Ffmpeg(format, name, v); });
}

std::optional<Bytes> Mp4Or(bool handBuilt) {
  std::optional<Bytes> mp4 = Movie({"-movflags", "+faststart", "-f", "mp4"}, "a.mp4");
  if (!mp4 && handBuilt) mp4 = Clean(5, {}, HandBuiltMp4);
  return mp4;
}

template <typename F>
std::function<std::optional<Bytes>()> Laid(std::uint32_t seed, std::vector<std::size_t> meant,
                                           F make) {
  return [=]() -> std::optional<Bytes> {
    return Clean(seed, meant, [&](std::uint32_t s) { return make(s); });
  };
}

const std::vector<KindInfo>& Kinds() {
  static const std::vector<KindInfo> kinds{
      {"mp4", "MP4", "ffmpeg", "ffmpeg, H.264 in MP4, moov before mdat (+faststart)",
       [] {
         return Movie({"-movflags", "+faststart", "-f", "mp4"}, "a.mp4");
       },
       [] { return Clean(5, {}, HandBuiltMp4); }},
      {"mov", "MOV", "ffmpeg", "ffmpeg, QuickTime, moov after mdat",
       [] {
         return Movie({"-f", "mov"}, "a.mov");
       },
       nullptr},
      {"m4v", "M4V", "ffmpeg", "ffmpeg, MP4 with brand \"M4V \", moov first",
       [] {
         return Movie({"-f", "mp4", "-brand", "M4V ", "-movflags", "+faststart"}, "a.m4v");
       },
       nullptr},
      {"3gp", "3GP", "ffmpeg", "ffmpeg, 3GPP (brand 3gp*)",
       [] {
         return Movie({"-f", "3gp"}, "a.3gp");
       },
       nullptr},
      {"mts", "MTS", "ffmpeg", "ffmpeg, MPEG-TS in 192-byte packets (m2ts mode), as AVCHD",
       [] {
         return Movie({"-f", "mpegts", "-mpegts_m2ts_mode", "1"}, "a.mts");
       },
       [] { return Clean(6, {}, [](std::uint32_t s) { return HandBuiltTs(true, s); }); }},
      {"ts", "TS", "ffmpeg", "ffmpeg, MPEG-TS in 188-byte packets",
       [] {
         return Movie({"-f", "mpegts"}, "a.ts");
       },
       [] { return Clean(7, {}, [](std::uint32_t s) { return HandBuiltTs(false, s); }); }},
      {"heic", "HEIC", "heif-enc", "heif-enc (x265), a 64x48 still",
       [] { return CleanTool([](std::uint32_t v) { return HeifEnc(false, 11 + v); }); }, nullptr},
      {"avif", "AVIF", "heif-enc", "heif-enc -A (aom), a 64x48 still",
       [] { return CleanTool([](std::uint32_t v) { return HeifEnc(true, 11 + v); }); }, nullptr},
      {"cr3", "CR3", nullptr,
       "laid out: ftyp \"crx \", moov with Canon's uuid (CNCV, CCTP, CTBO, CMT1-4, THMB) and "
       "two CRAW tracks, XMP and PRVW uuid boxes, a 64-bit mdat with a JPEG and sensor data",
       Laid(21, {}, Cr3), nullptr},
      {"raf", "RAF", nullptr,
       "laid out: \"FUJIFILMCCD-RAW \" header, JPEG preview (offset/length at 84), CFA header "
       "(92), CFA data last (100)",
       Laid(22, {}, Raf), nullptr},
      {"cr2", "CR2", nullptr,
       "laid out: TIFF \"II\" + \"CR\" at 8, IFD0 JPEG preview by strip, Exif IFD, IFD1 "
       "thumbnail, IFD2 RGB, IFD3 raw strip last",
       Laid(23, {}, Cr2), nullptr},
      {"nef", "NEF", nullptr,
       "laid out: big-endian TIFF, SubIFDs (330) with the JPEG preview and the raw strip, Exif "
       "maker note \"Nikon\\0\" with its own TIFF",
       Laid(24, {}, Nef), nullptr},
      {"dng", "DNG", nullptr,
       "laid out: TIFF with DNGVersion (50706), JPEG preview in IFD0, raw in a SubIFD",
       Laid(25, {},
            [](std::uint32_t s) { return SubIfdRaw(s, false, "Canon", "Canon EOS R6", true); }),
       nullptr},
      {"orf", "ORF", nullptr,
       "laid out: \"IIRO\", JPEG preview at byte 512 (a sector start), raw last",
       Laid(26, {512}, Orf), nullptr},
      {"rw2", "RW2", nullptr,
       "laid out: \"IIU\\0\", JpgFromRaw (tag 0x2E) at byte 1536 (a sector start), raw last",
       Laid(27, {1536}, Rw2), nullptr},
      {"arw", "ARW", nullptr, "laid out: TIFF, Make SONY, JPEG preview in IFD0, raw SubIFD",
       Laid(28, {}, [](std::uint32_t s) { return SubIfdRaw(s, false, "SONY", "ILCE-7M3", false); }),
       nullptr},
      {"pef", "PEF", nullptr, "laid out: big-endian TIFF, Make PENTAX, JPEG preview, raw SubIFD",
       Laid(29, {},
            [](std::uint32_t s) { return SubIfdRaw(s, true, "PENTAX", "PENTAX K-3 II", false); }),
       nullptr},
      {"srw", "SRW", nullptr, "laid out: TIFF, Make SAMSUNG, JPEG preview, raw SubIFD",
       Laid(30, {}, [](std::uint32_t s) { return SubIfdRaw(s, false, "SAMSUNG", "NX1", false); }),
       nullptr},
      {"jpg-mpf", "JPG", nullptr,
       "libjpeg + APP2 MPF index: 2 images, the second right after the first's EOI",
       Laid(31, {}, Mpf), nullptr},
      {"jpg-motion-google", "JPG", "ffmpeg",
       "JPEG with XMP Camera:MotionPhoto, Container:Directory Item:Length and "
       "GCamera:MicroVideoOffset = the appended MP4's length",
       [] {
         const auto mp4 = Mp4Or(false);
         if (!mp4) return std::optional<Bytes>();
         return std::optional<Bytes>(
             Clean(32, {}, [&](std::uint32_t s) { return GoogleMotionPhoto(s, *mp4); }));
       },
       [] {
         const Bytes mp4 = *Mp4Or(true);
         return Clean(32, {}, [&](std::uint32_t s) { return GoogleMotionPhoto(s, mp4); });
       }},
      {"jpg-motion-samsung", "JPG", "ffmpeg",
       "JPEG, then \"MotionPhoto_Data\" and an MP4, then the SEF trailer SEFH...SEFT",
       [] {
         const auto mp4 = Mp4Or(false);
         if (!mp4) return std::optional<Bytes>();
         return std::optional<Bytes>(
             Clean(33, {}, [&](std::uint32_t s) { return SamsungMotionPhoto(s, *mp4); }));
       },
       [] {
         const Bytes mp4 = *Mp4Or(true);
         return Clean(33, {}, [&](std::uint32_t s) { return SamsungMotionPhoto(s, mp4); });
       }},
      {"jpg-fill", "JPG", nullptr,
       "libjpeg, FF fill bytes before every header marker (FF D8 FF FF FF E1)",
       Laid(34, {}, [](std::uint32_t s) { return FilledJpeg(s, false); }), nullptr},
      {"jpg-fill-eoi", "JPG", nullptr, "libjpeg, FF fill bytes before EOI",
       Laid(35, {}, [](std::uint32_t s) { return FilledJpeg(s, true); }), nullptr},
      {"avi-opendml", "AVI", nullptr,
       "laid out: RIFF \"AVI \" (hdrl with odml, movi, idx1), then two RIFF \"AVIX\" with movi",
       Laid(36, {}, OpenDmlAvi), nullptr},
  };
  return kinds;
}

}  // namespace

bool HaveTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t from = 0; from <= dirs.size();) {
    std::size_t to = dirs.find(':', from);
    if (to == std::string::npos) to = dirs.size();
    const std::string file = dirs.substr(from, to - from) + "/" + name;
    if (to > from && ::access(file.c_str(), X_OK) == 0) return true;
    from = to + 1;
  }
  return false;
}

std::vector<std::string> CameraFileKinds() {
  std::vector<std::string> names;
  for (const KindInfo& k : Kinds()) names.push_back(k.kind);
  return names;
}

std::optional<CameraFile> MakeCameraFile(const std::string& kind, std::string* whyNot,
                                         bool handBuiltFallback) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, bool>, std::optional<CameraFile>> made;
  static std::map<std::pair<std::string, bool>, std::string> reasons;
  const std::lock_guard lock(mutex);
  const auto key = std::make_pair(kind, handBuiltFallback);
  if (const auto it = made.find(key); it != made.end()) {
    if (whyNot) *whyNot = reasons[key];
    return it->second;
  }
  const auto info = std::find_if(Kinds().begin(), Kinds().end(),
                                 [&](const KindInfo& k) { return kind == k.kind; });
  if (info == Kinds().end()) throw std::invalid_argument("no camera file kind " + kind);
  std::optional<CameraFile> file;
  std::string reason;
  if (!info->tool || HaveTool(info->tool)) {
    if (std::optional<Bytes> b = info->make()) {
      file = CameraFile{info->kind, info->ext, std::move(*b), info->note};
    } else {
      reason = std::string(info->tool) + " could not make it";
    }
  } else {
    reason = std::string(info->tool) + " is missing";
  }
  if (!file && handBuiltFallback && info->handBuilt) {
    file = CameraFile{info->kind, info->ext, info->handBuilt(),
                      std::string("laid out here (") + reason + ")"};
  }
  made[key] = file;
  reasons[key] = reason;
  if (whyNot) *whyNot = reason;
  return file;
}

std::vector<CameraFile> CameraFiles(std::vector<std::string>* skipped) {
  std::vector<CameraFile> files;
  for (const std::string& kind : CameraFileKinds()) {
    std::string why;
    if (auto file = MakeCameraFile(kind, &why)) {
      files.push_back(std::move(*file));
    } else if (skipped) {
      skipped->push_back(kind + ": " + why);
    }
  }
  return files;
}

std::optional<CameraFile> MdatLyingMovie(std::uint32_t extra) {
  std::optional<CameraFile> movie = MakeCameraFile("mp4", nullptr, true);
  if (!movie) return std::nullopt;
  Bytes& b = movie->bytes;
  for (std::size_t at = 0; at + 8 <= b.size();) {
    const std::uint32_t size =
        static_cast<std::uint32_t>(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
    if (size < 8) break;
    if (std::memcmp(&b[at + 4], "mdat", 4) == 0) {
      Set32Be(b, at, size + extra);
      movie->kind = "mp4-mdat-lies";
      movie->note += "; mdat claims " + std::to_string(extra) + " bytes more than the file holds";
      return movie;
    }
    at += size;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> LongMovie(std::uint32_t seed) {
  if (!HaveTool("ffmpeg")) return std::nullopt;
  // Noise over a test picture keeps the encoder from squeezing it small: a
  // few hundred kilobytes, moov after mdat as a camera records.
  for (std::uint32_t variant = 0; variant < 12; ++variant) {
    TempFolder dir;
    const std::string source = "testsrc2=size=320x240:rate=15:duration=3,noise=alls=" +
                               std::to_string(20 + (seed + variant) % 40) + ":allf=t";
    const std::vector<std::string> args{
        "ffmpeg",   "-nostdin", "-hide_banner", "-loglevel", "error",     "-y",
        "-f",       "lavfi",    "-i",           source,      "-c:v",      "libx264",
        "-threads", "1",        "-pix_fmt",     "yuv420p",   "-fflags",   "+bitexact",
        "-flags:v", "+bitexact", "-map_metadata", "-1",       dir / "long.mp4"};
    if (!Run(args)) return std::nullopt;
    std::optional<Bytes> b = ReadWhole(dir / "long.mp4");
    if (!b) return std::nullopt;
    if (InnerHeaders(*b).empty()) return b;
  }
  return std::nullopt;
}
