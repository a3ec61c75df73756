// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Names already taken (a probe of another instance) are passed over; past
// this many something else is wrong, and it is said as it is.
constexpr int kProbeNames = 100;

}  // namespace

TDestinationState CheckDestinationFolder(const std::string& folder, std::string& problem) {
  problem.clear();
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    const int error = errno;
    problem = std::strerror(error);
    return error == ENOENT ? TDestinationState::Missing : TDestinationState::Unusable;
  }
  if (!S_ISDIR(info.st_mode)) {
    problem = std::strerror(ENOTDIR);
    return TDestinationState::Unusable;
  }
  const std::string base = folder + (folder.ends_with('/') ? "" : "/") + ".fernhollow-write-test-" +
                           std::to_string(::getpid()) + "-";
  int error = EEXIST;
  for (int n = 0; n < kProbeNames && error == EEXIST; ++n) {
    const std::string probe = base + std::to_string(n);
    // O_EXCL: only a file made here and now is removed again.
    const int fd =
        ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(probe.c_str());
      return TDestinationState::Writable;
    }
    error = errno;
  }
  problem = std::strerror(error);
  return TDestinationState::Unusable;
}

std::string MakeDestinationFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return error ? error.message() : std::string();
}
