// SPDX-License-Identifier: GPL-3.0-or-later
// The fragmented card: each split layout among ordinary whole photos, in
// turn, until the card is filled, each file in whole clusters from the first
// free one on, as a camera's FAT driver allocates them.
#include "tests/support/fragmentcard.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "tests/support/camerafiles.h"
#include "tests/support/cardparts.h"
#include "tests/support/sha256.h"

namespace {

// Encoding again with another seed finds a photo without header-like sectors
// within a few attempts; far more means a fault here.
constexpr std::uint32_t kAttempts = 1000;

enum class Layout {
  AroundPhoto,
  AroundOldData,
  AcrossEmpty,
  ThreePieces,
  Interleaved,
  Overwritten,
  AfterGap,
  FarAway,
  MovieAroundPhoto
};
constexpr Layout kLayouts[] = {Layout::AroundPhoto, Layout::AroundOldData, Layout::AcrossEmpty,
                               Layout::ThreePieces, Layout::Interleaved,   Layout::Overwritten,
                               Layout::AfterGap,    Layout::FarAway,     Layout::MovieAroundPhoto};
constexpr std::size_t kLayoutCount = std::size(kLayouts);

const char* TrapOf(Layout layout) {
  switch (layout) {
    case Layout::AroundPhoto:
      return "split-around-photo";
    case Layout::AroundOldData:
      return "split-around-old-data";
    case Layout::AcrossEmpty:
      return "split-across-empty";
    case Layout::ThreePieces:
      return "three-pieces";
    case Layout::Interleaved:
      return "interleaved";
    case Layout::Overwritten:
      return "overwritten";
    case Layout::AfterGap:
      return "split-after-gap";
    case Layout::FarAway:
      return "split-far-away";
    case Layout::MovieAroundPhoto:
      return "movie-around-photo";
  }
  return "";
}

// The photos' encodings in turn, so every layout meets each of them.
struct Encoding {
  JpegScans scans;
  unsigned restartInterval;
};
constexpr Encoding kEncodings[] = {{JpegScans::Baseline, 0},
                                   {JpegScans::Progressive, 0},
                                   {JpegScans::Baseline, 4},
                                   {JpegScans::Progressive, 8}};

struct CardPhoto {
  Bytes bytes;
  std::size_t encoding = 0;
};

struct Entry {
  SampleFile file;
  std::vector<FilePiece> pieces;
};

class FragmentWriter {
 public:
  FragmentWriter(const std::string& imagePath, const TFragmentCardOptions& options)
      : options_(options),
        clusterBytes_(std::uint64_t{options.clusterSectors} * kSector),
        out_(imagePath, std::ios::binary | std::ios::trunc) {
    if (options.clusterSectors == 0) throw std::runtime_error("The cluster size is 0");
    if (!out_) throw std::runtime_error("Could not create " + imagePath);
    limit_ = static_cast<std::uint64_t>(static_cast<double>(options.bytes) * options.fill) /
             clusterBytes_;
  }

  // A photo of a width in [minWidth, maxWidth] (4:3), the next encoding or the given one,
  // unique on the card by its comment.
  CardPhoto NewPhoto(int minWidth, int maxWidth, std::size_t encoding = SIZE_MAX) {
    const int index = photos_++;
    if (encoding == SIZE_MAX) encoding = static_cast<std::size_t>(index) % std::size(kEncodings);
    const std::uint32_t s = Random() * 7919;
    const int width = minWidth + 16 * static_cast<int>(Mix(s) % ((maxWidth - minWidth) / 16 + 1));
    const Encoding& e = kEncodings[encoding];
    for (std::uint32_t attempt = 0; attempt < kAttempts; ++attempt) {
      Photo photo{EncodeJpeg(width, width * 3 / 4, index % 3 == 1, s + attempt, 90, e.scans,
                             e.restartInterval),
                  0};
      photo.commentAt = InsertComment(photo.bytes);
      StampCopy(photo, index);
      if (HeaderSectors(photo.bytes).empty()) return {std::move(photo.bytes), encoding};
    }
    throw std::logic_error("no sample photo without header-like sectors");
  }

  std::uint64_t Clusters(std::uint64_t bytes) const {
    return (bytes + clusterBytes_ - 1) / clusterBytes_;
  }
  std::uint64_t ClusterBytes() const { return clusterBytes_; }
  std::size_t NextFarEncoding() { return farAway_++ % std::size(kEncodings); }
  bool Fits(std::uint64_t clusters) const { return cursor_ + clusters <= limit_; }
  std::uint32_t Random() { return Mix(options_.seed * 0x9E3779B9u + ++draws_); }
  // A number in [low, high].
  std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
    return low + Random() % (high - low + 1);
  }

  // Writes `size` bytes of data from `from` at the next free cluster; the
  // rest of its last cluster stays zero.
  FilePiece Put(const Bytes& data, std::uint64_t from, std::uint64_t size) {
    const FilePiece piece{static_cast<std::uint32_t>(cursor_ * options_.clusterSectors), size};
    out_.seekp(static_cast<std::streamoff>(cursor_ * clusterBytes_));
    out_.write(reinterpret_cast<const char*>(data.data() + from),
               static_cast<std::streamsize>(size));
    cursor_ += Clusters(size);
    return piece;
  }
  void Skip(std::uint64_t clusters) { cursor_ += clusters; }

  void Add(const Bytes& bytes, std::vector<FilePiece> pieces, bool whole, const std::string& trap,
           const std::string& type = "JPG") {
    entries_.push_back({{type, pieces.front().sector, bytes.size(),
                         Sha256Hex(bytes.data(), bytes.size()), whole, trap},
                        std::move(pieces)});
  }
  void Whole(const Bytes& bytes) { Add(bytes, {Put(bytes, 0, bytes.size())}, true, ""); }

  std::vector<SampleFile> Finish(const std::string& imagePath) {
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      return a.file.firstSector < b.file.firstSector;
    });
    std::vector<SampleFile> files;
    for (const Entry& e : entries_) files.push_back(e.file);
    FinishCard(out_, options_.bytes, imagePath, files);

    std::ofstream pieces(imagePath + ".pieces", std::ios::trunc);
    pieces << "# type\tfirstSector\tsize\ttrap\tpieces (sector+bytes), in the manifest's order\n";
    for (const Entry& e : entries_) {
      pieces << e.file.type << '\t' << e.file.firstSector << '\t' << e.file.size << '\t'
             << (e.file.trap.empty() ? "-" : e.file.trap);
      for (const FilePiece& p : e.pieces) pieces << '\t' << p.sector << '+' << p.bytes;
      pieces << '\n';
    }
    if (!pieces) throw std::runtime_error("Could not write " + imagePath + ".pieces");
    return files;
  }

 private:
  TFragmentCardOptions options_;
  std::uint64_t clusterBytes_;
  std::ofstream out_;
  std::uint64_t limit_ = 0;   // clusters that files may take
  std::uint64_t cursor_ = 0;  // the first free cluster
  std::uint32_t draws_ = 0;
  int photos_ = 0;
  std::size_t farAway_ = 0;
  std::vector<Entry> entries_;
};

// Split photos span several clusters; the photos between them are any size.
constexpr int kSplitMin = 800, kSplitMax = 1200, kAnyMin = 480, kSmallMax = 640;

// Lays out one split layout with its neighbours; false, writing nothing,
// when it does not fit in what is left of the card.
bool PlaceLayout(FragmentWriter& card, Layout layout) {
  const std::uint64_t cb = card.ClusterBytes();
  const std::string trap = TrapOf(layout);
  // Photos far from their rest take each encoding in turn, from baseline on,
  // so that even a small card has a sequential one among them.
  CardPhoto a = card.NewPhoto(kSplitMin, kSplitMax,
                              layout == Layout::FarAway ? card.NextFarEncoding() : SIZE_MAX);
  const std::uint64_t n = card.Clusters(a.bytes.size());
  const std::uint64_t pieces = layout == Layout::ThreePieces ? 3 : 2;
  if (n < pieces) throw std::runtime_error("The clusters are too large for split photos");
  // Piece 1 holds k whole clusters, piece 2 the rest.
  const std::uint64_t k = card.Between(1, n - pieces + 1);
  const auto first = [&](const Bytes& b, std::uint64_t clusters) {
    return card.Put(b, 0, clusters * cb);
  };
  const auto rest = [&](const Bytes& b, std::uint64_t clusters) {
    return card.Put(b, clusters * cb, b.size() - clusters * cb);
  };

  switch (layout) {
    case Layout::AroundPhoto: {
      const CardPhoto b = card.NewPhoto(kAnyMin, kSplitMax);
      if (!card.Fits(n + card.Clusters(b.bytes.size()))) return false;
      const FilePiece p1 = first(a.bytes, k);
      card.Whole(b.bytes);
      card.Add(a.bytes, {p1, rest(a.bytes, k)}, true, trap);
      return true;
    }
    case Layout::AroundOldData: {
      // The same encoding as the split photo: its data decodes under the same tables.
      const CardPhoto old = card.NewPhoto(kSplitMin, kSplitMax, a.encoding);
      const std::uint64_t oldClusters = card.Clusters(old.bytes.size());
      if (oldClusters < 3) throw std::runtime_error("The clusters are too large for old data");
      const std::uint64_t m = std::min<std::uint64_t>(card.Between(1, 3), oldClusters - 2);
      if (!card.Fits(n + m)) return false;
      // From inside its data: neither its header nor the cluster with its end.
      const std::uint64_t from = card.Between(1, oldClusters - 1 - m);
      const Bytes middle(old.bytes.begin() + static_cast<std::ptrdiff_t>(from * cb),
                         old.bytes.begin() + static_cast<std::ptrdiff_t>((from + m) * cb));
      const FilePiece p1 = first(a.bytes, k);
      card.Add(middle, {card.Put(middle, 0, middle.size())}, false, "fragment");
      card.Add(a.bytes, {p1, rest(a.bytes, k)}, true, trap);
      return true;
    }
    case Layout::AcrossEmpty: {
      const std::uint64_t empty = card.Between(2, 4);
      if (!card.Fits(n + empty)) return false;
      const FilePiece p1 = first(a.bytes, k);
      card.Skip(empty);
      card.Add(a.bytes, {p1, rest(a.bytes, k)}, true, trap);
      return true;
    }
    case Layout::ThreePieces: {
      const CardPhoto x = card.NewPhoto(kAnyMin, kSplitMax), y = card.NewPhoto(kAnyMin, kSplitMax);
      if (!card.Fits(n + card.Clusters(x.bytes.size()) + card.Clusters(y.bytes.size()))) {
        return false;
      }
      const std::uint64_t k2 = card.Between(1, n - k - 1);
      const FilePiece p1 = first(a.bytes, k);
      card.Whole(x.bytes);
      const FilePiece p2 = card.Put(a.bytes, k * cb, k2 * cb);
      card.Whole(y.bytes);
      card.Add(a.bytes, {p1, p2, rest(a.bytes, k + k2)}, true, trap);
      return true;
    }
    case Layout::MovieAroundPhoto: {
      // A movie (moov after mdat) in two pieces around a photo; without
      // ffmpeg, the photo alone.
      const std::optional<Bytes> movie = LongMovie(card.Random());
      const CardPhoto b = card.NewPhoto(kAnyMin, kSmallMax);
      if (!movie) {
        if (!card.Fits(card.Clusters(b.bytes.size()))) return false;
        card.Whole(b.bytes);
        return true;
      }
      const std::uint64_t m = card.Clusters(movie->size());
      if (m < 2 || !card.Fits(m + card.Clusters(b.bytes.size()))) return false;
      const std::uint64_t km = card.Between(1, m - 1);
      const FilePiece p1 = first(*movie, km);
      card.Whole(b.bytes);
      card.Add(*movie, {p1, rest(*movie, km)}, true, trap, "MP4");
      return true;
    }
    case Layout::FarAway: {
      // Another photo, then a long stretch of old photos' data under the
      // same tables: the rest lies many clusters past the photo between.
      const CardPhoto b = card.NewPhoto(kAnyMin, kSmallMax);
      const std::uint64_t gap = card.Between(6, 20);
      if (!card.Fits(n + card.Clusters(b.bytes.size()) + gap)) return false;
      const FilePiece p1 = first(a.bytes, k);
      card.Whole(b.bytes);
      for (std::uint64_t left = gap; left > 0;) {
        const CardPhoto old = card.NewPhoto(kSplitMin, kSplitMax, a.encoding);
        const std::uint64_t oldClusters = card.Clusters(old.bytes.size());
        if (oldClusters < 3) throw std::runtime_error("The clusters are too large for old data");
        const std::uint64_t m = std::min(left, oldClusters - 2);
        const Bytes middle(old.bytes.begin() + static_cast<std::ptrdiff_t>(cb),
                           old.bytes.begin() + static_cast<std::ptrdiff_t>((1 + m) * cb));
        card.Add(middle, {card.Put(middle, 0, middle.size())}, false, "fragment");
        left -= m;
      }
      card.Add(a.bytes, {p1, rest(a.bytes, k)}, true, trap);
      return true;
    }
    case Layout::Interleaved: {
      const CardPhoto b = card.NewPhoto(kSplitMin, kSplitMax);
      const std::uint64_t nb = card.Clusters(b.bytes.size());
      if (!card.Fits(n + nb)) return false;
      const std::uint64_t kb = card.Between(1, nb - 1);
      const FilePiece a1 = first(a.bytes, k), b1 = first(b.bytes, kb);
      const FilePiece a2 = rest(a.bytes, k), b2 = rest(b.bytes, kb);
      card.Add(a.bytes, {a1, a2}, true, trap);
      card.Add(b.bytes, {b1, b2}, true, trap);
      return true;
    }
    case Layout::Overwritten: {
      // The rest's clusters were freed and taken by the next photo, and the
      // ones after it by the files after.
      const CardPhoto c = card.NewPhoto(kAnyMin, kSplitMax);
      if (!card.Fits(k + card.Clusters(c.bytes.size()))) return false;
      const FilePiece p1 = first(a.bytes, k);
      card.Whole(c.bytes);
      card.Add(a.bytes, {p1}, false, trap);
      return true;
    }
    case Layout::AfterGap: {
      std::vector<CardPhoto> gap;
      std::uint64_t need = n;
      for (std::uint64_t i = card.Between(2, 3); i > 0; --i) {
        gap.push_back(card.NewPhoto(kAnyMin, kSmallMax));
        need += card.Clusters(gap.back().bytes.size());
      }
      if (!card.Fits(need)) return false;
      const FilePiece p1 = first(a.bytes, k);
      for (const CardPhoto& p : gap) card.Whole(p.bytes);
      card.Add(a.bytes, {p1, rest(a.bytes, k)}, true, trap);
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<SampleFile> WriteFragmentCard(const std::string& imagePath,
                                          const TFragmentCardOptions& options) {
  FragmentWriter card(imagePath, options);
  // Two ordinary photos, then the next layout, until the card is full.
  for (std::size_t step = 0;; ++step) {
    bool fits = true;
    for (int i = 0; i < 2 && fits; ++i) {
      const CardPhoto photo = card.NewPhoto(kAnyMin, kSplitMax);
      fits = card.Fits(card.Clusters(photo.bytes.size()));
      if (fits) card.Whole(photo.bytes);
    }
    if (!fits || !PlaceLayout(card, kLayouts[step % kLayoutCount])) {
      if (step < kLayoutCount) throw std::runtime_error("The card is too small for its files");
      break;
    }
  }
  return card.Finish(imagePath);
}

std::vector<std::vector<FilePiece>> ReadPieces(const std::string& piecesPath) {
  std::ifstream in(piecesPath);
  if (!in) throw std::runtime_error("Could not read " + piecesPath);
  std::vector<std::vector<FilePiece>> all;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string type, trap, piece;
    std::uint64_t firstSector = 0, size = 0;
    fields >> type >> firstSector >> size >> trap;
    std::vector<FilePiece> pieces;
    while (fields >> piece) {
      const std::size_t plus = piece.find('+');
      if (plus == std::string::npos) throw std::runtime_error("Bad piece in " + piecesPath);
      pieces.push_back({static_cast<std::uint32_t>(std::stoul(piece.substr(0, plus))),
                        std::stoull(piece.substr(plus + 1))});
    }
    all.push_back(std::move(pieces));
  }
  return all;
}
