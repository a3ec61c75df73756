// SPDX-License-Identifier: GPL-3.0-or-later
// Lets a test run as root meet "Permission denied" where an ordinary user
// would: while it lives, the calling thread loses its rights to pass over file
// permissions (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH), which come back at the
// end. For an ordinary user there is nothing to take away.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

class TWithoutFileRights {
 public:
  TWithoutFileRights() {
    if (!Get(saved_)) return;
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = Set(lowered);
  }
  ~TWithoutFileRights() {
    if (dropped_) Set(saved_);
  }
  TWithoutFileRights(const TWithoutFileRights&) = delete;
  TWithoutFileRights& operator=(const TWithoutFileRights&) = delete;

  // Whether a file nobody may read now fails to open, as it would for a user.
  static bool Denied(const std::filesystem::path& scratch) {
    std::ofstream(scratch) << "x";
    std::filesystem::permissions(scratch, std::filesystem::perms::none);
    const int fd = ::open(scratch.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    std::filesystem::remove(scratch);
    return fd < 0;
  }

 private:
  static bool Get(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
  }
  static bool Set(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
  }

  __user_cap_data_struct saved_[2] = {};
  bool dropped_ = false;
};
