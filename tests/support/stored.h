// SPDX-License-Identifier: GPL-3.0-or-later
// Reads back what a scan stored: expands a ".rdf" file the way a recover
// does, into a scratch file, and returns its bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "compress/zlibtool.h"
#include "tests/support/tempdir.h"

inline std::vector<std::uint8_t> ExpandStored(const std::string& storedFile,
                                              const std::filesystem::path& scratchFolder) {
  TZlibTool zlib;
  zlib.InputFile = storedFile;
  zlib.OutputFile = (scratchFolder / "restored.bin").string();
  zlib.Decompress();
  return ReadBytes(zlib.OutputFile);
}
