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

#include "cli/consolehost.h"
#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "diskio/samemedium.h"
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
    if (S_ISBLK(info.st_mode) && (error == EACCES || error == EPERM)) {
      problem += " (reading a device needs root, or membership of the disk group)";
    }
    return problem;
  }
  ::close(fd);
  return {};
}

// Makes the folder when only its last part is missing; empty on success.
std::string MakeDestination(const std::string& dest) {
  struct stat info {};
  if (::stat(dest.c_str(), &info) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    if (::mkdir(dest.c_str(), 0777) != 0) {
      return errno == ENOENT ? "its parent folder does not exist" : std::strerror(errno);
    }
  }
  // Found out now rather than at the first file, perhaps an hour into the scan.
  if (::access(dest.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return {};
}

std::string TypeNames(const TSearchTypes& types) {
  const std::pair<bool, const char*> all[] = {
      {types.JPG, "JPG"}, {types.BMP, "BMP"},   {types.GIF, "GIF"},
      {types.TIF, "TIF"}, {types.PNG, "PNG"},   {types.WAV, "WAV"},
      {types.AVI, "AVI"}, {types.RIFF, "RIFF"}, {types.MOV, "MOV"}};
  std::string names;
  for (const auto& [on, name] : all) {
    if (on) names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return names;
}

// Writes every stored file out to its plain path and prints that path on
// out; false when one could not be written (its stored copy stays).
bool WriteOut(TConsoleScanHost& host, const std::string& destination, bool keepStored,
              std::FILE* out) {
  bool allWritten = true;
  for (const std::string& name : host.Stored()) {
    const std::string storedPath = StoredPath(destination, name);
    const std::string plainPath = PlainPath(destination, name);
    try {
      RecoverStoredFile(host.Compressor(), storedPath, plainPath);
    } catch (const std::exception& error) {
      host.Message("Could not write out " + plainPath + ": " + error.what() + "; its stored copy " +
                   storedPath + " is kept.");
      allWritten = false;
      continue;
    }
    std::fprintf(out, "%s\n", plainPath.c_str());
    std::fflush(out);
    if (!keepStored) DeleteFileQuietly(storedPath);
  }
  return allWritten;
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

int RunCarve(const TCarveOptions& options, const volatile std::sig_atomic_t& stop, std::FILE* out,
             std::FILE* err, bool errIsTerminal) {
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
  if (const std::string problem = MakeDestination(destPath.string()); !problem.empty()) {
    Say(err, "cannot write to " + options.dest + ": " + problem);
    return kExitEarly;
  }
  // The folder exists now: name it as the system resolves it, so every path
  // printed is the file's real place.
  std::string destination = fs::weakly_canonical(destPath, error).string();
  if (error) destination = destPath.string();
  if (destination.back() != '/') destination += '/';

  // The source alone, as C: (the machine's other drives could take C: first).
  LinuxPlatform platform({options.source}, "/nonexistent");
  InitDiskAccess(platform, [err](const std::string& caption, const std::string& text, unsigned) {
    Say(err, caption + ": " + text);
  });
  struct TDone {
    ~TDone() { DoneDiskAccess(); }  // before the platform goes
  } done;

  TDriveGeometry geometry{};
  if (!GetDriveGeometry(TConsoleScanHost::kDrive, geometry)) {
    Say(err, "cannot read the size of " + options.source);
    return kExitEarly;
  }
  if (geometry.TotalSectors == 0) {
    Say(err, options.source + " does not hold one whole sector");
    return kExitEarly;
  }
  const std::uint64_t sizeBytes = platform.Describe('C').sizeBytes;
  if (geometry.BytesPerSector != 0 && sizeBytes / geometry.BytesPerSector > UINT32_MAX) {
    Say(err, "Only the first 2 TiB of " + options.source + " can be searched.");
  }
  Say(err, "searching " + options.source + " (" + std::to_string(geometry.TotalSectors) +
               " sectors of " + std::to_string(geometry.BytesPerSector) + " bytes) for " +
               TypeNames(options.types) + " into " + destination);

  TConsoleScanHost host(options, destination, geometry, stop, err, errIsTerminal);
  bool scanFailed = false;
  try {
    RunScan(host);
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
  Say(err, summary + std::to_string(host.Found()) + " files found, " +
               std::to_string(host.ReadErrors()) + " read errors");

  const bool allWritten = WriteOut(host, destination, options.keepStored, out);
  Say(err, std::to_string(host.Stored().size()) + " files written to " + destination +
               (options.keepStored ? " (stored copies kept)" : ""));
  return host.Complete() && allWritten && !scanFailed ? kExitComplete : kExitEarly;
}
