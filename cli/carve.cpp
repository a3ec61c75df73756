// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/carve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

#include "cli/consolehost.h"
#include "diskio/deviceaccess.h"
#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "diskio/samemedium.h"
#include "engine/destination.h"
#include "engine/restore.h"
#include "engine/scan.h"

namespace fs = std::filesystem;

namespace {

void Say(std::FILE* err, const std::string& text) {
  std::fprintf(err, "fernhollow-carve: %s\n", text.c_str());
  std::fflush(err);
}

// Empty when the source can be opened for reading.
std::string SourceProblem(const std::string& source) {
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return "not a device or image file";
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    std::string problem = std::strerror(error);
    // Root refused is the system's own refusal: rights would not help.
    if (S_ISBLK(info.st_mode) && (error == EACCES || error == EPERM) &&
        !PassesOverFilePermissions()) {
      problem += " (reading a device needs root, or membership of the disk group)";
    }
    return problem;
  }
  ::close(fd);
  return {};
}

// Makes the folder when only its last part is missing; empty on success.
// made tells whether this run made it.
std::string MakeDestination(const std::string& dest, bool& made) {
  made = false;
  struct stat info {};
  if (::stat(dest.c_str(), &info) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    if (::mkdir(dest.c_str(), 0777) != 0) {
      return errno == ENOENT ? "its parent folder does not exist" : std::strerror(errno);
    }
    made = true;
  }
  // Found out now rather than at the first file, perhaps an hour into the
  // scan; by a file made and removed, as the mode bits do not tell for root.
  std::string problem;
  if (CheckDestinationFolder(dest, problem) != TDestinationState::Writable) {
    if (made) ::rmdir(dest.c_str());
    made = false;
    return problem;
  }
  return {};
}

// "1 file", "2 files"
std::string Files(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

std::string TypeNames(const TSearchTypes& types) {
  std::string names;
  for (const TSearchType& type : kSearchTypes) {
    if (types.*type.flag) names += (names.empty() ? "" : ", ") + std::string(type.tag);
  }
  return names;
}

// Writes every stored file out to its plain path and prints that path on
// out; false when one could not be written (its stored copy stays). A second
// signal gives up between two blocks: the file being expanded leaves no
// partial copy, and every file not written out keeps its stored copy, named
// on err.
bool WriteOut(TConsoleScanHost& host, const std::string& destination, bool keepStored,
              const TStopFlags& flags, std::FILE* out, std::size_t& written) {
  bool allWritten = true;
  written = 0;
  std::vector<std::string> kept;
  host.Compressor().Abort = &flags.abort;
  for (const std::string& name : host.Stored()) {
    const std::string storedPath = StoredPath(destination, name);
    const std::string plainPath = PlainPath(destination, name);
    if (flags.abort != 0) {
      kept.push_back(storedPath);
      continue;
    }
    try {
      RecoverStoredFile(host.Compressor(), storedPath, plainPath);
    } catch (const std::exception& error) {
      if (flags.abort != 0) {
        kept.push_back(storedPath);
        continue;
      }
      host.Message("Could not write out " + plainPath + ": " + error.what() + "; its stored copy " +
                   storedPath + " is kept.");
      allWritten = false;
      continue;
    }
    const bool cut = name == host.CutAtStop();
    std::fprintf(out, "%s%s\n", plainPath.c_str(), cut ? " (cut at the stop)" : "");
    std::fflush(out);
    ++written;
    if (!keepStored) DeleteFileQuietly(storedPath);
  }
  host.Compressor().Abort = nullptr;
  if (!kept.empty()) {
    host.Message("Stopped again: " + Files(kept.size()) + (kept.size() == 1 ? " was" : " were") +
                 " not written out; each stays as its stored copy (expand it with zstd -d):");
    for (const std::string& path : kept) host.Message("kept stored: " + path);
  }
  return allWritten && kept.empty();
}

}  // namespace

std::string DestinationRefusal(const std::string& dest, const std::string& source) {
  // Every check that refuses a destination belongs here, before the folder is
  // made or anything written to it.
  struct stat destInfo {};
  if (::stat(dest.c_str(), &destInfo) == 0 && !S_ISDIR(destInfo.st_mode)) {
    return "it is not a folder";
  }
  std::error_code error;
  const fs::path searched = fs::absolute(source, error);
  if (DestinationOnSearchedMedium(dest, error ? source : searched.lexically_normal().string())) {
    return "it is on the drive being searched; writing there would overwrite the files you want "
           "to recover. Choose a folder on another drive";
  }
  return {};
}

int RunCarve(const TCarveOptions& options, const TStopFlags& flags, std::FILE* out, std::FILE* err,
             bool errIsTerminal) {
  if (const std::string problem = SourceProblem(options.source); !problem.empty()) {
    Say(err, "cannot read " + options.source + ": " + problem);
    return kExitEarly;
  }
  std::error_code error;
  const fs::path destPath = fs::absolute(options.dest, error);
  if (error) {
    Say(err, "cannot use " + options.dest + ": " + error.message());
    return kExitEarly;
  }
  if (const std::string refusal = DestinationRefusal(destPath.string(), options.source);
      !refusal.empty()) {
    Say(err, "cannot use " + options.dest + " as the destination: " + refusal);
    return kExitEarly;
  }

  // The source alone, as C: (the machine's other drives could take C: first).
  LinuxPlatform platform({options.source}, LinuxPlatform::TSourcesOnly{});
  InitDiskAccess(platform, [err](const std::string& caption, const std::string& text, unsigned) {
    Say(err, caption + ": " + text);
  });
  struct TDone {
    ~TDone() { DoneDiskAccess(); }  // before the platform goes
  } done;

  // The source's size is known before anything is made in DEST.
  const std::uint64_t sizeBytes = platform.Describe('C').sizeBytes;
  TDriveGeometry geometry{};
  const bool known = GetDriveGeometry(TConsoleScanHost::kDrive, geometry);
  if (sizeBytes < (known ? geometry.BytesPerSector : 512) ||
      (known && geometry.TotalSectors == 0)) {
    Say(err, options.source + " does not hold one whole sector");
    return kExitEarly;
  }
  if (!known) {
    Say(err, "cannot read the size of " + options.source);
    return kExitEarly;
  }
  if (BeyondSectorNumbers(sizeBytes, geometry.BytesPerSector)) {
    Say(err, "Only the first " + SectorNumberLimitText(geometry.BytesPerSector) + " of " +
                 options.source + " can be searched.");
  }

  bool madeDest = false;
  if (const std::string problem = MakeDestination(destPath.string(), madeDest); !problem.empty()) {
    Say(err, "cannot write to " + options.dest + ": " + problem);
    return kExitEarly;
  }
  // A folder made for this run goes again when nothing was written into it
  // (rmdir leaves a folder that holds anything).
  struct TRemoveIfEmpty {
    std::string folder;
    ~TRemoveIfEmpty() {
      if (!folder.empty()) ::rmdir(folder.c_str());
    }
  } removeIfEmpty{madeDest ? destPath.string() : std::string()};

  // The folder exists now: name it as the system resolves it, so every path
  // printed is the file's real place.
  std::string destination = fs::weakly_canonical(destPath, error).string();
  if (error) destination = destPath.string();
  if (destination.back() != '/') destination += '/';

  Say(err, "searching " + options.source + " (" + std::to_string(geometry.TotalSectors) +
               " sectors of " + std::to_string(geometry.BytesPerSector) + " bytes) for " +
               TypeNames(options.types) + " into " + destination);

  TConsoleScanHost host(options, destination, geometry, flags.stop, err, errIsTerminal);
  bool scanFailed = false;
  try {
    host.Run();
  } catch (const std::exception& failure) {
    host.Message(std::string("The search failed: ") + failure.what());
    scanFailed = true;
  }

  const double seconds = host.Seconds();
  const double megabytes = double(geometry.TotalSectors) * geometry.BytesPerSector / 1e6;
  char summary[200];
  if (host.ReachedEnd()) {
    std::snprintf(summary, sizeof summary, "scanned %.1f MB in %s (%.1f MB/s): ", megabytes,
                  DurationText(seconds).c_str(), seconds > 0 ? megabytes / seconds : 0.0);
  } else {
    std::snprintf(summary, sizeof summary,
                  "stopped early after %s: ", DurationText(seconds).c_str());
  }
  Say(err, summary + Files(static_cast<std::size_t>(host.Found())) + " found, " +
               std::to_string(host.ReadErrors()) + " read errors");

  std::size_t written = 0;
  const bool allWritten = WriteOut(host, destination, options.keepStored, flags, out, written);
  Say(err, Files(written) + " written to " + destination +
               (options.keepStored ? " (stored copies kept)" : ""));
  return host.Complete() && allWritten && !scanFailed ? kExitComplete : kExitEarly;
}
