// SPDX-License-Identifier: GPL-3.0-or-later
// Device nodes the system refuses to open to anyone, root included, as a
// container's device rules or a security module refuse a device: a tmpfs
// mounted nodev for the life of the object, block nodes made on it. Needs
// root; Ready() says whether it worked.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

class TRefusedNodes {
 public:
  explicit TRefusedNodes(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    mounted_ = ::geteuid() == 0 &&
               ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NODEV | MS_NOSUID, "size=64k") == 0;
  }
  ~TRefusedNodes() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  TRefusedNodes(const TRefusedNodes&) = delete;
  TRefusedNodes& operator=(const TRefusedNodes&) = delete;

  // A block node called name that the system refuses with EACCES; false when
  // this machine would not make one so.
  bool Add(const std::string& name) {
    const std::filesystem::path node = folder_ / name;
    if (!mounted_ || ::mknod(node.c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0) return false;
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EACCES;
  }

  const std::filesystem::path& Folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
};
