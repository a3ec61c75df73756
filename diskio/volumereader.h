// SPDX-License-Identifier: GPL-3.0-or-later
// Reading an open volume. Devices are read past the page cache, whose large
// pages would fail good sectors beside a bad one; the next chunk is fetched
// ahead (TReadAhead) while the current one is carved. Image files, whose
// sectors cannot be bad, keep the cache and the kernel's read-ahead. A failed
// read is told apart: the medium or device gone, or a bad sector.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "diskio/deviceaccess.h"
#include "diskio/readahead.h"

// How one open volume is read.
struct TVolumeReadState {
  std::string path;  // the node or file it was opened through
  TNodeId node;      // that node, when opened
  bool blockDevice = false;
  bool queryOnly = false;  // an O_PATH handle: geometry, never data
  bool direct = false;     // read past the page cache
  bool advised = false;    // the kernel was told the reads go in sequence
};

enum class TReadOutcome { kRead, kFailed, kGone };

// After a failed read (error is its errno): whether the medium or the device
// is gone, rather than a sector unreadable. A reader taken away may just
// answer EIO, so the node is asked too: gone, or re-created since the volume
// was opened (a reader put back), the old descriptor reaches nothing.
bool FailureMeansGone(int error, const std::string& path, const TNodeId& node);

class TVolumeReader {
 public:
  // Sets up a volume just opened: a device open for reading goes past the cache.
  static void Opened(int fd, TVolumeReadState& state);

  // Forgets any read ahead of fd, before fd is closed.
  void Closing(int fd) { readAhead_.Drop(fd); }

  // Reads size bytes at offset through fd; bytesRead is short only at the end
  // of the volume. uncached reads straight from a device, so an unreadable
  // sector fails alone.
  TReadOutcome Read(int fd, TVolumeReadState& state, std::uint64_t offset, void* buffer,
                    std::uint32_t size, std::uint32_t& bytesRead, bool uncached);

  // Asks for a range to be on its way while the caller works.
  void Prefetch(int fd, const TVolumeReadState& state, std::uint64_t offset, std::uint64_t size);

 private:
  long ReadDirect(int fd, TVolumeReadState& state, std::uint64_t offset, std::uint8_t* out,
                  std::uint32_t size);

  std::unique_ptr<std::uint8_t, void (*)(void*)> bounce_{nullptr, std::free};  // direct reads
  std::size_t bounceSize_ = 0;
  TReadAhead readAhead_;
};
