// SPDX-License-Identifier: GPL-3.0-or-later
// Photos in two pieces, as the scan follows them (see fragments.h).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "engine/formats/registry.h"
#include "engine/jpegjoin.h"
#include "engine/moviejoin.h"
#include "engine/scanner.h"

namespace {

// What was carved into a file, read back (it was opened for writing only);
// false past 64 MiB, the most a photo in pieces is handled for.
bool ReadCarved(const std::string& path, off_t size, std::vector<std::uint8_t>& bytes) {
  if (size < 0 || static_cast<std::uint64_t>(size) > (64ull << 20)) return false;
  bytes.resize(static_cast<std::size_t>(size));
  const int reader = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const bool read =
      reader >= 0 && ::pread(reader, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(size);
  if (reader >= 0) ::close(reader);
  return read;
}

}  // namespace

namespace scanning {

// A JPEG whose data has not ended when another file's header comes, or
// whose data broke off.
bool TScan::CanHold(bool brokenOff) const {
  if (openFormat_ == nullptr || !finder_) return false;
  const std::string_view name(openFormat_->name);
  // A movie is held only when another file's header breaks it off inside
  // its mdat: it has no structure of its own to break off.
  return (name == "jpeg" && (brokenOff || !finder_->FileSize())) ||
         (name == "isobmff" && !brokenOff && !finder_->FileSize());
}

void TScan::Hold() {
  FlushRun();
  const bool movie = std::string_view(openFormat_->name) == "isobmff";
  // A movie cut short by a header is common on whole cards (a recording
  // cut off); only a photo held, or a movie joined, shows pieces.
  fragmentsSeen_ = fragmentsSeen_ || !movie;
  // Two are held at most: the one held longest, whose rest is the least
  // likely to come now, ends where it held.
  constexpr std::size_t kMostHeld = 2;
  if (held_.size() == kMostHeld) ResolveHeld(0, geometry_.TotalSectors);
  held_.push_back(THeld{CarvedFile, CarvedName, fileOffset_, fileOffset_, fileBytes_.firstSector});
  held_.back().movie = movie;
  CarvedFile = -1;
  FileOpen = false;
  finder_.reset();
  openFormat_ = nullptr;
}

// A file has ended while a photo is held. The camera gave the photo's next
// piece the first free cluster after the files that broke it off: where
// another file starts at that cluster, it is one of them too, and the photo
// stays held until the files in a row are over.
void TScan::AfterFileWhileHeld(std::uint32_t endSector) {
  constexpr int kMostFilesBetween = 256;
  const auto brokenByHeader = [](const THeld& held) { return !held.afterGap; };
  if (std::none_of(held_.begin(), held_.end(), brokenByHeader)) return;
  const std::uint32_t next = clusters_.NextBoundary(endSector);
  if (next < geometry_.TotalSectors) {
    std::vector<std::uint8_t> sector(geometry_.BytesPerSector);
    if (ReadAhead(next, 1, sector.data()) && MayBeginHeader(sector.data()) &&
        CheckHeader(host_.SearchTypes(), sector.data(), sector.size(), BytesLeft())) {
      for (THeld& held : held_) held.filesBetween += brokenByHeader(held) ? 1 : 0;
      // One held too long has lost its rest: it ends where it held.
      for (std::size_t i = held_.size(); i-- > 0;) {
        if (held_[i].filesBetween > kMostFilesBetween) ResolveHeld(i, geometry_.TotalSectors);
      }
      return;
    }
  }
  // Every such photo goes on here or nowhere; the one broken off last first.
  // A rest taken resolves others in turn, so each is looked up again.
  std::vector<std::uint32_t> turn;
  for (std::size_t i = held_.size(); i-- > 0;) {
    if (brokenByHeader(held_[i])) turn.push_back(held_[i].firstSector);
  }
  for (const std::uint32_t firstSector : turn) {
    if (const std::optional<std::size_t> index = HeldIndex(firstSector)) ResolveHeld(*index, next);
  }
}

std::optional<std::size_t> TScan::HeldIndex(std::uint32_t firstSector) const {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].firstSector == firstSector) return i;
  }
  return std::nullopt;
}

// At each sector while a photo broken off by a gap is held: the first
// cluster with data after the gap is where its rest can begin.
void TScan::AfterGapWhileHeld(const std::uint8_t* sector) {
  if (clusters_.NextBoundary(CurrentSector) != CurrentSector) return;
  if (AllZero({sector, geometry_.BytesPerSector})) return;
  ResolveAfterGap(CurrentSector);
}

// A photo just broken off by other data rather than by empty space: that
// data began at a cluster boundary at or before the sector that broke it,
// which was scanned already, so the rest is looked for from there.
void TScan::AfterBreakWhileHeld(std::uint32_t ownFirstSector, off_t ownBytes) {
  const std::uint32_t cluster = clusters_.ClusterSectors();
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  const std::uint32_t ownEnd =
      ownFirstSector + static_cast<std::uint32_t>((ownBytes + bytesPerSector - 1) / bytesPerSector);
  std::uint32_t boundary = clusters_.NextBoundary(CurrentSector);
  if (boundary != CurrentSector) boundary = boundary >= cluster ? boundary - cluster : 0;
  if (boundary < ownEnd || boundary <= ownFirstSector) return;
  std::vector<std::uint8_t> head(bytesPerSector);
  if (!ReadAhead(boundary, 1, head.data()) || AllZero(head)) return;
  ResolveAfterGap(boundary);
}

void TScan::ResolveAfterGap(std::uint32_t at) {
  // Those held before the last one broken off by a gap were broken off by
  // the files that led to it, which have all ended now: their rest may begin
  // here too, before its own, so the oldest is tried first and each one
  // after where the one before it went on.
  std::size_t last = held_.size();
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].afterGap) last = i;
  }
  if (last == held_.size()) return;
  std::vector<std::uint32_t> turn;  // by first sector: resolving reorders held_
  for (std::size_t i = 0; i <= last; ++i) turn.push_back(held_[i].firstSector);
  std::uint32_t from = at;
  for (const std::uint32_t firstSector : turn) {
    const std::optional<std::size_t> index = HeldIndex(firstSector);
    if (!index) continue;  // resolved meanwhile
    if (const std::optional<std::uint32_t> upTo = ResolveHeld(*index, from)) {
      from = clusters_.NextBoundary(*upTo);
    }
  }
}

std::optional<std::uint32_t> TScan::ResolveHeld(std::size_t index, std::uint32_t from) {
  THeld held = std::move(held_[index]);
  held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  if (held.movie) return ResolveHeldMovie(held, from);
  std::optional<std::uint32_t> continuedUpTo;
  // What was carved, read back from the file (opened for writing only).
  std::vector<std::uint8_t> carved;
  const bool haveCarved = held.size > 0 && ReadCarved(held.name, held.written, carved);
  off_t keep = held.surely >= 0 ? held.surely : held.size;
  if (haveCarved && from < geometry_.TotalSectors) {
    TContinuationSearch search = SearchFrom(from);
    // A sequential JPEG's rest is looked for over the next 1000 clusters:
    // its candidates are judged quickly.
    const std::uint32_t wideBound = search.wideBoundSectors;
    // Where the first piece may end: where it surely goes, or, for one broken
    // off inside what was carved, at any cluster boundary up to the break.
    std::vector<off_t> ends{held.size};
    const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
    for (const off_t end : BoundariesIn(held.firstSector, held.written + 1)) {
      if (end > held.size) ends.push_back(end);
    }
    std::optional<std::pair<off_t, TContinuation>> joint;
    bool twice = false;
    // Near first: the clusters right after the files in a row. Only where
    // nothing there fits is the search widened, as each wider candidate is
    // one more chance for a look-alike's rest to decode cleanly too.
    // A photo in three pieces: nothing near ends it, but the data at the
    // first cluster after the files in a row goes on from its first piece
    // without a complaint up to the next file's header. That run is taken
    // as its middle piece for now, and the photo is held again: only if its
    // rest after that file makes it decode whole is the middle kept; else
    // it is cut back to its first piece. The camera's next free cluster
    // comes before any look-alike further on.
    const auto takeMiddle = [&]() {
      if (held.afterGap || held.surely >= 0 || ends.size() != 1) return false;
      const std::span<const std::uint8_t> first(carved.data(), static_cast<std::size_t>(held.size));
      const std::optional<TContinuation> middle = MiddlePiece(first, from, search);
      if (!middle || !WriteContinuation(held, held.size, *middle)) return false;
      const auto sectors = static_cast<std::uint32_t>(middle->bytes / bytesPerSector);
      consumed_.emplace_back(middle->sector, middle->sector + sectors);
      held.surely = held.size;
      held.size = held.written = held.size + static_cast<off_t>(middle->bytes);
      held.filesBetween = 0;
      return true;
    };
    for (const bool wide : {false, true}) {
      search.wideBoundSectors = wide ? wideBound : 0;
      if (wide && takeMiddle()) {
        held_.insert(held_.begin() + static_cast<std::ptrdiff_t>(index), std::move(held));
        return std::nullopt;
      }
      for (const off_t end : ends) {
        const std::span<const std::uint8_t> first(carved.data(), static_cast<std::size_t>(end));
        if (const std::optional<TContinuation> rest = FindContinuation(first, search, &twice)) {
          twice = twice || joint.has_value();
          joint = std::make_pair(end, *rest);
        }
      }
      if (joint || twice) break;
    }
    if (joint && !twice && WriteContinuation(held, joint->first, joint->second)) {
      keep = joint->first + static_cast<off_t>(joint->second.bytes);
      const auto sectors =
          static_cast<std::uint32_t>((joint->second.bytes + bytesPerSector - 1) / bytesPerSector);
      consumed_.emplace_back(joint->second.sector, joint->second.sector + sectors);
      continuedUpTo = joint->second.sector + sectors;
    }
  }
  // Cut where it surely held, unless a rest was joined. Where it held can
  // lie past another photo's data that kept its restart markers in turn by
  // chance: what does not decode as a photo's start is cut back to the last
  // cluster boundary up to which it does (a shorter start decodes whenever
  // a longer one does, so the boundary is found by halving).
  if (!continuedUpTo && haveCarved && keep <= held.written &&
      !JpegPrefixDecodes(std::span<const std::uint8_t>(carved).first(static_cast<std::size_t>(keep)))) {
    const std::vector<off_t> boundaries = BoundariesIn(held.firstSector, keep);
    if (!boundaries.empty()) {
      std::size_t good = 0, bad = boundaries.size();  // boundaries[good] is kept at least
      while (bad - good > 1) {
        const std::size_t middle = good + (bad - good) / 2;
        const bool decodes = JpegPrefixDecodes(std::span<const std::uint8_t>(carved).first(
            static_cast<std::size_t>(boundaries[middle])));
        (decodes ? good : bad) = middle;
      }
      keep = boundaries[good];
    }
  }
  EndHeld(held, keep, continuedUpTo);
  return continuedUpTo;
}

void TScan::EndHeld(THeld& held, off_t keep, std::optional<std::uint32_t> continuedUpTo) {
  static_cast<void>(::ftruncate(held.fd, keep));
  ::close(held.fd);
  held.fd = -1;
  StoreCarvedFile(held.name);
  // The rest just taken is a file that ended, as far as the others held go.
  if (continuedUpTo) AfterFileWhileHeld(*continuedUpTo);
}

TContinuationSearch TScan::SearchFrom(std::uint32_t from) {
  TContinuationSearch search;
  search.bytesPerSector = geometry_.BytesPerSector;
  search.totalSectors = geometry_.TotalSectors;
  search.from = from;
  search.clusters = clusters_;
  // The cluster after the files in a row, and the next two, so that a
  // continuation that fits in more than one place is taken nowhere.
  search.boundSectors = 2 * clusters_.ClusterSectors() + 1;
  // Where nothing fits there and candidates are judged quickly: the next
  // 1000 clusters.
  search.wideBoundSectors = 1000 * clusters_.ClusterSectors();
  search.read = [this](std::uint32_t sector, std::uint32_t count, std::uint8_t* buffer) {
    host_.ReadingSector(sector);
    return ReadAhead(sector, count, buffer);
  };
  search.taken = [this](std::uint32_t sector) { return Consumed(sector); };
  search.isHeader = [this](const std::uint8_t* sector) {
    return MayBeginHeader(sector) &&
           static_cast<bool>(
               CheckHeader(host_.SearchTypes(), sector, geometry_.BytesPerSector, BytesLeft()));
  };
  search.ownedByAnother = [this](std::uint32_t sector, std::uint64_t restBytes) {
    return InsideWholePhoto(sector, restBytes);
  };
  return search;
}

// Whether the sector lies inside a photo that is whole from its header on:
// the nearest header at a cluster boundary before it (up to 256 clusters
// back) begins a JPEG that decodes whole past the sector, up to where the
// rest found there would end (a look-alike's rest ends at its own EOI).
bool TScan::InsideWholePhoto(std::uint32_t sector, std::uint64_t restBytes) {
  constexpr std::uint32_t kMostClustersBack = 256;
  constexpr std::uint64_t kMostPhoto = 64ull << 20;
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  const std::uint32_t cluster = clusters_.ClusterSectors();
  std::vector<std::uint8_t> head(bytesPerSector);
  std::uint32_t boundary = clusters_.NextBoundary(sector);
  for (std::uint32_t back = 0; back < kMostClustersBack && boundary >= cluster; ++back) {
    boundary -= cluster;
    if (!ReadAhead(boundary, 1, head.data())) return false;
    if (!MayBeginHeader(head.data()) ||
        !CheckHeader(host_.SearchTypes(), head.data(), bytesPerSector, BytesLeft())) {
      continue;
    }
    // The nearest header: a JPEG there must decode whole to past the sector.
    if (head[0] != 0xFF || head[1] != 0xD8) return false;
    const std::uint64_t bytes =
        std::uint64_t{sector - boundary} * bytesPerSector + restBytes;
    if (bytes > kMostPhoto) return false;
    std::vector<std::uint8_t> photo(static_cast<std::size_t>(
        (bytes + bytesPerSector - 1) / bytesPerSector * bytesPerSector));
    const auto sectors = static_cast<std::uint32_t>(photo.size() / bytesPerSector);
    if (boundary + sectors > geometry_.TotalSectors ||
        !ReadAhead(boundary, sectors, photo.data())) {
      return false;
    }
    const std::optional<std::uint64_t> length = JpegDecodedLength(photo);
    return length && std::uint64_t{boundary} * bytesPerSector + *length >
                         std::uint64_t{sector} * bytesPerSector;
  }
  return false;
}

// A movie broken off inside its mdat: its rest is where its moov and the
// chunks its tables place after the joint are found (see moviejoin.h); the
// first piece is read from its file as needed, however large.
std::optional<std::uint32_t> TScan::ResolveHeldMovie(THeld& held, std::uint32_t from) {
  std::optional<std::uint32_t> continuedUpTo;
  off_t keep = held.size;
  const int reader = held.size > 0 && from < geometry_.TotalSectors
                         ? ::open(held.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)
                         : -1;
  if (reader >= 0) {
    TMoviePiece first;
    first.size = static_cast<std::uint64_t>(held.size);
    first.read = [reader](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
      return ::pread(reader, buffer, size, static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(size);
    };
    const std::optional<TContinuation> rest = FindMovieRest(first, SearchFrom(from));
    ::close(reader);
    if (rest && WriteContinuation(held, held.size, *rest)) {
      keep = held.size + static_cast<off_t>(rest->bytes);
      const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
      const auto sectors =
          static_cast<std::uint32_t>((rest->bytes + bytesPerSector - 1) / bytesPerSector);
      consumed_.emplace_back(rest->sector, rest->sector + sectors);
      continuedUpTo = rest->sector + sectors;
      fragmentsSeen_ = true;
    }
  }
  EndHeld(held, keep, continuedUpTo);
  return continuedUpTo;
}

// Appends the continuation to the held file; false (the file stays cut) when
// it cannot be read or written whole.
bool TScan::WriteContinuation(const THeld& held, off_t at, const TContinuation& rest) {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  constexpr std::uint32_t kBlockSectors = 128;
  std::vector<std::uint8_t> block(std::size_t{kBlockSectors} * bytesPerSector);
  std::uint64_t done = 0;
  while (done < rest.bytes) {
    const auto sector = static_cast<std::uint32_t>(rest.sector + done / bytesPerSector);
    const std::uint32_t count = std::min<std::uint32_t>(
        kBlockSectors,
        static_cast<std::uint32_t>((rest.bytes - done + bytesPerSector - 1) / bytesPerSector));
    if (!ReadAhead(sector, count, block.data())) break;
    const auto take = static_cast<std::size_t>(
        std::min<std::uint64_t>(rest.bytes - done, std::uint64_t{count} * bytesPerSector));
    if (::pwrite(held.fd, block.data(), take, at + static_cast<off_t>(done)) !=
        static_cast<ssize_t>(take)) {
      break;
    }
    done += take;
  }
  return done == rest.bytes;
}

// The run of sectors from `from` up to the next header, as a held photo's
// middle piece: nothing when it holds empty space or another's
// continuation, runs past 64 MiB or the volume's end, or does not go on
// from the first piece without a complaint (or ends the photo: that would
// have been its rest).
std::optional<TContinuation> TScan::MiddlePiece(std::span<const std::uint8_t> first,
                                                std::uint32_t from,
                                                const TContinuationSearch& search) {
  constexpr std::uint64_t kMostBytes = 64ull << 20;
  constexpr std::uint32_t kBlockSectors = 128;
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  std::vector<std::uint8_t> joined(first.begin(), first.end());
  std::vector<std::uint8_t> block(std::size_t{kBlockSectors} * bytesPerSector);
  for (std::uint32_t sector = from; sector < geometry_.TotalSectors;) {
    const std::uint32_t count = std::min(kBlockSectors, geometry_.TotalSectors - sector);
    if (!search.read(sector, count, block.data())) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i, ++sector) {
      const std::uint8_t* bytes = block.data() + std::size_t{i} * bytesPerSector;
      if (sector > from && search.isHeader(bytes)) {
        const std::uint64_t length = std::uint64_t{sector - from} * bytesPerSector;
        if (!JpegPrefixDecodes(joined) || JpegDecodedLength(joined)) return std::nullopt;
        return TContinuation{from, length};
      }
      if (search.taken(sector) || AllZero({bytes, bytesPerSector})) return std::nullopt;
      joined.insert(joined.end(), bytes, bytes + bytesPerSector);
      if (joined.size() - first.size() > kMostBytes) return std::nullopt;
    }
  }
  return std::nullopt;
}

bool TScan::Consumed(std::uint32_t sector) const {
  return std::any_of(consumed_.begin(), consumed_.end(), [sector](const auto& range) {
    return sector >= range.first && sector < range.second;
  });
}

namespace {

// The bytes of a carved file from one offset on, as a continuation.
class TBytesSource final : public TJoinSource {
 public:
  explicit TBytesSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t take = std::min<std::size_t>(size, bytes_.size() - offset);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), take, buffer);
    return take;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

// A photo that ended on a card with photos in pieces: unless it decodes
// whole, another photo's data lies inside it. It is mended when exactly one
// cluster boundary as the end of its first piece and one up to four clusters
// later as the start of its rest make it whole; else it is cut after its
// first cluster, the only part surely its own.
bool TScan::CheckJoinedPhoto() {
  constexpr std::size_t kMostTries = 512;
  constexpr std::size_t kMostGapClusters = 4;
  std::vector<std::uint8_t> carved;
  const bool read = fileOffset_ > 0 && ReadCarved(CarvedName, fileOffset_, carved);
  // Only the first image is judged: what its end finder took after it (MPF
  // images, a motion photo's video) was proven on its own.
  if (!read || JpegDecodedLength(carved)) return false;
  spanned_ = fileOffset_;
  const std::vector<off_t> boundaries = BoundariesIn(fileBytes_.firstSector, fileOffset_);
  if (const std::optional<bool> whole = SplitAtHeldRest(carved, boundaries)) {
    if (*whole) return false;
    Hold();
    return true;
  }
  std::optional<std::pair<off_t, std::pair<off_t, std::uint64_t>>> joint;
  bool twice = false;
  std::size_t tries = 0;
  // Gaps of a few clusters, each at every place, latest first: old data
  // between two pieces is seldom long.
  bool explored = true;
  for (std::size_t gap = 1; gap <= kMostGapClusters && !twice; ++gap) {
    for (std::size_t e = boundaries.size() > gap ? boundaries.size() - gap : 0; e-- > 0;) {
      if (++tries > kMostTries) {
        explored = false;
        break;
      }
      const std::span<const std::uint8_t> all(carved);
      TBytesSource rest(all.subspan(static_cast<std::size_t>(boundaries[e + gap])));
      const std::optional<std::uint64_t> length =
          ValidJoin(all.first(static_cast<std::size_t>(boundaries[e])), rest, carved.size());
      if (!length) continue;
      twice = twice || joint.has_value();
      joint = std::make_pair(boundaries[e], std::make_pair(boundaries[e + gap], *length));
    }
  }
  if (joint && !twice && explored) {
    const auto [end, rest] = *joint;
    const auto [from, length] = rest;
    if (::pwrite(CarvedFile, carved.data() + from, length, end) == static_cast<ssize_t>(length)) {
      fileOffset_ = end + static_cast<off_t>(length);
      static_cast<void>(::ftruncate(CarvedFile, fileOffset_));
      return false;
    }
  }
  if (!boundaries.empty()) {
    fileOffset_ = boundaries.front();
    static_cast<void>(::ftruncate(CarvedFile, fileOffset_));
  }
  return false;
}

// Whether exactly one held photo goes on at exactly one cluster boundary of
// what was carved for the open one; if so it is joined there, stored, and
// the boundary is returned. Only the held photo's first piece as it surely
// goes is tried: its rest then lies wholly in the carved bytes.
std::optional<std::pair<off_t, off_t>> TScan::ContinueHeldInside(
    std::span<const std::uint8_t> carved, const std::vector<off_t>& boundaries) {
  constexpr std::size_t kMostTries = 256;
  if (held_.empty() || boundaries.empty()) return std::nullopt;
  std::size_t tries = 0;
  std::optional<std::pair<std::size_t, std::pair<off_t, std::uint64_t>>> joint;
  std::vector<std::uint8_t> firstPiece;
  for (std::size_t h = held_.size(); h-- > 0;) {
    const THeld& held = held_[h];
    if (held.movie || held.size <= 0 || !ReadCarved(held.name, held.size, firstPiece)) continue;
    for (const off_t boundary : boundaries) {
      // Not explored to the end: no joint can be proven the only one.
      if (++tries > kMostTries) return std::nullopt;
      TBytesSource rest(carved.subspan(static_cast<std::size_t>(boundary)));
      const std::optional<std::uint64_t> length =
          ValidJoin(firstPiece, rest, carved.size() - static_cast<std::size_t>(boundary));
      if (!length) continue;
      if (joint) return std::nullopt;
      joint = std::make_pair(h, std::make_pair(boundary, *length));
    }
  }
  if (!joint) return std::nullopt;
  const auto [index, at] = *joint;
  const auto [boundary, length] = at;
  THeld held = std::move(held_[index]);
  held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  const bool written = ::pwrite(held.fd, carved.data() + boundary, length, held.size) ==
                       static_cast<ssize_t>(length);
  static_cast<void>(::ftruncate(held.fd, written ? held.size + static_cast<off_t>(length)
                                                 : held.size));
  ::close(held.fd);
  StoreCarvedFile(held.name);
  return std::make_pair(boundary, boundary + static_cast<off_t>(length));
}

// The cluster boundaries after a file's first sector and before `bytes`
// into it, as offsets into the file.
std::vector<off_t> TScan::BoundariesIn(std::uint32_t firstSector, off_t bytes) const {
  const std::vector<std::int64_t> found =
      clusters_.BoundariesIn(firstSector, bytes, geometry_.BytesPerSector);
  return {found.begin(), found.end()};
}

// Two photos in turns (A1 B1 A2 B2): what the open photo ran on into is a
// held one's rest. The held one is joined and stored; the open one ends
// where that rest began, unless its own rest follows right after it in what
// was carved. Nothing when no held photo goes on inside; else whether the
// open photo is whole again.
std::optional<bool> TScan::SplitAtHeldRest(std::span<const std::uint8_t> carved,
                                           const std::vector<off_t>& boundaries) {
  const std::optional<std::pair<off_t, off_t>> rest = ContinueHeldInside(carved, boundaries);
  if (!rest) return std::nullopt;
  const auto [cut, restEnd] = *rest;
  const auto own = std::find_if(boundaries.begin(), boundaries.end(),
                                [restEnd](off_t boundary) { return boundary >= restEnd; });
  if (own != boundaries.end()) {
    TBytesSource after(carved.subspan(static_cast<std::size_t>(*own)));
    if (const std::optional<std::uint64_t> length =
            ValidJoin(carved.first(static_cast<std::size_t>(cut)), after,
                      carved.size() - static_cast<std::size_t>(*own));
        length && ::pwrite(CarvedFile, carved.data() + *own, *length, cut) ==
                      static_cast<ssize_t>(*length)) {
      fileOffset_ = cut + static_cast<off_t>(*length);
      static_cast<void>(::ftruncate(CarvedFile, fileOffset_));
      return true;
    }
  }
  fileOffset_ = cut;
  static_cast<void>(::ftruncate(CarvedFile, fileOffset_));
  return false;
}

// Another file's header comes while the open photo's data goes on. On a
// card with photos in pieces, data of another photo may have come first:
// unless what was carved decodes as a photo's start, it is split at a held
// photo's rest, or counted as its own only up to its first cluster, the
// only part surely its own, while its other cluster boundaries stay
// candidates for the end of its first piece.
void TScan::HoldAtHeader() {
  FlushRun();
  std::vector<std::uint8_t> carved;
  if (std::string_view(openFormat_->name) != "jpeg" || !fragmentsSeen_ ||
      ReadErrorCount != errorsAtOpen_ || fileOffset_ <= 0 ||
      !ReadCarved(CarvedName, fileOffset_, carved) || JpegPrefixDecodes(carved)) {
    Hold();
    return;
  }
  spanned_ = fileOffset_;
  const std::vector<off_t> boundaries = BoundariesIn(fileBytes_.firstSector, fileOffset_);
  if (const std::optional<bool> whole = SplitAtHeldRest(carved, boundaries)) {
    if (*whole) {
      CloseAndStore();
    } else {
      Hold();
    }
    return;
  }
  Hold();
  if (!boundaries.empty()) held_.back().size = boundaries.front();
}

}  // namespace scanning
