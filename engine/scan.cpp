#include "engine/scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

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

class TScan {
 public:
  explicit TScan(TScanHost& host) : host_(host), geometry_(host.DriveGeometry()) {}
  ~TScan() {
    if (CarvedFile >= 0) ::close(CarvedFile);
  }

  void Run();

 private:
  bool CanStart();
  void ReadChunk();
  void ProcessChunk(std::uint32_t count);
  void OpenCarvedFile(const std::string& tag);
  void FlushRun();
  void WriteSector(const std::uint8_t* sector);
  void CloseAndStore();
  void StoreCarvedFile(const std::string& name);
  void EndOfScan();

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

void TScan::Run() {
  if (!CanStart()) return;
  host_.SearchStarting();
  if (geometry_.TotalSectors == 0) return;

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
    return;
  }
  CurrentSector = 0;

  try {
    while (CurrentSector < geometry_.TotalSectors && !host_.CancelRequested() && !FileError) {
      ReadChunk();
    }
  } catch (const std::exception&) {
    // The general kind ends the scan quietly.
  } catch (...) {
    EndOfScan();
    throw;
  }
  EndOfScan();
  host_.SearchEnded();
}

void TScan::ReadChunk() {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  std::uint32_t count = ChunkSectors;
  if (count > geometry_.TotalSectors - CurrentSector) {
    count = geometry_.TotalSectors - CurrentSector;
  }
  std::memset(ScanBuffer.get(), 0, std::size_t{count} * bytesPerSector);

  // The first attempt asks for the whole chunk, every retry for one sector.
  std::int32_t attempts = 0;
  bool read = false;
  do {
    read = ReadSectors(host_.DriveNumber(), CurrentSector, static_cast<std::uint16_t>(count),
                       ScanBuffer.get());
    if (!read) {
      count = 1;
      ++attempts;
      ++ReadErrorCount;
      host_.Pump();
      host_.ReadErrorsChanged(ReadErrorCount);
    }
  } while (!read && attempts <= RetryLimit);

  ProcessChunk(count);
}

void TScan::ProcessChunk(std::uint32_t count) {
  const std::uint32_t bytesPerSector = geometry_.BytesPerSector;
  const std::uint8_t* sector = ScanBuffer.get();
  for (std::uint32_t i = 0; i < count; ++i) {
    host_.SectorReached(CurrentSector, geometry_.TotalSectors);
    const bool found = DetectFileType(host_.SearchTypes(), sector, bytesPerSector, tag_);
    if (FileOpen && found) CloseAndStore();
    if (found && !FileOpen) {
      OpenCarvedFile(tag_);
      host_.FoundCountChanged(FoundCount);
    }
    if (FileOpen) {
      if (runBytes_ == 0) runStart_ = sector;
      runBytes_ += bytesPerSector;
    }
    sector += bytesPerSector;
    ++CurrentSector;
  }
  // The next read reuses the buffer.
  FlushRun();
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

  if (FileExists(CarvedName) &&
      !host_.ConfirmOverwrite(
          Replace("File %s already exists. Do you want to overwrite it?", "%s", CarvedName))) {
    return;
  }

  CarvedFile = ::open(CarvedName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  FileError = CarvedFile < 0;
  if (FileError) {
    host_.Warn("Could not create destination file: " + CarvedName + "!");
    return;
  }
  FileOpen = true;
  fileOffset_ = 0;
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
  for (std::size_t at = from; at < size; at += bytesPerSector) WriteSector(run + at);
}

void TScan::WriteSector(const std::uint8_t* sector) {
  const std::size_t size = geometry_.BytesPerSector;
  ssize_t written;
  do {
    written = ::pwrite(CarvedFile, sector, size, fileOffset_);
  } while (written < 0 && errno == EINTR);
  // Only a failure counts; a short count moves on like a file position would.
  FileError = written < 0;
  if (FileError) {
    host_.Warn("Could not write to destination file: " + CarvedName + "!");
    return;
  }
  fileOffset_ += written;
}

void TScan::CloseAndStore() {
  FlushRun();
  ::close(CarvedFile);
  CarvedFile = -1;
  FileOpen = false;
  StoreCarvedFile(CarvedName);
}

void TScan::StoreCarvedFile(const std::string& name) {
  TZlibTool& zlib = host_.Compressor();
  zlib.InputFile = name;
  zlib.OutputFile = name + ".rdf";
  zlib.Compress();
  const std::size_t cut = std::min(host_.DestinationText().size(), name.size());
  host_.FileStored(name.substr(cut));
  ::unlink(name.c_str());
}

void TScan::EndOfScan() {
  if (FileOpen) {
    try {
      CloseAndStore();
    } catch (...) {
      // The plain file stays where it is, unlisted; the rest of the end runs.
    }
  }
  host_.ScanningEnded();
  ScanBuffer.reset();
}

}  // namespace

int ProgressPosition(std::uint32_t sector, std::uint32_t totalSectors) {
  if (totalSectors == 0) return 0;
  return static_cast<int>(std::nearbyintl(static_cast<long double>(sector) / totalSectors * 100));
}

void RunScan(TScanHost& host) {
  TScan(host).Run();
}
