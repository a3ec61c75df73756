// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/readahead.h"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Kernel asynchronous I/O is truly asynchronous for direct reads of block
// devices, and needs no library: the plain system calls.
long IoSetup(unsigned events, aio_context_t* context) {
  return ::syscall(SYS_io_setup, events, context);
}
long IoDestroy(aio_context_t context) {
  return ::syscall(SYS_io_destroy, context);
}
long IoSubmit(aio_context_t context, long count, iocb** requests) {
  return ::syscall(SYS_io_submit, context, count, requests);
}
long IoGetEvents(aio_context_t context, long least, long most, io_event* events) {
  return ::syscall(SYS_io_getevents, context, least, most, events, nullptr);
}

constexpr std::size_t kAlign = 4096;

}  // namespace

TReadAhead::~TReadAhead() {
  if (pending_) Collect();
  if (context_ != 0) IoDestroy(context_);
}

std::uint8_t* TReadAhead::Aligned(std::unique_ptr<std::uint8_t, void (*)(void*)>& memory,
                                  std::size_t& capacity, std::size_t size) {
  const std::size_t want = (size + kAlign - 1) / kAlign * kAlign;
  if (capacity < want || !memory) {
    void* block = nullptr;
    if (::posix_memalign(&block, kAlign, want) != 0) block = nullptr;
    memory.reset(static_cast<std::uint8_t*>(block));
    capacity = block != nullptr ? want : 0;
  }
  return memory.get();
}

bool TReadAhead::Start(int fd, std::uint64_t offset, std::uint32_t size) {
  if (pending_) Collect();
  fd_ = -1;
  if (context_ == 0) {
    aio_context_t context = 0;
    if (IoSetup(1, &context) != 0) return false;
    context_ = context;
  }
  std::uint8_t* target = Aligned(buffer_, capacity_, size);
  if (target == nullptr) return false;
  iocb request{};
  request.aio_lio_opcode = IOCB_CMD_PREAD;
  request.aio_fildes = static_cast<std::uint32_t>(fd);
  request.aio_buf = reinterpret_cast<std::uintptr_t>(target);
  request.aio_nbytes = size;
  request.aio_offset = static_cast<std::int64_t>(offset);
  iocb* requests[] = {&request};
  if (IoSubmit(context_, 1, requests) != 1) return false;
  fd_ = fd;
  offset_ = offset;
  size_ = size;
  pending_ = true;
  return true;
}

bool TReadAhead::Covers(int fd, std::uint64_t offset, std::uint32_t size) const {
  return fd_ >= 0 && fd == fd_ && offset >= offset_ && offset + size <= offset_ + size_;
}

void TReadAhead::Collect() {
  io_event event{};
  long got = 0;
  do {
    got = IoGetEvents(context_, 1, 1, &event);
  } while (got < 0 && errno == EINTR);
  result_ = got == 1 ? static_cast<long>(event.res) : -EIO;
  pending_ = false;
}

long TReadAhead::Take(std::uint64_t offset, void* buffer, std::uint32_t size) {
  if (pending_) Collect();
  if (result_ < 0) {
    fd_ = -1;  // asked for once; a retry goes to the device
    return result_;
  }
  const std::uint64_t from = offset - offset_;
  const std::uint64_t got = static_cast<std::uint64_t>(result_);
  const std::uint64_t count = got > from ? std::min<std::uint64_t>(got - from, size) : 0;
  if (count != 0) std::memcpy(buffer, buffer_.get() + from, count);
  return static_cast<long>(count);
}

void TReadAhead::Drop(int fd) {
  if (fd != fd_) return;
  if (pending_) Collect();
  fd_ = -1;
}
