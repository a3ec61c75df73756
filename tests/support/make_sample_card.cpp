// SPDX-License-Identifier: GPL-3.0-or-later
// make_sample_card IMAGE [--size 32M|1G|BYTES] [--fill 0.6] [--full] [--no-other] [--traps]
//                  [--fragments] [--cluster SECTORS] [--seed N]
// Writes a raw card image to scan, and IMAGE.manifest with what lies where.
// --traps lays it out with the traps of real cards (see samplecard.h);
// --fragments with files in pieces, as after deletions, and IMAGE.pieces
// (see fragmentcard.h; 64M unless --size says otherwise).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/support/fragmentcard.h"
#include "tests/support/samplecard.h"

namespace {

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  std::uint64_t unit = 1;
  if (*end == 'K')
    unit = 1ull << 10, ++end;
  else if (*end == 'M')
    unit = 1ull << 20, ++end;
  else if (*end == 'G')
    unit = 1ull << 30, ++end;
  bytes = value * unit;
  return end != text.c_str() && *end == '\0' && bytes >= (1u << 20) && bytes % 512 == 0;
}

int Usage(std::FILE* to = stderr) {
  std::fprintf(to,
               "usage: make_sample_card IMAGE [--size 32M|1G|BYTES] [--fill 0.6] [--full] "
               "[--no-other] [--traps] [--fragments] [--cluster SECTORS] [--seed N]\n");
  return to == stderr ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  // An option in IMAGE's place would otherwise name a 32 MB image "--help".
  const std::string image = argv[1];
  if (image == "--help" || image == "-h") return Usage(stdout);
  if (image.starts_with("-")) return Usage();
  SampleCardOptions options;
  TFragmentCardOptions fragmentOptions;
  bool fragmented = false, sized = false, filled = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--size" && hasValue) {
      if (!ParseSize(argv[++i], options.bytes)) return Usage();
      sized = true;
    } else if (arg == "--fill" && hasValue) {
      options.photoFill = std::atof(argv[++i]);
      if (options.photoFill <= 0 || options.photoFill >= 1) return Usage();
      filled = true;
    } else if (arg == "--seed" && hasValue) {
      options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--full") {
      options.fullSizePhotos = true;
    } else if (arg == "--no-other") {
      options.otherTypes = false;
    } else if (arg == "--traps") {
      options.traps = true;
    } else if (arg == "--fragments") {
      fragmented = true;
    } else if (arg == "--cluster" && hasValue) {
      const unsigned long sectors = std::strtoul(argv[++i], nullptr, 10);
      if (sectors == 0 || sectors > 1024) return Usage();
      fragmentOptions.clusterSectors = static_cast<std::uint32_t>(sectors);
    } else {
      return Usage();
    }
  }
  if (fragmented && options.traps) return Usage();
  try {
    if (fragmented) {
      if (filled) fragmentOptions.fill = options.photoFill;
      if (sized) fragmentOptions.bytes = options.bytes;
      fragmentOptions.seed = options.seed;
      options.bytes = fragmentOptions.bytes;
    }
    const auto files = fragmented ? WriteFragmentCard(argv[1], fragmentOptions)
                                  : WriteSampleCard(argv[1], options);
    int whole = 0, photos = 0, fragments = 0;
    for (const SampleFile& f : files) {
      whole += f.whole ? 1 : 0;
      photos += f.whole && f.type == "JPG" ? 1 : 0;
      fragments += f.whole ? 0 : 1;
    }
    std::printf("%s: %d files (%d photos)", argv[1], whole, photos);
    if (fragments > 0) std::printf(" and %d fragments", fragments);
    std::printf(" on %llu bytes\n", static_cast<unsigned long long>(options.bytes));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_sample_card: %s\n", error.what());
    return 1;
  }
  return 0;
}
