// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/volumereader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace {

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

}  // namespace

bool FailureMeansGone(int error, const std::string& path, const TNodeId& node) {
  if (error == ENOMEDIUM || error == ENODEV || error == ENXIO) return true;
  return NodeIdAt(path) != node;
}

void TVolumeReader::Opened(int fd, TVolumeReadState& state) {
  state.direct = !state.queryOnly && state.blockDevice && SetDirect(fd, true);
}

TReadOutcome TVolumeReader::Read(int fd, TVolumeReadState& state, std::uint64_t offset,
                                 void* buffer, std::uint32_t size, std::uint32_t& bytesRead,
                                 bool uncached) {
  bytesRead = 0;
  if ((buffer == nullptr && size != 0) || state.queryOnly) return TReadOutcome::kFailed;
  constexpr std::uint64_t kMaxOffset = std::numeric_limits<off_t>::max();
  if (offset > kMaxOffset - size) return TReadOutcome::kFailed;
  auto* out = static_cast<std::uint8_t*>(buffer);

  long got = 0;
  if (state.direct && !uncached && readAhead_.Covers(fd, offset, size)) {
    got = readAhead_.Take(offset, out, size);
  } else if (state.direct || (uncached && state.blockDevice)) {
    got = ReadDirect(fd, state, offset, out, size);
  } else {
    // The scan walks the volume from start to end; let the kernel read ahead for it.
    if (!state.advised) static_cast<void>(::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL));
    state.advised = true;
    got = ReadFully(fd, offset, out, size);
  }
  if (got < 0) {
    return FailureMeansGone(static_cast<int>(-got), state.path, state.node) ? TReadOutcome::kGone
                                                                            : TReadOutcome::kFailed;
  }
  bytesRead = static_cast<std::uint32_t>(got);
  return TReadOutcome::kRead;
}

long TVolumeReader::ReadDirect(int fd, TVolumeReadState& state, std::uint64_t offset,
                               std::uint8_t* out, std::uint32_t size) {
  // Straight from the device: an unreadable sector fails alone, not with the
  // cache page around it. A single cached read is switched to direct on its
  // open description for this read only, which also works for a descriptor
  // that was handed to us and cannot be opened again.
  const bool switched = !state.direct && SetDirect(fd, true);
  const bool direct = state.direct || switched;
  std::uint8_t* aligned = TReadAhead::Aligned(bounce_, bounceSize_, size);
  long got = direct ? (aligned ? ReadFully(fd, offset, aligned, size) : -ENOMEM)
                    : ReadFully(fd, offset, out, size);
  if (switched) SetDirect(fd, false);
  if (got > 0 && direct) std::memcpy(out, aligned, static_cast<std::size_t>(got));
  if (got == -EINVAL && direct) {
    // The device takes no direct transfers of this shape: read it cached.
    if (state.direct) state.direct = !SetDirect(fd, false);
    got = ReadFully(fd, offset, out, size);
  }
  return got;
}

void TVolumeReader::Prefetch(int fd, const TVolumeReadState& state, std::uint64_t offset,
                             std::uint64_t size) {
  if (state.direct && size <= std::numeric_limits<std::uint32_t>::max()) {
    // A read that cannot be started now is simply made when it is asked for.
    static_cast<void>(readAhead_.Start(fd, offset, static_cast<std::uint32_t>(size)));
    return;
  }
  static_cast<void>(::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                                    POSIX_FADV_WILLNEED));
}
