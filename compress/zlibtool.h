// The file-to-file compressor behind the stored ".rdf" files. Every use sets
// InputFile, then OutputFile, then calls one method; a method that cannot
// produce its output raises TZlibError instead of returning.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class TZlibError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TZlibTool {
 public:
  std::string InputFile;
  std::string OutputFile;

  std::int16_t Compress();
  std::int16_t Decompress();
};
