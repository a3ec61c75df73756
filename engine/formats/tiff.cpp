// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF and the raw files built on it (CR2, NEF, DNG, ORF, RW2, ARW, PEF,
// SRW, ...). The unticked scan knows "II" and "MM". Checked, the first
// directory must parse, and it names the kind; the end is the furthest byte
// any directory, or the data one points at, reaches.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "engine/byteorder.h"
#include "engine/formats/format.h"

namespace {

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.TIF && size >= 2 && s[1] == s[0] ? "TIF" : nullptr;
}

// No camera writes more; more is junk read as a directory.
constexpr std::uint32_t kMaxEntries = 1000;
constexpr std::size_t kMaxDirectories = 64;
constexpr std::uint32_t kMaxPieces = 65536;  // strips or tiles of one image
constexpr std::uint32_t kMaxSubIfds = 64;
// Most directories fit this, so each costs one read of the card.
constexpr std::size_t kFirstRead = 1024;

enum : std::uint32_t {
  kMake = 271,
  kModel = 272,
  kStripOffsets = 273,
  kStripByteCounts = 279,
  kRawDataOffset = 0x118,  // Panasonic
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSubIfds = 330,
  kJpegOffset = 513,
  kJpegLength = 514,
  kExifIfd = 34665,
  kGpsIfd = 34853,
  kMakerNote = 37500,
  kInteropIfd = 40965,
  kDngVersion = 50706,
  kPrivateData = 50740,  // DNG's bytes; Sony's SR2 directory
};

struct TOrder {
  bool big = false;
  std::uint32_t U16(const std::uint8_t* p) const { return big ? Be16(p) : Le16(p); }
  std::uint32_t U32(const std::uint8_t* p) const { return big ? Be32(p) : Le32(p); }
};

// Bytes of one value of a field type; 0 for a type TIFF does not have.
std::uint32_t TypeSize(std::uint32_t type) {
  static constexpr std::array<std::uint8_t, 14> kSizes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < kSizes.size() ? kSizes[type] : 0;
}

struct TEntry {
  std::uint32_t tag, type, count;
  const std::uint8_t* value;  // the value itself when it fits 4 bytes, else its offset
  std::uint64_t Bytes() const { return std::uint64_t{count} * TypeSize(type); }
};

TEntry EntryAt(const std::uint8_t* e, TOrder order) {
  return {order.U16(e), order.U16(e + 2), order.U32(e + 4), e + 8};
}

// The byte order and the kind the magic alone tells (ORF, RW2), or false.
bool HeaderOrder(const std::uint8_t* head, TOrder& order, const char*& kind) {
  const auto is = [head](const char* magic) { return std::memcmp(head, magic, 4) == 0; };
  kind = is("IIRO") || is("IIRS") || is("MMOR") ? "ORF" : is("IIU\0") ? "RW2" : nullptr;
  order.big = is("MM\0*") || is("MMOR");
  return order.big || kind != nullptr || is("II*\0");
}

bool IsCr2(const std::uint8_t* head, std::size_t size) {
  return size >= 10 && head[0] == 'I' && head[8] == 'C' && head[9] == 'R';
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char upper, char c) {
           return std::toupper(static_cast<unsigned char>(c)) == upper;
         });
}

// The raw's extension by the camera maker (prefixes in upper case).
const char* ByMake(std::string_view make, std::string_view model) {
  static constexpr std::pair<std::string_view, const char*> kMakers[] = {
      {"NIKON", "NEF"},   {"SONY", "ARW"},        {"PENTAX", "PEF"}, {"RICOH", "PEF"},
      {"SAMSUNG", "SRW"}, {"SEIKO EPSON", "ERF"}, {"EPSON", "ERF"},  {"HASSELBLAD", "3FR"},
      {"MAMIYA", "MEF"},  {"LEAF", "MOS"},        {"KODAK", "DCR"},  {"EASTMAN KODAK", "DCR"}};
  for (const auto& [prefix, ext] : kMakers) {
    if (!StartsWith(make, prefix)) continue;
    // Nikon's compacts write the same structure under another name.
    if (prefix == "NIKON" && model.find("COOLPIX") != std::string_view::npos) return "NRW";
    return ext;
  }
  return "TIF";
}

// The kind of TIFF at data, or nullptr when its header or first directory
// (as far as the available bytes show it) does not hold.
const char* KindOf(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  TOrder order;
  const char* kind = nullptr;
  if (available < 8 || !HeaderOrder(data, order, kind)) return nullptr;
  const std::uint32_t dir = order.U32(data + 4);
  if (dir < 8 || dir >= bytesLeft) return nullptr;
  if (kind == nullptr && IsCr2(data, available)) kind = "CR2";
  if (std::uint64_t{dir} + 2 > available) return kind != nullptr ? kind : "TIF";
  const std::uint32_t count = order.U16(data + dir);
  if (count == 0 || count > kMaxEntries || dir + 2 + 12 * std::uint64_t{count} + 4 > bytesLeft) {
    return nullptr;
  }
  bool dng = false;
  std::string_view make, model;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = dir + 2 + 12 * std::size_t{i};
    if (at + 12 > available) break;
    const TEntry e = EntryAt(data + at, order);
    if (TypeSize(e.type) == 0) return nullptr;
    dng = dng || e.tag == kDngVersion;
    if ((e.tag == kMake || e.tag == kModel) && e.type == 2) {
      const std::uint64_t from = e.Bytes() <= 4 ? at + 8 : order.U32(e.value);
      const std::uint64_t length = std::min<std::uint64_t>(e.Bytes(), 64);
      if (from + length > available) continue;
      (e.tag == kMake ? make : model) =
          std::string_view(reinterpret_cast<const char*>(data + from), length);
    }
  }
  if (kind != nullptr) return kind;
  return dng ? "DNG" : ByMake(make, model);
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 2 && s[1] == s[0] && (s[0] == 'I' || s[0] == 'M');
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t bytesLeft) {
  return types.TIF ? KindOf(data, available, bytesLeft) : nullptr;
}

// --- The end: every directory and what it points at, read ahead ---------------

// What a directory is, which says what its tags mean and whether a fault in
// it loses the file's end (the main chain, its SubIFDs and the Exif
// directory) or only that directory (GPS, maker notes: their own business).
enum class EDir { Main, Exif, Gps, Interop, Note, Nikon, Olympus, OlympusSub, Private };

struct TDirJob {
  std::uint64_t at;
  std::uint64_t base;    // what the directory's offsets count from
  std::uint64_t within;  // a maker note's end its directory must not pass; 0: none
  TOrder order;
  EDir kind;
};

bool Strict(EDir kind) {
  return kind == EDir::Main || kind == EDir::Exif;
}

class TTiffEnd final : public TEndFinder {
 public:
  TTiffEnd(std::uint64_t limit, TVolumeBytes* volume, bool cr2)
      : TEndFinder(limit, volume), cr2_(cr2) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(16, Limit()));
    if (want < 8) return GiveUp(), 0;
    std::size_t used = 0;
    const std::uint8_t* head = Gather(data, size, want, used);
    if (head == nullptr) return used;
    // The whole structure is known at once, so the previews inside (ORF's at
    // 512, RW2's at 1536) are covered before the scan reaches them.
    if (Walk(head, want)) {
      EndAt(reach_);
    } else {
      GiveUp();
    }
    return used;
  }

  bool Walk(const std::uint8_t* head, std::size_t size) {
    TOrder order;
    const char* kind = nullptr;
    if (!HeaderOrder(head, order, kind)) return false;
    rw2_ = kind != nullptr && std::strcmp(kind, "RW2") == 0;
    reach_ = 8;
    if (IsCr2(head, size) && size >= 16) {
      reach_ = 16;
      // The raw's own directory, also at the end of the chain.
      if (const std::uint32_t raw = order.U32(head + 12); raw != 0) {
        jobs_.push_back({raw, 0, 0, order, EDir::Main});
      }
    }
    jobs_.push_back({order.U32(head + 4), 0, 0, order, EDir::Main});  // taken first
    while (!jobs_.empty()) {
      const TDirJob job = jobs_.back();
      jobs_.pop_back();
      if (std::find(seen_.begin(), seen_.end(), job.at) != seen_.end()) continue;  // a cycle
      if (seen_.size() == kMaxDirectories) return false;
      seen_.push_back(job.at);
      if (!Directory(job) && Strict(job.kind)) return false;
    }
    return true;
  }

  void Reach(std::uint64_t offset) { reach_ = std::max(reach_, offset); }

  // Reads a directory and follows what it points at; false when it does not
  // parse or a range it claims leaves the volume.
  bool Directory(const TDirJob& job) {
    if (job.at < job.base + 8 || !Fits(job.at, 6)) return false;
    std::vector<std::uint8_t>& dir = buffer_;
    dir.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kFirstRead, Limit() - job.at)));
    if (!Peek(job.at, dir.data(), dir.size())) {
      dir.resize(2);  // an unreadable sector past the directory is none of its business
      if (!Peek(job.at, dir.data(), 2)) return false;
    }
    const TOrder order = job.order;
    const std::uint32_t count = order.U16(dir.data());
    const std::size_t need = 2 + 12 * std::size_t{count} + 4;
    if (count == 0 || count > kMaxEntries || !Fits(job.at, need)) return false;
    if (job.within != 0 && job.at + need - 4 > job.within) return false;
    if (need > dir.size()) {
      dir.resize(need);
      if (!Peek(job.at, dir.data(), need)) return false;
    }
    std::vector<TEntry> entries(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      entries[i] = EntryAt(dir.data() + 2 + 12 * std::size_t{i}, order);
      if (TypeSize(entries[i].type) == 0) return false;
    }
    // The strict ones may not point out of the volume; the others lose the
    // entry only.
    const bool strict = Strict(job.kind);
    for (const TEntry& e : entries) {
      if (e.Bytes() <= 4) continue;
      const std::uint64_t at = job.base + order.U32(e.value);
      if (!Fits(at, e.Bytes())) {
        if (strict) return false;
        continue;
      }
      Reach(at + e.Bytes());
    }
    Reach(job.at + need);
    for (const TEntry& e : entries) {
      if (!Follow(job, e) && strict) return false;
    }
    if (!Pieces(job, entries) && strict) return false;
    if (job.kind == EDir::Main) {
      if (const std::uint32_t next = order.U32(dir.data() + need - 4); next != 0) {
        jobs_.push_back({next, 0, 0, order, EDir::Main});
      }
    }
    return true;
  }

  // Queues the directories an entry points at.
  bool Follow(const TDirJob& job, const TEntry& e) {
    const auto to = [&](EDir kind) { return Pointers(job, e, kind); };
    switch (job.kind) {
      case EDir::Main:
        if (e.tag == kSubIfds) return to(EDir::Main);
        if (e.tag == kExifIfd) return to(EDir::Exif);
        if (e.tag == kGpsIfd) to(EDir::Gps);
        if (e.tag == kPrivateData && e.count == 1 && (e.type == 4 || e.type == 13)) {
          to(EDir::Private);
        }
        return true;
      case EDir::Exif:
        if (e.tag == kInteropIfd) to(EDir::Interop);
        if (e.tag == kMakerNote) MakerNote(job, e);
        return true;
      case EDir::Nikon:
        if (e.tag == 0x11) to(EDir::Nikon);  // the preview's directory
        return true;
      case EDir::Olympus:
        // Equipment, camera settings and the rest, each a directory of its own.
        if (e.tag >= 0x2010 && e.tag <= 0x5000 && e.count >= 1) {
          if (e.type == 7 && e.Bytes() > 4) {
            jobs_.push_back(
                {job.base + job.order.U32(e.value), job.base, 0, job.order, EDir::OlympusSub});
          } else if (e.count == 1) {
            to(EDir::OlympusSub);
          }
        }
        return true;
      default:
        return true;
    }
  }

  bool Pointers(const TDirJob& job, const TEntry& e, EDir kind) {
    std::vector<std::uint32_t> offsets;
    if ((e.type != 4 && e.type != 13) || !Values(job, e, kMaxSubIfds, offsets)) return false;
    for (std::uint32_t offset : offsets) {
      jobs_.push_back({job.base + offset, job.base, 0, job.order, kind});
    }
    return true;
  }

  // Maker notes whose layout is known have their directories followed; any
  // other is its bytes alone, counted as every value is.
  void MakerNote(const TDirJob& job, const TEntry& e) {
    if (e.Bytes() < 16) return;
    const std::uint64_t at = job.base + job.order.U32(e.value), end = at + e.Bytes();
    std::array<std::uint8_t, 18> h{};
    if (!Fits(at, e.Bytes()) || !Peek(at, h.data(), h.size())) return;
    const auto is = [&h](std::string_view magic) {
      return std::memcmp(h.data(), magic.data(), magic.size()) == 0;
    };
    const auto orderAt = [&h](std::size_t k, TOrder& order) {
      order.big = h[k] == 'M';
      return (h[k] == 'I' || h[k] == 'M') && h[k + 1] == h[k];
    };
    TOrder order = job.order;
    if (is(std::string_view("Nikon\0\x02", 7)) && orderAt(10, order) &&
        order.U16(h.data() + 12) == 42) {
      // Its own TIFF header at 10; its offsets count from there.
      jobs_.push_back({at + 10 + order.U32(h.data() + 14), at + 10, end, order, EDir::Nikon});
    } else if (is(std::string_view("OLYMPUS\0", 8)) && orderAt(8, order)) {
      jobs_.push_back({at + 12, at, end, order, EDir::Olympus});
    } else if (is(std::string_view("OM SYSTEM\0\0\0", 12)) && orderAt(12, order)) {
      jobs_.push_back({at + 16, at, end, order, EDir::Olympus});
    } else if (is(std::string_view("OLYMP\0", 6))) {
      jobs_.push_back({at + 8, job.base, end, order, EDir::Olympus});
    } else if (is(std::string_view("PENTAX \0", 8)) && orderAt(8, order)) {
      jobs_.push_back({at + 10, at, end, order, EDir::Note});
    } else if (is(std::string_view("Panasonic\0\0\0", 12)) ||
               is(std::string_view("SONY DSC \0\0\0", 12)) ||
               is(std::string_view("SONY CAM \0\0\0", 12))) {
      jobs_.push_back({at + 12, job.base, end, order, EDir::Note});
    } else if (cr2_) {
      jobs_.push_back({at, job.base, end, order, EDir::Note});  // a bare directory
    }
  }

  // The pieces of data a directory places by offset and length: strips,
  // tiles, a JPEG; a piece whose length is not told loses the end.
  bool Pieces(const TDirJob& job, const std::vector<TEntry>& entries) {
    struct TPair {
      std::uint32_t offsets, lengths;
    };
    static constexpr TPair kTiff[] = {{kStripOffsets, kStripByteCounts},
                                      {kTileOffsets, kTileByteCounts},
                                      {kJpegOffset, kJpegLength}};
    // Elsewhere 0x118 is MinSampleValue.
    static constexpr TPair kPanasonic[] = {{kStripOffsets, kStripByteCounts},
                                           {kRawDataOffset, kStripByteCounts}};
    static constexpr TPair kOlympus[] = {{0x101, 0x102}};  // the preview in camera settings
    static constexpr TPair kSony[] = {{0x7200, 0x7201}};   // SR2's own directory
    std::span<const TPair> pairs;
    switch (job.kind) {
      case EDir::Main:
        pairs = rw2_ ? std::span<const TPair>(kPanasonic) : std::span<const TPair>(kTiff);
        break;
      case EDir::Exif:
      case EDir::Nikon:
        pairs = kTiff;
        break;
      case EDir::OlympusSub:
        pairs = kOlympus;
        break;
      case EDir::Private:
        pairs = kSony;
        break;
      default:
        return true;
    }
    const auto find = [&entries](std::uint32_t tag) {
      return std::find_if(entries.begin(), entries.end(),
                          [tag](const TEntry& e) { return e.tag == tag; });
    };
    bool held = true;
    for (const TPair& pair : pairs) {
      const auto offsets = find(pair.offsets), lengths = find(pair.lengths);
      if (offsets == entries.end()) continue;
      std::vector<std::uint32_t> starts, sizes;
      if (lengths == entries.end() || !Values(job, *offsets, kMaxPieces, starts) ||
          !Values(job, *lengths, kMaxPieces, sizes) || starts.size() != sizes.size()) {
        held = false;
        continue;
      }
      for (std::size_t i = 0; i < starts.size(); ++i) {
        if (starts[i] == 0 && sizes[i] == 0) continue;  // a piece not written
        const std::uint64_t at = job.base + starts[i];
        if (sizes[i] == 0 || !Fits(at, sizes[i])) {
          held = false;
          continue;
        }
        Reach(at + sizes[i]);
      }
    }
    return held;
  }

  // An entry's values as integers (BYTE, SHORT, LONG, IFD), at most max of them.
  bool Values(const TDirJob& job, const TEntry& e, std::uint32_t max,
              std::vector<std::uint32_t>& out) {
    const std::uint32_t size = TypeSize(e.type);
    if (e.count > max || (e.type != 1 && e.type != 3 && e.type != 4 && e.type != 13)) return false;
    const std::uint8_t* values = e.value;
    if (e.Bytes() > 4) {
      values_.resize(static_cast<std::size_t>(e.Bytes()));
      if (!Peek(job.base + job.order.U32(e.value), values_.data(), values_.size())) return false;
      values = values_.data();
    }
    out.resize(e.count);
    for (std::uint32_t i = 0; i < e.count; ++i) {
      const std::uint8_t* v = values + std::size_t{i} * size;
      out[i] = size == 1 ? *v : size == 2 ? job.order.U16(v) : job.order.U32(v);
    }
    return true;
  }

  const bool cr2_;
  bool rw2_ = false;
  std::uint64_t reach_ = 0;
  std::vector<TDirJob> jobs_;
  std::vector<std::uint64_t> seen_;
  std::vector<std::uint8_t> buffer_, values_;
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view ext, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TTiffEnd>(bytesLeft, volume, ext == "CR2");
}

}  // namespace

extern const TFormat kTiffFormat{"tiff", 0, "IM", Detect, Magic, Check, MakeFinder};
