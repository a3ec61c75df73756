// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/deviceaccess.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint32_t kImageSectorBytes = 512;

TNodeId IdOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Whether a descriptor (got) reaches what a node (node) stands for: the same
// device for a device node, the same file otherwise.
bool SameNode(const struct stat& node, const struct stat& got) {
  if (S_ISBLK(node.st_mode)) return S_ISBLK(got.st_mode) && node.st_rdev == got.st_rdev;
  return node.st_dev == got.st_dev && node.st_ino == got.st_ino;
}

TOpenedNode Describe(int fd) {
  TOpenedNode opened;
  opened.fd = fd;
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    opened.blockDevice = S_ISBLK(info.st_mode);
    opened.node = IdOf(info);
  }
  return opened;
}

}  // namespace

std::optional<TNodeId> NodeIdAt(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return IdOf(info);
}

bool IsBlockNode(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

bool StillReaches(int fd, const std::string& path, const TNodeId& node) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || IdOf(info) != node) return false;
  if (!S_ISBLK(info.st_mode)) return true;
  std::uint64_t bytes = 0;
  return ::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes != 0;
}

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

std::uint64_t BytesAtPath(const std::string& path) {
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

bool PassesOverFilePermissions() {
  // The thread's own set, as capget reports it: no libcap for one bit.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return (data[CAP_TO_INDEX(CAP_DAC_OVERRIDE)].effective & CAP_TO_MASK(CAP_DAC_OVERRIDE)) != 0;
}

std::string SystemRefusal(const std::string& path, int error) {
  return "The system refuses to open " + path + ": " + std::strerror(error);
}

TDeviceAccess::~TDeviceAccess() {
  for (const auto& [path, grant] : grants_) ::close(grant.fd);
}

void TDeviceAccess::SetOpener(DeviceOpener opener) {
  opener_ = std::move(opener);
}

TOpenedNode TDeviceAccess::OpenForQuery(const std::string& path) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  return fd < 0 ? TOpenedNode{} : Describe(fd);
}

TOpenedNode TDeviceAccess::OpenForReading(const std::string& path, bool isDevice, bool mayAsk,
                                          std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) return Describe(fd);  // root and the disk group need nobody's leave
  const int error = errno;
  if (!isDevice || (error != EACCES && error != EPERM)) {
    why = "Cannot open " + path + ": " + std::strerror(error);
    return {};
  }
  // Root was refused by the system itself, not for want of rights: udisks2
  // can grant nothing more, and its absence would be the wrong reason to give.
  if (PassesOverFilePermissions()) {
    why = SystemRefusal(path, error);
    return {};
  }
  const TGrant* grant = LiveGrant(path);
  if (grant == nullptr) {
    if (!opener_) {
      why = "No permission to read " + path;
      return {};
    }
    const auto refusal = refused_.find(path);
    if (!mayAsk && refusal != refused_.end()) {
      why = refusal->second;
      return {};
    }
    grant = AskOpener(path, why);
    if (grant == nullptr) return {};
  }
  const int copy = ::fcntl(grant->fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    why = "Cannot open " + path + ": " + std::strerror(errno);
    return {};
  }
  TOpenedNode opened = Describe(copy);
  // Opened by someone else, maybe through another /dev: our node is the one to watch.
  opened.node = grant->node;
  return opened;
}

const TDeviceAccess::TGrant* TDeviceAccess::AskOpener(const std::string& path, std::string& why) {
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
  Forget(path);
  TGrant& grant = grants_[path];
  grant.fd = fd;
  grant.node = IdOf(node);
  return &grant;
}

const TDeviceAccess::TGrant* TDeviceAccess::LiveGrant(const std::string& path) {
  const auto it = grants_.find(path);
  if (it == grants_.end()) return nullptr;
  if (!StillReaches(it->second.fd, path, it->second.node)) {
    Forget(path);
    return nullptr;
  }
  return &it->second;
}

void TDeviceAccess::Forget(const std::string& path) {
  const auto it = grants_.find(path);
  if (it == grants_.end()) return;
  ::close(it->second.fd);
  grants_.erase(it);
}

void TDeviceAccess::KeepOnly(const std::set<std::string>& present) {
  std::erase_if(refused_, [&present](const auto& entry) { return !present.contains(entry.first); });
  for (auto it = grants_.begin(); it != grants_.end();) {
    if (present.contains(it->first)) {
      ++it;
    } else {
      ::close(it->second.fd);
      it = grants_.erase(it);
    }
  }
}
