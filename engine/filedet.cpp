// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/filedet.h"

#include <bit>
#include <exception>

#include "engine/formats/registry.h"

bool DetectFileType(const TSearchTypes& types, const std::uint8_t* sector, std::size_t size,
                    std::string& tag) {
  try {
    if (size == 0) return false;
    // Only the formats a sector's key bytes pick are asked: a random sector
    // costs two table look-ups.
    const std::span<const TFormat* const> formats = Formats();
    for (std::uint32_t picked = CandidateFormats(sector, size); picked != 0; picked &= picked - 1) {
      const TFormat& format = *formats[static_cast<std::size_t>(std::countr_zero(picked))];
      if (format.detect == nullptr) continue;
      if (const char* found = format.detect(types, sector, size)) {
        tag = found;
        return true;
      }
    }
  } catch (const std::exception&) {
    // A failing test counts as a sector without a header; the scan goes on.
  }
  return false;
}
