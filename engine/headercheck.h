// SPDX-License-Identifier: GPL-3.0-or-later
// Header checks: beyond the first bytes that DetectFileType compares, does a
// sector hold a header that is well formed for its type? Used when the user
// asks for checked headers and exact ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/endfinder.h"
#include "engine/formats/format.h"
#include "engine/searchtypes.h"

// data: the sector's first byte; available: the bytes readable from there
// (at least kCheckWindow, or what is left of the volume); bytesLeftOfVolume:
// bytes from the sector's first byte to the volume's end. Nothing past
// data + available is read.

// A header found: its format and its file's real extension.
struct TFoundHeader {
  const TFormat* format = nullptr;
  const char* ext = nullptr;
  explicit operator bool() const { return format != nullptr; }
};

// The formats' checks in the scan's order, each asked only when the sector's
// first byte can begin it.
TFoundHeader CheckHeader(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                         std::uint64_t bytesLeftOfVolume);

// The same, with the extension as tag; false leaves tag as it was.
bool DetectCheckedFileType(const TSearchTypes& types, const std::uint8_t* data,
                           std::size_t available, std::uint64_t bytesLeftOfVolume,
                           std::string& tag);

// Whether data begins a well-formed header of the type whose box is tag
// ("JPG", "TIF", "RIFF", ... as in kSearchTypes), with only that box ticked.
bool HeaderHolds(const std::string& tag, const std::uint8_t* data, std::size_t available,
                 std::uint64_t bytesLeftOfVolume);

// The end finder of a file that begins with the header found; nullptr when
// its format tells no end.
std::unique_ptr<TEndFinder> MakeEndFinder(const TFoundHeader& found,
                                          std::uint64_t bytesLeftOfVolume, TVolumeBytes* volume);
