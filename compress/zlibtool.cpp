// SPDX-License-Identifier: GPL-3.0-or-later
#include "compress/zlibtool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

namespace {

// JPEG data does not compress, and the store is on the scan's path: zstd's
// first fast level stores photos about seven times faster than level 1 at
// the same size, and still shrinks bitmaps and sound.
constexpr int kLevel = -1;
constexpr std::size_t kBufferSize = 1 << 20;

std::string Cause() {
  return std::strerror(errno);
}

// The mode a plain open(0666) would give: mkstemp makes its files 0600, and
// recovered photos must be as readable as any other file the user makes.
// Read at every use, so a changed umask counts.
mode_t CreationMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

class TInput {
 public:
  explicit TInput(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw TZlibError("Could not read " + path + ": " + Cause());
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd_);
      throw TZlibError("Could not read " + path + ": not a regular file");
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  ~TInput() { ::close(fd_); }
  TInput(const TInput&) = delete;
  TInput& operator=(const TInput&) = delete;

  std::uint64_t Size() const { return size_; }

  // Fills up to size bytes; 0 at the end of the file.
  std::size_t Read(std::uint8_t* buffer, std::size_t size) {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throw TZlibError("Could not read " + path_ + ": " + Cause());
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// The folder part of a path, with its trailing "/"; empty for a bare name.
std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A temporary beside the output, renamed over it only when complete. Its name
// is short and fixed in length: one derived from the output's would exceed
// the file-name limit where the output's name is near it.
class TOutput {
 public:
  explicit TOutput(const std::string& path) : path_(path), temp_(FolderOf(path) + ".fh-XXXXXX") {
    fd_ = ::mkstemp(temp_.data());
    if (fd_ < 0) throw TZlibError("Could not create " + path + ": " + Cause());
    ::fchmod(fd_, CreationMode());
  }
  ~TOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temp_.c_str());
  }
  TOutput(const TOutput&) = delete;
  TOutput& operator=(const TOutput&) = delete;

  void Write(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw TZlibError("Could not write " + path_ + ": " + Cause());
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  void Commit() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw TZlibError("Could not write " + path_ + ": " + Cause());
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
      throw TZlibError("Could not create " + path_ + ": " + Cause());
    }
    committed_ = true;
  }

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

void CheckPaths(const std::string& input, const std::string& output) {
  if (input.empty() || output.empty()) throw TZlibError("No input or output file given");
  struct stat a {
  }, b{};
  if (input == output || (::stat(input.c_str(), &a) == 0 && ::stat(output.c_str(), &b) == 0 &&
                          a.st_dev == b.st_dev && a.st_ino == b.st_ino)) {
    throw TZlibError("Input and output are the same file: " + input);
  }
}

}  // namespace

struct TZlibTool::Streams {
  ZSTD_CCtx* compress = nullptr;
  ZSTD_DCtx* decompress = nullptr;
  ~Streams() {
    ZSTD_freeCCtx(compress);
    ZSTD_freeDCtx(decompress);
  }
};

TZlibTool::TZlibTool() : streams_(std::make_unique<Streams>()) {}
TZlibTool::~TZlibTool() = default;

std::int16_t TZlibTool::Compress() {
  CheckPaths(InputFile, OutputFile);
  TInput input(InputFile);
  if (streams_->compress == nullptr) {
    streams_->compress = ZSTD_createCCtx();
    if (streams_->compress == nullptr) throw TZlibError("Out of memory for the compressor");
  }
  ZSTD_CCtx* cctx = streams_->compress;
  ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kLevel);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setPledgedSrcSize(cctx, input.Size());

  in_.resize(kBufferSize);
  out_.resize(ZSTD_compressBound(kBufferSize));
  TOutput output(OutputFile);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t got = input.Read(in_.data(), in_.size());
    total += got;
    // A file that grows while it is read would break the pledged size.
    if (total > input.Size()) throw TZlibError(InputFile + " changed while it was stored");
    const ZSTD_EndDirective mode = got == 0 ? ZSTD_e_end : ZSTD_e_continue;
    ZSTD_inBuffer source{in_.data(), got, 0};
    for (;;) {
      ZSTD_outBuffer target{out_.data(), out_.size(), 0};
      const std::size_t left = ZSTD_compressStream2(cctx, &target, &source, mode);
      if (ZSTD_isError(left)) {
        throw TZlibError("Could not compress " + InputFile + ": " + ZSTD_getErrorName(left));
      }
      output.Write(out_.data(), target.pos);
      if (mode == ZSTD_e_end ? left == 0 : source.pos == source.size) break;
    }
    if (got == 0) break;
  }
  if (total != input.Size()) throw TZlibError(InputFile + " changed while it was stored");
  output.Commit();
  return 0;
}

std::int16_t TZlibTool::Decompress() {
  CheckPaths(InputFile, OutputFile);
  TInput input(InputFile);
  if (streams_->decompress == nullptr) {
    streams_->decompress = ZSTD_createDCtx();
    if (streams_->decompress == nullptr) throw TZlibError("Out of memory for the decompressor");
  }
  ZSTD_DCtx* dctx = streams_->decompress;
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);

  in_.resize(kBufferSize);
  out_.resize(ZSTD_DStreamOutSize() * 8);
  TOutput output(OutputFile);
  const auto damaged = [this](const std::string& why) {
    return TZlibError(InputFile + " is damaged: " + why);
  };

  // The frame header tells the size the content must have.
  std::size_t got = input.Read(in_.data(), in_.size());
  const unsigned long long expected = ZSTD_getFrameContentSize(in_.data(), got);
  if (expected == ZSTD_CONTENTSIZE_ERROR) throw damaged("not a stored file");

  std::uint64_t produced = 0;
  bool frameDone = false;
  while (got > 0) {
    ZSTD_inBuffer source{in_.data(), got, 0};
    while (source.pos < source.size) {
      if (frameDone) throw damaged("data after the end of the stored file");
      ZSTD_outBuffer target{out_.data(), out_.size(), 0};
      const std::size_t hint = ZSTD_decompressStream(dctx, &target, &source);
      if (ZSTD_isError(hint)) throw damaged(ZSTD_getErrorName(hint));
      output.Write(out_.data(), target.pos);
      produced += target.pos;
      if (hint == 0) frameDone = true;
    }
    if (Abort != nullptr && *Abort != 0)
      throw TZlibError("Stopped before " + OutputFile + " was complete");
    got = input.Read(in_.data(), in_.size());
  }
  // Flush whatever the decoder still holds of a finished frame.
  while (!frameDone) {
    ZSTD_inBuffer source{nullptr, 0, 0};
    ZSTD_outBuffer target{out_.data(), out_.size(), 0};
    const std::size_t hint = ZSTD_decompressStream(dctx, &target, &source);
    if (ZSTD_isError(hint)) throw damaged(ZSTD_getErrorName(hint));
    output.Write(out_.data(), target.pos);
    produced += target.pos;
    if (hint == 0) {
      frameDone = true;
    } else if (target.pos == 0) {
      throw damaged("the stored file is cut short");
    }
  }
  if (expected != ZSTD_CONTENTSIZE_UNKNOWN && produced != expected) {
    throw damaged("its size does not match");
  }
  output.Commit();
  return 0;
}
