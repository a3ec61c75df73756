// SPDX-License-Identifier: GPL-3.0-or-later
// The file-to-file compressor behind the stored ".rdf" files: one standard
// zstd frame with the content size and a checksum, so `zstd -d` opens it too.
// Every use sets InputFile, then OutputFile, then calls one method. When the
// method returns, the output is complete and closed under its name; a method
// that cannot produce its output raises TZlibError instead, leaves no partial
// file and any earlier file of that name as it was. The input is only read.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TZlibError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TZlibTool {
 public:
  TZlibTool();
  ~TZlibTool();
  TZlibTool(const TZlibTool&) = delete;
  TZlibTool& operator=(const TZlibTool&) = delete;

  std::string InputFile;
  std::string OutputFile;
  // Set by a signal handler to give up an expansion between two blocks (it
  // then raises TZlibError and leaves no partial output); null: never.
  const volatile std::sig_atomic_t* Abort = nullptr;

  std::int16_t Compress();
  std::int16_t Decompress();

 private:
  struct Streams;
  std::unique_ptr<Streams> streams_;  // made once, reused by every call
  std::vector<std::uint8_t> in_;
  std::vector<std::uint8_t> out_;
};
