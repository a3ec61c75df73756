// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/headercheck.h"

#include <bit>
#include <exception>

#include "engine/formats/registry.h"

TFoundHeader CheckHeader(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                         std::uint64_t bytesLeftOfVolume) {
  try {
    if (available == 0) return {};
    const std::span<const TFormat* const> formats = Formats();
    for (std::uint32_t picked = CandidateFormats(data, available); picked != 0;
         picked &= picked - 1) {
      const TFormat* format = formats[static_cast<std::size_t>(std::countr_zero(picked))];
      if (const char* ext = format->check(types, data, available, bytesLeftOfVolume)) {
        return {format, ext};
      }
    }
  } catch (const std::exception&) {
    // A failing check counts as a sector without a header; the scan goes on.
  }
  return {};
}

bool DetectCheckedFileType(const TSearchTypes& types, const std::uint8_t* data,
                           std::size_t available, std::uint64_t bytesLeftOfVolume,
                           std::string& tag) {
  const TFoundHeader found = CheckHeader(types, data, available, bytesLeftOfVolume);
  if (found) tag = found.ext;
  return static_cast<bool>(found);
}

bool HeaderHolds(const std::string& tag, const std::uint8_t* data, std::size_t available,
                 std::uint64_t bytesLeftOfVolume) {
  TSearchTypes only = AllSearchTypes(false);
  bool known = false;
  for (const TSearchType& type : kSearchTypes) {
    if (tag == type.tag) only.*type.flag = known = true;
  }
  return known && CheckHeader(only, data, available, bytesLeftOfVolume);
}

std::unique_ptr<TEndFinder> MakeEndFinder(const TFoundHeader& found,
                                          std::uint64_t bytesLeftOfVolume, TVolumeBytes* volume) {
  if (!found || found.format->finder == nullptr) return nullptr;
  return found.format->finder(found.ext, bytesLeftOfVolume, volume);
}
