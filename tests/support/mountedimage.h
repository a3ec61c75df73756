// SPDX-License-Identifier: GPL-3.0-or-later
// A small ext4 image, made and mounted through a loop device for the life of
// the object: a medium with a file system on it, as a card is. Needs root,
// mkfs.ext4 and loop mounts; Mounted() says whether it worked.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TMountedImage {
 public:
  explicit TMountedImage(const std::filesystem::path& folder)
      : image_(folder / "fs.img"), mount_(folder / "mnt") {
    std::filesystem::create_directories(mount_);
    mounted_ = std::system(("truncate -s 8M " + image_.string() + " && mkfs.ext4 -q -F " +
                            image_.string() + " >/dev/null 2>&1 && mount -o loop " +
                            image_.string() + " " + mount_.string() + " 2>/dev/null")
                               .c_str()) == 0;
  }
  ~TMountedImage() {
    if (mounted_) static_cast<void>(std::system(("umount -d " + mount_.string()).c_str()));
  }
  TMountedImage(const TMountedImage&) = delete;
  TMountedImage& operator=(const TMountedImage&) = delete;

  bool Mounted() const { return mounted_; }
  const std::filesystem::path& Image() const { return image_; }
  const std::filesystem::path& MountPoint() const { return mount_; }

 private:
  std::filesystem::path image_;
  std::filesystem::path mount_;
  bool mounted_ = false;
};
