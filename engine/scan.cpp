// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/scan.h"

#include "engine/endfinder.h"
#include "engine/formats/registry.h"
#include "engine/fragments.h"
#include "engine/headercheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::int32_t kNameOffsetLimit = 100000;

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  const auto at = text.find(what);
  return at == std::string::npos ? text : text.replace(at, what.size(), with);
}

class TScan;

// The volume as the open file's finder sees it: bytes from the file's first
// sector on, read through the scan's own reader.
class TFileBytes final : public TVolumeBytes {
 public:
  explicit TFileBytes(TScan& scan) : scan_(scan) {}
  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override;
  std::uint32_t firstSector = 0;

 private:
  TScan& scan_;
};

class TScan {
 public:
  explicit TScan(TScanHost& host) : host_(host), geometry_(host.DriveGeometry()) {}
  ~TScan() {
    if (CarvedFile >= 0) ::close(CarvedFile);
    for (const THeld& held : held_) ::close(held.fd);
  }

  TScanEnd Run();
  // Reads whole sectors from first on into the caller's memory; a failed
  // read is counted like any other. False when it failed.
  bool ReadAhead(std::uint32_t first, std::uint32_t count, std::uint8_t* buffer);
  std::uint32_t BytesPerSector() const { return geometry_.BytesPerSector; }
  std::uint32_t TotalSectors() const { return geometry_.TotalSectors; }

 private:
  // A JPEG broken off by another file's header (see fragments.h).
  struct THeld {
    int fd = -1;
    std::string name;
    off_t size = 0;        // its first piece
    int filesBetween = 0;  // whole files found since it was broken off
  };

  bool CanStart();
  void ReadChunk();
  std::uint32_t ReadSectorBySector(std::uint32_t count);
  bool CountFailedRead();
  void ProcessChunk(std::uint32_t count);
  bool DetectChecked(const std::uint8_t* sector, std::size_t available);
  bool MayBeginHeader(const std::uint8_t* sector) const;
  std::uint64_t BytesLeft() const;
  void CloseAtItsEnd();
  void OpenCarvedFile(const std::string& tag);
  void FlushRun();
  void WriteSector(const std::uint8_t* sector, std::size_t size);
  void CloseAndStore();
  void StoreCarvedFile(const std::string& name);
  void List(const std::string& path, const std::string& storedName);
  bool CanHold() const;
  void Hold();
  void AfterFileWhileHeld(std::uint32_t endSector);
  void ResolveHeld(std::size_t index, std::uint32_t from);
  bool WriteContinuation(const THeld& held, const TContinuation& rest);
  bool Consumed(std::uint32_t sector) const;
  // False when the open file could not be stored.
  bool EndOfScan();

  TScanHost& host_;
  const TDriveGeometry& geometry_;

  std::string DestPath;
  std::string NamePrefix;
  std::int32_t RetryLimit = 0;
  std::uint16_t ChunkSectors = 1;
  std::unique_ptr<std::uint8_t[]> ScanBuffer;
  std::uint32_t CurrentSector = 0;
  std::int32_t FoundCount = 0;
  std::int32_t ReadErrorCount = 0;
  std::int32_t NameOffset = 0;
  bool FileOpen = false;
  int CarvedFile = -1;
  std::string CarvedName;
  bool FileError = false;

  std::string tag_;
  bool driveGone_ = false;    // reads ended because the drive cannot be read any more
  bool writeWarned_ = false;  // the open file's write failure was shown in this chunk
  // With checked headers: the header found, and the open file's finder,
  // which follows its structure to its end.
  TFoundHeader found_;
  std::unique_ptr<TEndFinder> finder_;
  TFileBytes fileBytes_{*this};
  const TFormat* openFormat_ = nullptr;  // the open file's, with checked headers
  // A JPEG broken off by another file's header, waiting for its continuation
  // (see fragments.h); the files stored meanwhile are listed after it, so the
  // list keeps the order in which the headers were found.
  std::vector<THeld> held_;  // two at most
  // Files in the order their headers were found, listed once stored: a held
  // file keeps those after it off the list until it is done.
  struct TListed {
    std::string path;
    std::string name;  // as listed, once stored
  };
  std::deque<TListed> listing_;
  TClusterGuess clusters_;
  // Sectors taken as a held file's continuation, [first, end): no header
  // starts there and no other file takes them.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> consumed_;
  // A header check near a chunk's end sees the sectors after it too, so its
  // answer never depends on how many sectors are read at once.
  std::vector<std::uint8_t> window_;
  // Sectors of the open file not yet written: one run inside ScanBuffer, so
  // a file gets one write per run of its sectors rather than one per sector.
  const std::uint8_t* runStart_ = nullptr;
  std::size_t runBytes_ = 0;
  off_t fileOffset_ = 0;
};

// An empty destination or a sector size the buffer cannot take would make
// every name or read meaningless: say so, and change nothing.
bool TScan::CanStart() {
  if (host_.DestinationText().empty()) {
    host_.Warn("Please choose a destination folder on the Options tab first.");
    return false;
  }
  if (geometry_.TotalSectors != 0 &&
      (geometry_.BytesPerSector == 0 || geometry_.BytesPerSector > kScanBufferSize)) {
    host_.Warn("This drive reports a sector size of " + std::to_string(geometry_.BytesPerSector) +
               " bytes and cannot be scanned.");
    return false;
  }
  return true;
}

TScanEnd TScan::Run() {
  if (!CanStart()) return TScanEnd::NotStarted;
  host_.SearchStarting();
  if (geometry_.TotalSectors == 0) return TScanEnd::Completed;

  DestPath = host_.DestinationText();
  if (DestPath.back() != '/') DestPath += '/';
  NamePrefix = host_.FilenamePrefix();
  FoundCount = ReadErrorCount = NameOffset = 0;
  host_.ClearCancelRequest();
  host_.ScanningStarted();
  host_.Pump();

  RetryLimit = std::max(0, host_.RetryCount());
  FileOpen = false;
  FileError = false;
  // A chunk is cut to what the buffer holds; the window bounds it the same way.
  const std::uint32_t fits = kScanBufferSize / geometry_.BytesPerSector;
  ChunkSectors = static_cast<std::uint16_t>(
      std::clamp<std::int64_t>(host_.SectorsAtOnce(), 1, std::min<std::uint32_t>(fits, 65535)));

  ScanBuffer.reset(new (std::nothrow) std::uint8_t[kScanBufferSize]);
  if (!ScanBuffer) {
    host_.Warn("Not enough memory for the 2048000-byte sector buffer; the scan cannot run.");
    EndOfScan();
    host_.SearchEnded();
    return TScanEnd::NotStarted;
  }
  CurrentSector = 0;
  // A card taken out and put back since the last scan is opened afresh.
  ReleaseStaleDriveHandle(host_.DriveNumber());

  bool cancelled = false;
  bool storeFailed = false;
  try {
    while (CurrentSector < geometry_.TotalSectors) {
      cancelled = host_.CancelRequested();
      if (cancelled || FileError || driveGone_) break;
      ReadChunk();
    }
  } catch (const std::exception&) {
    // The general kind ends the scan quietly (a failed store has said why).
    storeFailed = true;
  } catch (...) {
    EndOfScan();
    throw;
  }
  storeFailed = !EndOfScan() || storeFailed;
  if (driveGone_) {
    host_.Warn(
        "The drive can no longer be read (the card may have been removed). The files found so far "
        "are listed on the Restore tab.");
  }
  host_.SearchEnded();
  if (driveGone_) return TScanEnd::DriveGone;
  if (FileError || storeFailed) return TScanEnd::DestinationFailed;
  if (cancelled) return TScanEnd::Cancelled;
  return TScanEnd::Completed;
}

void TScan::ReadChunk() {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  std::uint32_t count = ChunkSectors;
  if (count > geometry_.TotalSectors - CurrentSector) {
    count = geometry_.TotalSectors - CurrentSector;
  }
  std::memset(ScanBuffer.get(), 0, std::size_t{count} * bytesPerSector);
  writeWarned_ = false;

  if (ReadSectors(host_.DriveNumber(), CurrentSector, static_cast<std::uint16_t>(count),
                  ScanBuffer.get(), kScanBufferSize)) {
    // While this chunk is carved and stored, the drive fetches the next one,
    // so reading never waits for the carving. Only after a good read: after a
    // bad one the next chunk starts elsewhere, and a fetch made in vain could
    // hit the bad sectors once more.
    const std::uint32_t next = CurrentSector + count;
    PrefetchSectors(host_.DriveNumber(), next,
                    std::min<std::uint32_t>(ChunkSectors, geometry_.TotalSectors - next));
  } else {
    if (!CountFailedRead()) return;
    count = ReadSectorBySector(count);
  }
  ProcessChunk(count);
}

// Mend: retrying only the chunk's first sector made every sector before a bad
// one cost a failed chunk read (on a real card, seconds of the kernel's error
// recovery each). The chunk's sectors are read one at a time instead, past the
// cache, each with the retries; the first that stays unreadable ends the
// chunk, processed as the cleared buffer has it, and full chunks resume right
// after it. Returns how many sectors to process.
std::uint32_t TScan::ReadSectorBySector(std::uint32_t count) {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  // A one-sector chunk has had its first attempt already.
  std::int32_t attempts = count == 1 ? 1 : 0;
  for (std::uint32_t done = 0; done < count; ++done, attempts = 0) {
    std::uint8_t* sector = ScanBuffer.get() + std::size_t{done} * bytesPerSector;
    host_.ReadingSector(CurrentSector + done);
    for (; attempts <= RetryLimit; ++attempts) {
      if (ReadSectorsUncached(host_.DriveNumber(), CurrentSector + done, 1, sector,
                              bytesPerSector)) {
        break;
      }
      if (!CountFailedRead()) return done;  // what was read before the drive went stays
    }
    if (attempts > RetryLimit) {
      std::memset(sector, 0, bytesPerSector);
      return done + 1;
    }
  }
  return count;
}

// Counts and shows a failed read attempt; false when the drive is gone, which
// ends the scan (mend: retrying a vanished card sector by sector would count
// failures for hours and grow the open file with zeros).
bool TScan::CountFailedRead() {
  ++ReadErrorCount;
  host_.Pump();
  host_.ReadErrorsChanged(ReadErrorCount);
  driveGone_ = LastReadFailure() == rfDriveGone;
  return !driveGone_;
}

void TScan::ProcessChunk(std::uint32_t count) {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  const std::uint8_t* sector = ScanBuffer.get();
  for (std::uint32_t i = 0; i < count; ++i) {
    host_.SectorReached(CurrentSector, geometry_.TotalSectors);
    if (Consumed(CurrentSector)) {
      // Already written to the file it continues: it ends any file open here.
      if (FileOpen) CloseAndStore();
      FlushRun();
      sector += bytesPerSector;
      ++CurrentSector;
      continue;
    }
    const bool check = host_.CheckFiles();
    if (!check) finder_.reset();  // a file followed while unchecked is not followed again
    const bool found = check ? DetectChecked(sector, std::size_t{count - i} * bytesPerSector)
                             : DetectFileType(host_.SearchTypes(), sector, bytesPerSector, tag_);
    if (FileOpen && found) {
      if (check && CanHold()) {
        Hold();
      } else {
        CloseAndStore();
      }
    }
    if (found && !FileOpen) {
      OpenCarvedFile(tag_);
      if (FileOpen && check) {
        fileBytes_.firstSector = CurrentSector;
        openFormat_ = found_.format;
        finder_ = MakeEndFinder(found_, BytesLeft(), &fileBytes_);
      }
      host_.FoundCountChanged(FoundCount);
    }
    if (FileOpen) {
      if (runBytes_ == 0) runStart_ = sector;
      const std::optional<std::size_t> end =
          finder_ ? finder_->Feed(sector, bytesPerSector) : std::nullopt;
      runBytes_ += end.value_or(bytesPerSector);
      if (end) CloseAtItsEnd();
    }
    sector += bytesPerSector;
    ++CurrentSector;
  }
  // The next read reuses the buffer.
  FlushRun();
}

// With checked headers a header counts only when its structure holds, and one
// inside the open file's own known extent (an Exif thumbnail, a movie's frame)
// is part of that file, not the start of another.
bool TScan::DetectChecked(const std::uint8_t* sector, std::size_t available) {
  const std::uint64_t left = BytesLeft();
  const std::uint8_t* data = sector;
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kCheckWindow, left));
  if (available < wanted && MayBeginHeader(sector)) {
    // Read on past the chunk: the check sees the same bytes whatever the
    // chunk's size. What cannot be read is simply not there for it.
    const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
    window_.assign(sector, sector + available);
    const std::uint32_t first =
        CurrentSector + static_cast<std::uint32_t>(available / bytesPerSector);
    const std::uint32_t more =
        static_cast<std::uint32_t>((wanted - available + bytesPerSector - 1) / bytesPerSector);
    window_.resize(available + std::size_t{more} * bytesPerSector);
    if (ReadAhead(first, more, window_.data() + available)) {
      available = std::min(window_.size(), wanted);
    }
    data = window_.data();
  }
  const TFoundHeader found = CheckHeader(host_.SearchTypes(), data, available, left);
  if (!found) return false;
  if (FileOpen && finder_ &&
      static_cast<std::uint64_t>(fileOffset_) + runBytes_ < finder_->KnownExtent()) {
    return false;
  }
  found_ = found;
  tag_ = found.ext;
  clusters_.HeaderAt(CurrentSector);
  return true;
}

bool TScan::MayBeginHeader(const std::uint8_t* sector) const {
  const std::span<const TFormat* const> formats = Formats();
  for (std::uint32_t picked = CandidateFormats(sector, geometry_.BytesPerSector); picked != 0;
       picked &= picked - 1) {
    if (formats[static_cast<std::size_t>(std::countr_zero(picked))]->magic(
            sector, geometry_.BytesPerSector)) {
      return true;
    }
  }
  return false;
}

bool TScan::ReadAhead(std::uint32_t first, std::uint32_t count, std::uint8_t* buffer) {
  if (count == 0 || first >= geometry_.TotalSectors || count > geometry_.TotalSectors - first ||
      count > 65535) {
    return false;
  }
  if (ReadSectors(host_.DriveNumber(), first, static_cast<std::uint16_t>(count), buffer,
                  std::size_t{count} * geometry_.BytesPerSector)) {
    return true;
  }
  ++ReadErrorCount;
  host_.ReadErrorsChanged(ReadErrorCount);
  return false;
}

bool TFileBytes::Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  const std::uint32_t bytesPerSector = scan_.BytesPerSector();
  const std::uint64_t from = offset / bytesPerSector;
  const std::uint64_t to = (offset + size + bytesPerSector - 1) / bytesPerSector;
  if (size == 0) return true;
  if (from + firstSector >= scan_.TotalSectors() || to - from > 65535) return false;
  std::vector<std::uint8_t> sectors(static_cast<std::size_t>(to - from) * bytesPerSector);
  if (!scan_.ReadAhead(static_cast<std::uint32_t>(firstSector + from),
                       static_cast<std::uint32_t>(to - from), sectors.data())) {
    return false;
  }
  std::memcpy(buffer, sectors.data() + (offset - from * bytesPerSector), size);
  return true;
}

// From the current sector to the volume's end.
std::uint64_t TScan::BytesLeft() const {
  return std::uint64_t{geometry_.TotalSectors - CurrentSector} * geometry_.BytesPerSector;
}

// The open file's structure told its end: the file ends there, to the byte,
// and what follows up to the next header is written nowhere.
void TScan::CloseAtItsEnd() {
  const std::optional<std::uint64_t> size = finder_->FileSize();
  FlushRun();
  // A movie's end can show only in the bytes after it, which are written by then.
  if (size && static_cast<std::uint64_t>(fileOffset_) > *size) {
    static_cast<void>(::ftruncate(CarvedFile, static_cast<off_t>(*size)));
    fileOffset_ = static_cast<off_t>(*size);
  }
  CloseAndStore();
}

void TScan::OpenCarvedFile(const std::string& tag) {
  ++FoundCount;
  // Numbers taken by files already in the folder are skipped for the rest of
  // the scan; past the bound every file gets one try.
  for (;;) {
    CarvedName =
        DestPath + NamePrefix + std::to_string(std::int64_t{NameOffset} + FoundCount) + "." + tag;
    if (!FileExists(CarvedName)) break;
    ++NameOffset;
    if (NameOffset > kNameOffsetLimit) break;
  }

  // Mend: only the user's "&Ja" may empty a file. A file that appears after
  // the question (or after the name was found free) is not truncated: its
  // exclusive create fails instead.
  const bool replace = FileExists(CarvedName);
  if (replace && !host_.ConfirmOverwrite(Replace(
                     "File %s already exists. Do you want to overwrite it?", "%s", CarvedName))) {
    return;
  }

  CarvedFile = CreateCarvedFile(CarvedName, replace);
  FileError = CarvedFile < 0;
  if (FileError) {
    host_.Warn("Could not create destination file: " + CarvedName + "!");
    return;
  }
  FileOpen = true;
  listing_.push_back({CarvedName, {}});
  fileOffset_ = 0;
  writeWarned_ = false;
}

void TScan::FlushRun() {
  if (runBytes_ == 0 || !FileOpen) {
    runBytes_ = 0;
    return;
  }
  const std::uint8_t* run = runStart_;
  const std::size_t size = runBytes_;
  runBytes_ = 0;

  std::size_t done = 0;
  while (done < size) {
    const ssize_t written =
        ::pwrite(CarvedFile, run + done, size - done, fileOffset_ + static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
  }
  if (done == size) {
    fileOffset_ += static_cast<off_t>(size);
    FileError = false;
    return;
  }
  // Redo the rest sector by sector, so each sector that cannot be written is
  // reported on its own and decides the scan's fate as a single write would.
  const std::size_t bytesPerSector = geometry_.BytesPerSector;
  const std::size_t from = done / bytesPerSector * bytesPerSector;
  fileOffset_ += static_cast<off_t>(from);
  for (std::size_t at = from; at < size; at += bytesPerSector) {
    WriteSector(run + at, std::min(bytesPerSector, size - at));  // a file's end cuts the last
  }
}

void TScan::WriteSector(const std::uint8_t* sector, std::size_t size) {
  ssize_t written;
  do {
    written = ::pwrite(CarvedFile, sector, size, fileOffset_);
  } while (written < 0 && errno == EINTR);
  // Only a failure counts; a short count moves on like a file position would.
  FileError = written < 0;
  if (FileError) {
    // Mend: one box per file and chunk, not one per sector (a full disk gave
    // thousands), and say when the disk is full.
    const bool full = errno == ENOSPC || errno == EDQUOT;
    if (!writeWarned_) {
      host_.Warn("Could not write to destination file: " + CarvedName + "!" +
                 (full ? " The destination disk is full." : ""));
    }
    writeWarned_ = true;
    return;
  }
  fileOffset_ += written;
}

void TScan::CloseAndStore() {
  finder_.reset();
  openFormat_ = nullptr;
  FlushRun();
  ::close(CarvedFile);
  CarvedFile = -1;
  FileOpen = false;
  StoreCarvedFile(CarvedName);
  // The file that broke a held one off has ended: the held one may go on
  // right after it (or further on). A file ended by the next header ends in
  // the sector before it.
  if (!held_.empty()) {
    const std::uint64_t end = static_cast<std::uint64_t>(fileOffset_);
    const std::uint32_t sectors =
        static_cast<std::uint32_t>((end + geometry_.BytesPerSector - 1) / geometry_.BytesPerSector);
    AfterFileWhileHeld(fileBytes_.firstSector + sectors);
  }
}

void TScan::StoreCarvedFile(const std::string& name) {
  TZlibTool& zlib = host_.Compressor();
  zlib.InputFile = name;
  zlib.OutputFile = name + ".rdf";
  try {
    zlib.Compress();
  } catch (const std::exception& error) {
    // Mend: a failed store ends the scan; say so, and where the file is.
    host_.Warn("Could not store " + name + ": " + error.what() +
               ". The carved file stays in the destination folder as it is and is not listed; "
               "the search has stopped.");
    throw;
  }
  const std::size_t cut = std::min(host_.DestinationText().size(), name.size());
  ::unlink(name.c_str());
  List(name, name.substr(cut));
}

void TScan::List(const std::string& path, const std::string& storedName) {
  for (TListed& listed : listing_) {
    if (listed.path == path && listed.name.empty()) {
      listed.name = storedName;
      break;
    }
  }
  while (!listing_.empty() && !listing_.front().name.empty()) {
    host_.FileStored(listing_.front().name);
    listing_.pop_front();
  }
}

// A JPEG whose data has not ended when another file's header comes.
bool TScan::CanHold() const {
  return held_.size() < 2 && openFormat_ != nullptr &&
         std::string_view(openFormat_->name) == "jpeg" && finder_ && !finder_->FileSize();
}

void TScan::Hold() {
  FlushRun();
  held_.push_back(THeld{CarvedFile, CarvedName, fileOffset_});
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
  const std::uint32_t next = clusters_.NextBoundary(endSector);
  if (next < geometry_.TotalSectors) {
    std::vector<std::uint8_t> sector(geometry_.BytesPerSector);
    if (ReadAhead(next, 1, sector.data()) && MayBeginHeader(sector.data()) &&
        CheckHeader(host_.SearchTypes(), sector.data(), sector.size(), BytesLeft())) {
      for (THeld& held : held_) ++held.filesBetween;
      // One held too long has lost its rest: it ends where it held.
      while (!held_.empty() && held_.front().filesBetween > kMostFilesBetween) {
        ResolveHeld(0, geometry_.TotalSectors);
      }
      return;
    }
  }
  // Every held photo goes on here or nowhere; the one broken off last first.
  while (!held_.empty()) ResolveHeld(held_.size() - 1, next);
}

void TScan::ResolveHeld(std::size_t index, std::uint32_t from) {
  THeld held = std::move(held_[index]);
  held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  // The first piece, read back from the carved file (opened for writing only).
  std::vector<std::uint8_t> first;
  bool haveFirst = false;
  if (held.size > 0 && static_cast<std::uint64_t>(held.size) <= (64ull << 20)) {
    const int reader = ::open(held.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    first.resize(static_cast<std::size_t>(held.size));
    haveFirst = reader >= 0 && ::pread(reader, first.data(), first.size(), 0) ==
                                   static_cast<ssize_t>(first.size());
    if (reader >= 0) ::close(reader);
  }
  if (haveFirst && from < geometry_.TotalSectors) {
    TContinuationSearch search;
    search.bytesPerSector = geometry_.BytesPerSector;
    search.totalSectors = geometry_.TotalSectors;
    search.from = from;
    search.clusters = clusters_;
    // The cluster after the files in a row, and the next two, so that a
    // continuation that fits in more than one place is taken nowhere.
    search.boundSectors = 2 * clusters_.ClusterSectors() + 1;
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
    if (const std::optional<TContinuation> rest = FindContinuation(first, search)) {
      if (WriteContinuation(held, *rest)) {
        const auto sectors = static_cast<std::uint32_t>(
            (rest->bytes + geometry_.BytesPerSector - 1) / geometry_.BytesPerSector);
        consumed_.emplace_back(rest->sector, rest->sector + sectors);
      }
    }
  }
  ::close(held.fd);
  StoreCarvedFile(held.name);
}

// Appends the continuation to the held file; false (the file stays cut) when
// it cannot be read or written whole.
bool TScan::WriteContinuation(const THeld& held, const TContinuation& rest) {
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
    if (::pwrite(held.fd, block.data(), take, held.size + static_cast<off_t>(done)) !=
        static_cast<ssize_t>(take)) {
      break;
    }
    done += take;
  }
  if (done == rest.bytes) return true;
  static_cast<void>(::ftruncate(held.fd, held.size));
  return false;
}

bool TScan::Consumed(std::uint32_t sector) const {
  return std::any_of(consumed_.begin(), consumed_.end(), [sector](const auto& range) {
    return sector >= range.first && sector < range.second;
  });
}

bool TScan::EndOfScan() {
  bool stored = true;
  if (FileOpen) {
    try {
      CloseAndStore();
    } catch (...) {
      // The plain file stays where it is, unlisted; the rest of the end runs.
      stored = false;
    }
  }
  try {
    // Nothing follows: each held file ends where it held.
    while (!held_.empty()) ResolveHeld(0, geometry_.TotalSectors);
  } catch (...) {
    stored = false;
  }
  // Files that could not be stored list nothing; those after them still show.
  for (const TListed& listed : listing_) {
    if (!listed.name.empty()) host_.FileStored(listed.name);
  }
  listing_.clear();
  host_.ScanningEnded();
  ScanBuffer.reset();
  return stored;
}

}  // namespace

int CreateCarvedFile(const std::string& name, bool replace) {
  // Mend: never follow a link planted under the name, and a name found free is
  // created only if it still is, so no other file can be emptied through it.
  return ::open(name.c_str(),
                O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0666);
}

int ProgressPosition(std::uint32_t sector, std::uint32_t totalSectors) {
  if (totalSectors == 0) return 0;
  return static_cast<int>(std::nearbyintl(static_cast<long double>(sector) / totalSectors * 100));
}

bool BeyondSectorNumbers(std::uint64_t sizeBytes, std::uint32_t bytesPerSector) {
  return bytesPerSector != 0 && sizeBytes / bytesPerSector > UINT32_MAX;
}

std::string SectorNumberLimitText(std::uint32_t bytesPerSector) {
  const std::uint64_t bytes = (std::uint64_t{1} << 32) * bytesPerSector;
  constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  if (bytes % kTiB == 0) return std::to_string(bytes / kTiB) + " TiB";
  return std::to_string(bytes / kGiB) + " GiB";
}

TScanEnd RunScan(TScanHost& host) {
  return TScan(host).Run();
}
