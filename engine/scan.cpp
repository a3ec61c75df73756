// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/scan.h"

#include "engine/endfinder.h"
#include "engine/formats/registry.h"
#include "engine/fragments.h"
#include "engine/headercheck.h"
#include "engine/scanner.h"

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

}  // namespace

namespace scanning {

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
  FoundCount = CreatedCount = ReadErrorCount = NameOffset = 0;
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
    host_.SearchEnded({TScanEnd::NotStarted, 0, geometry_.TotalSectors, CreatedCount});
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
  TScanEnd end = TScanEnd::Completed;
  if (driveGone_) {
    end = TScanEnd::DriveGone;
  } else if (FileError || storeFailed) {
    end = TScanEnd::DestinationFailed;
  } else if (cancelled) {
    end = TScanEnd::Cancelled;
  }
  host_.SearchEnded({end, CurrentSector, geometry_.TotalSectors, CreatedCount});
  return end;
}

void TScan::ReadChunk() {
  // Continuations already passed need no more looking at, sector by sector.
  std::erase_if(consumed_, [this](const auto& range) { return range.second <= CurrentSector; });
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
    if (!held_.empty()) AfterGapWhileHeld(sector);
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
      if (check && CanHold(/*brokenOff=*/false)) {
        HoldAtHeader();
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
      host_.FoundCountChanged(CreatedCount);
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
  // A photo broken off by empty space or other data waits for its rest; what
  // was carved past the break is kept for now, as the gap begins at a
  // cluster somewhere between the two.
  if (finder_->BrokenOff() && CanHold(/*brokenOff=*/true)) {
    const off_t written = fileOffset_;
    Hold();
    held_.back().afterGap = true;
    held_.back().size = static_cast<off_t>(std::min<std::uint64_t>(*size, written));
    held_.back().written = written;
    AfterBreakWhileHeld(held_.back().firstSector, held_.back().size);
    return;
  }
  // A movie's end can show only in the bytes after it, which are written by then.
  if (size && static_cast<std::uint64_t>(fileOffset_) > *size) {
    static_cast<void>(::ftruncate(CarvedFile, static_cast<off_t>(*size)));
    fileOffset_ = static_cast<off_t>(*size);
  }
  if (fragmentsSeen_ && ReadErrorCount == errorsAtOpen_ && openFormat_ != nullptr &&
      std::string_view(openFormat_->name) == "jpeg") {
    if (CheckJoinedPhoto()) {
      // Held in turn: its rest comes after the held one's, which ends here.
      const std::uint64_t end = static_cast<std::uint64_t>(spanned_);
      AfterFileWhileHeld(fileBytes_.firstSector +
                         static_cast<std::uint32_t>((end + geometry_.BytesPerSector - 1) /
                                                    geometry_.BytesPerSector));
      return;
    }
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
  // Mend: the count took in headers whose file was never created, so a
  // failed create showed "Images found: 1" beside an empty list.
  ++CreatedCount;
  errorsAtOpen_ = ReadErrorCount;
  spanned_ = 0;
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
    // A photo cut back to its own data still spanned what was scanned.
    const std::uint64_t end = static_cast<std::uint64_t>(std::max(fileOffset_, spanned_));
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
    host_.FileStored(listing_.front().name, listing_.front().path + ".rdf");
    listing_.pop_front();
  }
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
    if (!listed.name.empty()) host_.FileStored(listed.name, listed.path + ".rdf");
  }
  listing_.clear();
  host_.ScanningEnded();
  ScanBuffer.reset();
  return stored;
}

}  // namespace scanning

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
  return scanning::TScan(host).Run();
}
