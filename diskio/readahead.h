// SPDX-License-Identifier: GPL-3.0-or-later
// One asynchronous read of a block device opened for direct I/O: the next
// chunk is on its way from the card while the current one is carved. Direct
// reads bypass the page cache, whose large pages would fail good sectors
// beside a bad one and whose read-ahead would hit bad sectors again and again;
// so the kernel's own read-ahead is gone, and this takes its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

class TReadAhead {
 public:
  TReadAhead() = default;
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // Starts reading size bytes at offset of fd. Any read still under way is
  // waited for and dropped first. False when no asynchronous read could be
  // started (the caller then reads synchronously).
  bool Start(int fd, std::uint64_t offset, std::uint32_t size);

  // Whether the started read covers these bytes of fd.
  bool Covers(int fd, std::uint64_t offset, std::uint32_t size) const;

  // Waits for the read and copies what it got of the range into buffer.
  // Returns the bytes copied (short at the end of the device), or -errno when
  // the read failed; a failed read is forgotten, so a retry reaches the device.
  long Take(std::uint64_t offset, void* buffer, std::uint32_t size);

  // Waits for a read under way on fd and forgets it (before fd is closed).
  void Drop(int fd);

  // An aligned buffer for direct transfers, kept between uses.
  static std::uint8_t* Aligned(std::unique_ptr<std::uint8_t, void (*)(void*)>& memory,
                               std::size_t& capacity, std::size_t size);

 private:
  void Collect();

  unsigned long context_ = 0;  // aio_context_t
  std::unique_ptr<std::uint8_t, void (*)(void*)> buffer_{nullptr, std::free};
  std::size_t capacity_ = 0;
  int fd_ = -1;
  std::uint64_t offset_ = 0;
  std::uint32_t size_ = 0;
  bool pending_ = false;  // submitted, not collected
  long result_ = 0;       // bytes read or -errno, once collected
};
