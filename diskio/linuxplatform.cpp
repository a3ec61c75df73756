// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/linuxplatform.h"
#include "diskio/smallfiles.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMaxSectors = 0xFFFFFFFFull;  // sector numbers are 32-bit
constexpr std::uint64_t kSysfsSizeUnit = 512;         // sysfs `size` ignores the sector size
constexpr std::uint32_t kImageSectorBytes = 512;
constexpr std::uint32_t kMaxSectorsPerTrack = 63;
constexpr std::uint32_t kMaxHeads = 255;
constexpr char kFirstHardLetter = 'C';
constexpr char kLastLetter = 'Z';
// Fixed disks and the rest never take the last letters, so that a card reader
// put in later still finds one when the machine has more drives than letters.
constexpr int kLettersKeptForReaders = 4;
constexpr std::size_t kNamesInNote = 5;

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::string Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

std::optional<std::uint64_t> ReadNumber(const fs::path& path) {
  const std::optional<std::string> text = ReadSmallFile(path);
  if (!text) return std::nullopt;
  const std::string digits = Trim(*text);
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

std::uint32_t LargestDivisorUpTo(std::uint64_t n, std::uint32_t limit) {
  for (std::uint32_t d = limit; d > 1; --d) {
    if (n % d == 0) return d;
  }
  return 1;
}

// Size in bytes and logical sector size of an open image file or block device.
std::optional<std::uint64_t> BytesOfFd(int fd, std::uint32_t& sectorBytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  if (S_ISBLK(info.st_mode)) {
    int logical = 0;
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) return std::nullopt;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return std::nullopt;
    sectorBytes = static_cast<std::uint32_t>(logical);
    return bytes;
  }
  if (S_ISREG(info.st_mode)) {
    sectorBytes = kImageSectorBytes;
    return static_cast<std::uint64_t>(info.st_size);
  }
  return std::nullopt;
}

std::uint64_t ImageBytes(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  if (S_ISREG(info.st_mode)) return static_cast<std::uint64_t>(info.st_size);
  if (!S_ISBLK(info.st_mode)) return 0;
  // Someone named a device node as an image; ask the device.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  std::uint32_t sectorBytes = 0;
  const std::optional<std::uint64_t> bytes = BytesOfFd(fd, sectorBytes);
  ::close(fd);
  return bytes.value_or(0);
}

bool SetDirect(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

// Reads size bytes at offset, short only at the end; -errno on a failure.
long ReadFully(int fd, std::uint64_t offset, std::uint8_t* buffer, std::uint32_t size) {
  std::uint32_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) break;  // end of the volume
    done += static_cast<std::uint32_t>(n);
  }
  return done;
}

// The file a loop device reads, empty when none is attached. The kernel adds
// " (deleted)" once the file is gone, as it is for snaps replaced by a refresh.
std::string LoopBackingFile(const fs::path& loopDir) {
  std::string backing = Trim(ReadSmallFile(loopDir / "loop" / "backing_file").value_or(""));
  constexpr std::string_view kDeleted = " (deleted)";
  if (backing.ends_with(kDeleted)) backing.resize(backing.size() - kDeleted.size());
  return backing;
}

bool IsUnder(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

// Snaps and other system images, mounted on loop devices by the dozen: none
// is a camera card, and listing them used up the letters before the readers.
bool IsSystemImage(std::string_view backing, bool readOnly) {
  for (std::string_view suffix : {".snap", ".squashfs", ".sfs"}) {
    if (backing.ends_with(suffix)) return true;
  }
  if (IsUnder(backing, "/var/lib/snapd")) return true;
  // A card image attached with losetup -r is read-only too: the flag alone
  // says nothing, only with a system directory behind it.
  if (!readOnly) return false;
  return IsUnder(backing, "/snap") || IsUnder(backing, "/usr/lib");
}

bool IsBlockNode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

// Whether a descriptor (got) reaches what a node (node) stands for: the same
// device for a device node, the same file otherwise.
bool SameNode(const struct stat& node, const struct stat& got) {
  if (S_ISBLK(node.st_mode)) return S_ISBLK(got.st_mode) && node.st_rdev == got.st_rdev;
  return node.st_dev == got.st_dev && node.st_ino == got.st_ino;
}

// In real sysfs a partition's directory lies inside its disk's; a fake tree
// is flat, so fall back to the name.
std::string ParentDiskOf(const fs::path& sysBlockDir, const std::string& name) {
  std::error_code error;
  const fs::path real = fs::canonical(sysBlockDir / name, error);
  if (!error) {
    const fs::path parentDir = real.parent_path();
    const fs::path sibling = sysBlockDir / parentDir.filename();
    if (Exists(sibling) && fs::equivalent(sibling, parentDir, error) && !error) {
      return parentDir.filename().string();
    }
  }
  std::string parent = PartitionParentName(name);
  if (!parent.empty() && Exists(sysBlockDir / parent)) return parent;
  return name;
}

}  // namespace

DISK_GEOMETRY ExactGeometry(std::uint64_t totalSectors, std::uint32_t bytesPerSector) {
  DISK_GEOMETRY geometry{};
  geometry.MediaType = kMediaUnknown;
  geometry.BytesPerSector = bytesPerSector;
  const std::uint64_t total = std::min(totalSectors, kMaxSectors);
  if (total == 0) {
    geometry.TracksPerCylinder = 1;
    geometry.SectorsPerTrack = 1;
    return geometry;
  }
  // Only divisors keep the product exact; a rounded shape would drop the tail of the card.
  geometry.SectorsPerTrack = LargestDivisorUpTo(total, kMaxSectorsPerTrack);
  const std::uint64_t tracks = total / geometry.SectorsPerTrack;
  geometry.TracksPerCylinder = LargestDivisorUpTo(tracks, kMaxHeads);
  geometry.Cylinders = static_cast<std::int64_t>(tracks / geometry.TracksPerCylinder);
  return geometry;
}

bool NaturalNameLess(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      std::size_t endA = i;
      std::size_t endB = j;
      while (endA < a.size() && IsDigit(a[endA])) ++endA;
      while (endB < b.size() && IsDigit(b[endB])) ++endB;
      std::string_view numberA = a.substr(i, endA - i);
      std::string_view numberB = b.substr(j, endB - j);
      const std::size_t rawA = numberA.size();
      const std::size_t rawB = numberB.size();
      numberA.remove_prefix(std::min(numberA.find_first_not_of('0'), numberA.size()));
      numberB.remove_prefix(std::min(numberB.find_first_not_of('0'), numberB.size()));
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
      if (numberA != numberB) return numberA < numberB;
      if (rawA != rawB) return rawA < rawB;  // "1" before "01", so the order stays total
      i = endA;
      j = endB;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return i == a.size() && j < b.size();
}

std::string PartitionParentName(std::string_view name) {
  std::size_t end = name.size();
  while (end > 0 && IsDigit(name[end - 1])) --end;
  if (end == name.size() || end == 0) return {};
  // A disk whose name ends in a digit numbers its partitions after a 'p'.
  if (end >= 2 && name[end - 1] == 'p' && IsDigit(name[end - 2])) --end;
  return std::string(name.substr(0, end));
}

LinuxPlatform::LinuxPlatform(std::vector<std::string> imageFiles, std::string sysBlockDir,
                             std::string devDir)
    : sysBlockDir_(std::move(sysBlockDir)), devDir_(std::move(devDir)) {
  for (const std::string& image : imageFiles) {
    std::error_code error;
    const fs::path absolute = fs::absolute(image, error);
    imageFiles_.push_back(error ? image : absolute.lexically_normal().string());
  }
  Enumerate();
}

LinuxPlatform::~LinuxPlatform() {
  for (const auto& [handle, state] : handles_) {
    readAhead_.Drop(static_cast<int>(handle));
    ::close(static_cast<int>(handle));
  }
  for (const auto& [path, grant] : grants_) ::close(grant.fd);
}

void LinuxPlatform::SetDeviceOpener(DeviceOpener opener) {
  opener_ = std::move(opener);
}

bool LinuxPlatform::GetVersion(OSVERSIONINFOA& info) {
  // Windows XP: the NT family, so every drive is served through a volume handle.
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = 5;
  info.dwMinorVersion = 1;
  info.dwBuildNumber = 2600;
  info.dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(info.szCSDVersion, 0, sizeof(info.szCSDVersion));
  return true;
}

std::vector<std::string> LinuxPlatform::LogicalDriveRoots() {
  Enumerate();
  std::vector<std::string> roots;
  for (const Drive& drive : present_) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(drive.letter)));
    roots.push_back(std::string{lower} + ":\\");
  }
  return roots;
}

unsigned LinuxPlatform::DriveType(const std::string& root) {
  if (root.empty()) return DRIVE_NO_ROOT_DIR;
  const Drive* drive = FindDrive(root[0]);
  return drive ? drive->kind : DRIVE_NO_ROOT_DIR;
}

DriveDescription LinuxPlatform::Describe(char letter) {
  DriveDescription description;
  const Drive* drive = FindDrive(letter);
  if (!drive) return description;
  description.path = drive->path;
  if (drive->letter == noteLetter_) description.note = note_;
  std::string name = drive->name;
  std::string diskName = drive->diskName;
  // A device node named as an image is described by sysfs too, which any user may read.
  if (name.empty() && !SysfsNamesOf(drive->path, name, diskName)) {
    description.sizeBytes = ImageBytes(drive->path);
    return description;
  }
  const fs::path root(sysBlockDir_);
  description.model = Trim(ReadSmallFile(root / diskName / "device" / "model").value_or(""));
  description.sizeBytes = ReadNumber(root / name / "size").value_or(0) * kSysfsSizeUnit;
  return description;
}

Handle LinuxPlatform::OpenVolume(char letter, bool forReading) {
  OpenVolumeState state;
  bool isDevice = false;
  {
    const Drive* drive = FindDrive(letter);
    if (!drive) return INVALID_HANDLE_VALUE;
    state.kind = drive->kind;
    state.path = drive->path;
    state.sysName = drive->name;
    state.sysDiskName = drive->diskName;
    isDevice = IsDevice(*drive);
  }
  // A device node named as an image: its geometry too comes from sysfs.
  if (state.sysName.empty() && isDevice) SysfsNamesOf(state.path, state.sysName, state.sysDiskName);

  // Neither kind of open can write: the card is evidence and must never be
  // changed. The query needs no rights to the device at all, as its geometry
  // comes from sysfs (or, for an image file, from its directory entry); so
  // every user sees every drive's size and sector size.
  int fd = -1;
  const Grant* granted = nullptr;
  if (forReading) {
    std::string why;
    fd = OpenForReading(state.path, isDevice, /*mayAsk=*/false, why, &granted);
  } else {
    fd = ::open(state.path.c_str(), O_PATH | O_CLOEXEC);
    state.queryOnly = true;
  }
  if (fd < 0) {
    lastFailureGone_ = true;  // whatever the reason, there is nothing to read
    return INVALID_HANDLE_VALUE;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    state.blockDevice = S_ISBLK(info.st_mode);
    state.nodeDevice = info.st_dev;
    state.nodeInode = info.st_ino;
  }
  if (granted != nullptr) {
    // Opened by someone else, maybe through another /dev: our node is the one to watch.
    state.nodeDevice = granted->nodeDevice;
    state.nodeInode = granted->nodeInode;
  }
  // Devices are read past the page cache (see TReadAhead); image files, whose
  // sectors cannot be bad, keep the cache and the kernel's read-ahead.
  state.direct = !state.queryOnly && state.blockDevice && SetDirect(fd, true);
  handles_[fd] = std::move(state);
  return fd;
}

bool LinuxPlatform::PrepareToRead(char letter, std::string& why) {
  why.clear();
  std::string path;
  bool isDevice = false;
  {
    const Drive* drive = FindDrive(letter);
    if (!drive) {
      why = "The drive is gone";
      return false;
    }
    path = drive->path;
    isDevice = IsDevice(*drive);
  }
  const Grant* granted = nullptr;
  const int fd = OpenForReading(path, isDevice, /*mayAsk=*/true, why, &granted);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int LinuxPlatform::OpenForReading(const std::string& path, bool isDevice, bool mayAsk,
                                  std::string& why, const Grant** granted) {
  *granted = nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) return fd;  // root and the disk group need nobody's leave
  const int error = errno;
  if (!isDevice || (error != EACCES && error != EPERM)) {
    why = "Cannot open " + path + ": " + std::strerror(error);
    return -1;
  }
  const Grant* grant = LiveGrant(path);
  if (grant == nullptr) {
    if (!opener_) {
      why = "No permission to read " + path;
      return -1;
    }
    // Reads after a refusal do not ask again: only the user's next pick of the drive does.
    const auto refusal = refused_.find(path);
    if (!mayAsk && refusal != refused_.end()) {
      why = refusal->second;
      return -1;
    }
    grant = AskOpener(path, why);
    if (grant == nullptr) return -1;
  }
  const int copy = ::fcntl(grant->fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    why = "Cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  *granted = grant;
  return copy;
}

const LinuxPlatform::Grant* LinuxPlatform::AskOpener(const std::string& path, std::string& why) {
  why.clear();
  const int fd = opener_(path, why);
  if (fd < 0) {
    if (why.empty()) why = "No permission to read " + path;
    refused_[path] = why;
    return nullptr;
  }
  // Only a read-only descriptor of this very device is kept: whatever the
  // opener hands over, nothing here may ever be able to write to the card.
  const int mode = ::fcntl(fd, F_GETFL);
  const bool readOnly = mode >= 0 && (mode & O_ACCMODE) == O_RDONLY && (mode & O_PATH) == 0;
  struct stat node {};
  struct stat got {};
  const bool same =
      ::stat(path.c_str(), &node) == 0 && ::fstat(fd, &got) == 0 && SameNode(node, got);
  if (!readOnly || !same) {
    ::close(fd);
    why = readOnly ? "The descriptor handed over is not " + path
                   : "The descriptor handed over for " + path + " is not read-only";
    refused_[path] = why;
    return nullptr;
  }
  static_cast<void>(::fcntl(fd, F_SETFD, FD_CLOEXEC));
  refused_.erase(path);
  DropGrant(path);
  Grant& grant = grants_[path];
  grant.fd = fd;
  grant.nodeDevice = node.st_dev;
  grant.nodeInode = node.st_ino;
  return &grant;
}

const LinuxPlatform::Grant* LinuxPlatform::LiveGrant(const std::string& path) {
  const auto it = grants_.find(path);
  if (it == grants_.end()) return nullptr;
  struct stat node {};
  bool live = ::stat(path.c_str(), &node) == 0 && node.st_dev == it->second.nodeDevice &&
              node.st_ino == it->second.nodeInode;
  if (live && S_ISBLK(node.st_mode)) {
    // A reader whose card was taken out keeps its node but has no medium.
    std::uint64_t bytes = 0;
    live = ::ioctl(it->second.fd, BLKGETSIZE64, &bytes) == 0 && bytes != 0;
  }
  if (!live) {
    DropGrant(path);
    return nullptr;
  }
  return &it->second;
}

void LinuxPlatform::DropGrant(const std::string& path) {
  const auto it = grants_.find(path);
  if (it == grants_.end()) return;
  ::close(it->second.fd);
  grants_.erase(it);
}

bool LinuxPlatform::SysfsNamesOf(const std::string& path, std::string& name,
                                 std::string& diskName) const {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
  const std::string wanted =
      std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
  const fs::path root(sysBlockDir_);
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    if (Trim(ReadSmallFile(it->path() / "dev").value_or("")) != wanted) continue;
    name = it->path().filename().string();
    diskName = Exists(it->path() / "partition") ? ParentDiskOf(root, name) : name;
    return true;
  }
  return false;
}

bool LinuxPlatform::SysfsGeometry(const OpenVolumeState& state, std::uint64_t& bytes,
                                  std::uint32_t& sectorBytes) const {
  const fs::path root(sysBlockDir_);
  const std::optional<std::uint64_t> size = ReadNumber(root / state.sysName / "size");
  // A partition has no queue of its own; its disk's holds the sector size.
  const std::optional<std::uint64_t> logical =
      ReadNumber(root / state.sysDiskName / "queue" / "logical_block_size");
  if (!size || !logical || *logical == 0 || *logical > std::numeric_limits<std::uint32_t>::max()) {
    return false;
  }
  bytes = *size * kSysfsSizeUnit;
  sectorBytes = static_cast<std::uint32_t>(*logical);
  return true;
}

void LinuxPlatform::CloseHandle(Handle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;  // never close a descriptor we did not open
  readAhead_.Drop(static_cast<int>(handle));
  ::close(static_cast<int>(handle));
  handles_.erase(it);
}

bool LinuxPlatform::QueryGeometry(Handle volume, DISK_GEOMETRY& geometry) {
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const OpenVolumeState& state = it->second;
  const unsigned kind = state.kind;
  std::uint32_t sectorBytes = 0;
  std::optional<std::uint64_t> bytes;
  if (!state.sysName.empty()) {
    std::uint64_t sysfsBytes = 0;
    if (SysfsGeometry(state, sysfsBytes, sectorBytes)) bytes = sysfsBytes;
  } else {
    bytes = BytesOfFd(static_cast<int>(volume), sectorBytes);
  }
  if (!bytes || sectorBytes == 0) return false;
  const std::uint64_t total = *bytes / sectorBytes;
  if (total == 0) return false;  // a reader slot without a card: not ready
  geometry = ExactGeometry(total, sectorBytes);
  geometry.MediaType = kind == DRIVE_REMOVABLE ? kMediaRemovable
                       : kind == DRIVE_FIXED   ? kMediaFixed
                                               : kMediaUnknown;
  return true;
}

bool LinuxPlatform::ReadAt(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                           std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/false);
}

bool LinuxPlatform::ReadAtUncached(Handle volume, std::uint64_t offset, void* buffer,
                                   std::uint32_t size, std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/true);
}

bool LinuxPlatform::Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                         std::uint32_t& bytesRead, bool uncached) {
  bytesRead = 0;
  if (buffer == nullptr && size != 0) return false;
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  OpenVolumeState& state = it->second;
  if (state.queryOnly) return false;
  const int fd = static_cast<int>(volume);
  constexpr std::uint64_t kMaxOffset = std::numeric_limits<off_t>::max();
  if (offset > kMaxOffset - size) return false;
  auto* out = static_cast<std::uint8_t*>(buffer);

  long got = 0;
  if (state.direct && !uncached && readAhead_.Covers(fd, offset, size)) {
    got = readAhead_.Take(offset, out, size);
  } else if (state.direct || (uncached && state.blockDevice)) {
    // Straight from the device: an unreadable sector fails alone, not with
    // the cache page around it. A single cached read is switched to direct
    // on its open description for this read only, which also works for a
    // descriptor that was handed to us and cannot be opened again.
    const bool switched = !state.direct && SetDirect(fd, true);
    std::uint8_t* aligned = TReadAhead::Aligned(bounce_, bounceSize_, size);
    got = state.direct || switched ? (aligned ? ReadFully(fd, offset, aligned, size) : -ENOMEM)
                                   : ReadFully(fd, offset, out, size);
    if (switched) SetDirect(fd, false);
    if (got > 0 && (state.direct || switched)) std::memcpy(out, aligned, static_cast<std::size_t>(got));
    if (got == -EINVAL && (state.direct || switched)) {
      // The device takes no direct transfers of this shape: read it cached.
      if (state.direct) state.direct = !SetDirect(fd, false);
      got = ReadFully(fd, offset, out, size);
    }
  } else {
    // The scan walks the volume from start to end; let the kernel read ahead for it.
    if (!state.advised) static_cast<void>(::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
    state.advised = true;
    got = ReadFully(fd, offset, out, size);
  }
  if (got < 0) {
    lastFailureGone_ = FailureMeansGone(static_cast<int>(-got), state);
    // The descriptor handed over for a device that went away reaches nothing any more.
    if (lastFailureGone_) DropGrant(state.path);
    return false;
  }
  bytesRead = static_cast<std::uint32_t>(got);
  return true;
}

bool LinuxPlatform::FailureMeansGone(int error, const OpenVolumeState& state) const {
  if (error == ENOMEDIUM || error == ENODEV || error == ENXIO) return true;
  // A device taken away may just answer EIO: is its node still the one we opened?
  struct stat info {};
  if (::stat(state.path.c_str(), &info) != 0) return true;
  return info.st_dev != state.nodeDevice || info.st_ino != state.nodeInode;
}

void LinuxPlatform::Prefetch(Handle volume, std::uint64_t offset, std::uint64_t size) {
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return;
  const int fd = static_cast<int>(volume);
  if (it->second.direct && size <= std::numeric_limits<std::uint32_t>::max()) {
    // A read that cannot be started now is simply made when it is asked for.
    static_cast<void>(readAhead_.Start(fd, offset, static_cast<std::uint32_t>(size)));
    return;
  }
  static_cast<void>(::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                                    POSIX_FADV_WILLNEED));
}

bool LinuxPlatform::StillReachesDevice(Handle volume) {
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const OpenVolumeState& state = it->second;
  struct stat info {};
  if (::stat(state.path.c_str(), &info) != 0) return false;
  if (info.st_dev != state.nodeDevice || info.st_ino != state.nodeInode) return false;
  if (!state.blockDevice) return true;
  // A reader whose card was taken out keeps its node but has no medium.
  std::uint64_t bytes = 0;
  return ::ioctl(static_cast<int>(volume), BLKGETSIZE64, &bytes) == 0 && bytes != 0;
}

Handle LinuxPlatform::OpenVWin32() {
  return INVALID_HANDLE_VALUE;
}

bool LinuxPlatform::VWin32DosIoctl(Handle, DIOC_REGISTERS&, std::uint8_t*) {
  return false;
}

bool LinuxPlatform::VWin32Int25(Handle, DIOC_REGISTERS&, const DISKIO&, void*) {
  return false;
}

bool LinuxPlatform::VWin32DriveInfo(Handle, DIOC_REGISTERS&, const DISKIO&, void*) {
  return false;
}

void LinuxPlatform::Enumerate() {
  std::vector<Drive> found = FindDrives();
  std::vector<std::size_t> newcomers;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const auto claim = letters_.find(found[i].path);
    if (claim != letters_.end()) {
      found[i].letter = claim->second.letter;
    } else {
      newcomers.push_back(i);
    }
  }
  // Empty slots take their letters after every other newcomer, but only when
  // letters are short: otherwise they keep their place in the order.
  std::set<std::string> openPaths;
  for (const auto& [handle, state] : handles_) openPaths.insert(state.path);
  std::vector<Drive> trial = found;
  std::map<std::string, Claim> trialClaims = letters_;
  if (GiveLetters(trial, newcomers, trialClaims, openPaths) != 0) {
    std::stable_partition(newcomers.begin(), newcomers.end(),
                          [&found](std::size_t i) { return !found[i].empty; });
  }
  GiveLetters(found, newcomers, letters_, openPaths);

  present_.clear();
  std::vector<std::string> leftOut;
  std::set<std::string> seen;
  for (Drive& drive : found) {
    seen.insert(drive.path);
    if (drive.letter == 0) {
      leftOut.push_back(drive.path);
    } else {
      present_.push_back(std::move(drive));
    }
  }
  UpdateNote(leftOut);
  // A device that went away takes its access with it: it is asked for anew.
  std::erase_if(refused_, [&seen](const auto& entry) { return !seen.contains(entry.first); });
  for (auto it = grants_.begin(); it != grants_.end();) {
    if (seen.contains(it->first)) {
      ++it;
    } else {
      ::close(it->second.fd);
      it = grants_.erase(it);
    }
  }
}

std::vector<LinuxPlatform::Drive> LinuxPlatform::FindDrives() const {
  std::vector<Drive> found;
  for (const std::string& image : imageFiles_) {
    Drive drive;
    drive.path = image;
    drive.kind = DRIVE_REMOVABLE;
    drive.rank = Rank::kImage;
    drive.empty = ImageBytes(image) == 0;
    found.push_back(std::move(drive));
  }
  std::vector<Drive> devices = FindBlockDevices();
  found.insert(found.end(), std::make_move_iterator(devices.begin()),
               std::make_move_iterator(devices.end()));
  // Stable: the images keep their command-line order, ahead of attached loops.
  std::stable_sort(found.begin(), found.end(),
                   [](const Drive& a, const Drive& b) { return a.rank < b.rank; });
  // A device node named as an image is listed once, where it comes first.
  std::set<std::string> seen;
  std::erase_if(found, [&seen](const Drive& drive) { return !seen.insert(drive.path).second; });
  return found;
}

std::vector<LinuxPlatform::Drive> LinuxPlatform::FindBlockDevices() const {
  const fs::path root(sysBlockDir_);
  std::vector<Drive> devices;
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const fs::path dir = root / name;
    std::error_code dirError;
    if (!fs::is_directory(dir, dirError)) continue;
    if (ReadNumber(dir / "hidden").value_or(0) == 1) continue;  // no usable node behind it
    const std::string diskName = Exists(dir / "partition") ? ParentDiskOf(root, name) : name;
    const bool loop = diskName.starts_with("loop");
    if (loop) {
      const std::string backing = LoopBackingFile(root / diskName);
      if (backing.empty()) continue;
      if (IsSystemImage(backing, ReadNumber(root / diskName / "ro").value_or(0) == 1)) continue;
    }
    Drive drive;
    drive.path = devDir_ + "/" + name;
    drive.name = name;
    drive.diskName = diskName;
    drive.kind = KindOf(diskName);
    // A loop the user attached is a card image like those on the command line.
    drive.rank = loop ? Rank::kImage : drive.kind == DRIVE_REMOVABLE ? Rank::kReader : Rank::kOther;
    drive.empty = ReadNumber(dir / "size").value_or(0) == 0;
    devices.push_back(std::move(drive));
  }
  // Partitions right after their disk, and numbers in the order people count.
  std::sort(devices.begin(), devices.end(), [](const Drive& a, const Drive& b) {
    if (a.diskName != b.diskName) return NaturalNameLess(a.diskName, b.diskName);
    const bool aPartition = a.name != a.diskName;
    const bool bPartition = b.name != b.diskName;
    if (aPartition != bPartition) return bPartition;
    return NaturalNameLess(a.name, b.name);
  });
  return devices;
}

unsigned LinuxPlatform::KindOf(const std::string& diskName) const {
  const auto family = [&diskName](std::string_view prefix) { return diskName.starts_with(prefix); };
  if (family("sr")) return DRIVE_CDROM;
  if (family("ram") || family("zram")) return DRIVE_RAMDISK;
  if (family("loop") || family("mmcblk") || family("fd")) return DRIVE_REMOVABLE;
  const std::uint64_t removable =
      ReadNumber(fs::path(sysBlockDir_) / diskName / "removable").value_or(0);
  if (removable == 1) return DRIVE_REMOVABLE;
  for (std::string_view prefix : {"sd", "hd", "vd", "xvd", "nvme", "dm-", "md"}) {
    if (family(prefix)) return DRIVE_FIXED;
  }
  return DRIVE_UNKNOWN;
}

std::size_t LinuxPlatform::GiveLetters(std::vector<Drive>& found,
                                       const std::vector<std::size_t>& order,
                                       std::map<std::string, Claim>& claims,
                                       const std::set<std::string>& openPaths) {
  std::set<std::string> presentPaths;
  for (const Drive& drive : found) presentPaths.insert(drive.path);

  const auto freeLetter = [&claims](const Drive& drive) -> char {
    if (drive.name == "fd0") return 'A';
    if (drive.name == "fd1") return 'B';
    std::set<char> taken;
    for (const auto& [path, claim] : claims) taken.insert(claim.letter);
    const char last = drive.rank == Rank::kOther
                          ? static_cast<char>(kLastLetter - kLettersKeptForReaders)
                          : kLastLetter;
    for (char candidate = kFirstHardLetter; candidate <= last; ++candidate) {
      if (!taken.contains(candidate)) return candidate;
    }
    return 0;
  };
  // A departed device's letter: the least wanted kind gives first, then the
  // lowest letter, so that a disk and its partitions stay in letter order.
  const auto departedLetter = [&claims, &presentPaths]() -> char {
    auto victim = claims.end();
    for (auto it = claims.begin(); it != claims.end(); ++it) {
      if (presentPaths.contains(it->first) || it->second.letter < kFirstHardLetter) continue;
      if (victim == claims.end() || it->second.rank > victim->second.rank ||
          (it->second.rank == victim->second.rank && it->second.letter < victim->second.letter)) {
        victim = it;
      }
    }
    if (victim == claims.end()) return 0;
    const char letter = victim->second.letter;
    claims.erase(victim);
    return letter;
  };
  // The letter of the last drive listed that passes the test; it goes without.
  const auto letterOfLast = [&claims, &found](auto test) -> char {
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
      if (it->letter < kFirstHardLetter || !test(*it)) continue;
      const char letter = it->letter;
      claims.erase(it->path);
      it->letter = 0;
      return letter;
    }
    return 0;
  };
  // With nothing to read, no scan can have been started on it under that letter.
  const auto isEmptySlot = [](const Drive& drive) { return drive.empty; };
  // A disk that is not open cannot be read under its old letter by mistake.
  const auto isClosedFixedDisk = [&openPaths](const Drive& drive) {
    return drive.rank == Rank::kOther && !openPaths.contains(drive.path);
  };

  for (std::size_t index : order) {
    Drive& drive = found[index];
    char letter = freeLetter(drive);
    // A card reader with a card in it is never the one left out, and an
    // image with something in it comes close.
    const bool wanted = !drive.empty && drive.rank != Rank::kOther;
    if (letter == 0 && wanted) letter = departedLetter();
    if (letter == 0 && wanted) letter = letterOfLast(isEmptySlot);
    if (letter == 0 && wanted && drive.rank == Rank::kReader) {
      letter = letterOfLast(isClosedFixedDisk);
    }
    if (letter == 0) continue;
    drive.letter = letter;
    // A letter stays reserved for its device even while the device is away.
    claims[drive.path] = Claim{letter, drive.rank};
  }
  return static_cast<std::size_t>(
      std::count_if(found.begin(), found.end(), [](const Drive& d) { return d.letter == 0; }));
}

void LinuxPlatform::UpdateNote(const std::vector<std::string>& leftOut) {
  std::string note;
  if (!leftOut.empty()) {
    note = "No drive letter left for " + std::to_string(leftOut.size()) +
           (leftOut.size() == 1 ? " more drive: " : " more drives: ");
    for (std::size_t i = 0; i < leftOut.size() && i < kNamesInNote; ++i) {
      note += (i == 0 ? "" : ", ") + leftOut[i];
    }
    if (leftOut.size() > kNamesInNote) {
      note += " and " + std::to_string(leftOut.size() - kNamesInNote) + " more";
    }
  }
  // Said when it changes, not again at every Refresh.
  if (!note.empty() && note != note_) std::fprintf(stderr, "fernhollow: %s\n", note.c_str());
  note_ = std::move(note);
  // The window hides CD-ROM drives, so the note goes to the last drive it shows.
  noteLetter_ = 0;
  if (note_.empty()) return;
  for (auto it = present_.rbegin(); it != present_.rend(); ++it) {
    if (it->kind != DRIVE_CDROM) {
      noteLetter_ = it->letter;
      break;
    }
  }
}

bool LinuxPlatform::IsDevice(const Drive& drive) const {
  return !drive.name.empty() || IsBlockNode(drive.path);
}

const LinuxPlatform::Drive* LinuxPlatform::FindDrive(char letter) const {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (const Drive& drive : present_) {
    if (drive.letter == upper) return &drive;
  }
  return nullptr;
}
