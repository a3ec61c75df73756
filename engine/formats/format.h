// SPDX-License-Identifier: GPL-3.0-or-later
// What a file format knows, in one place: the first bytes its header can
// begin with, the unticked scan's test, the header check and the end finder
// of the checked scan. Each format lives in one file of engine/formats and
// has one row in the registry (registry.cpp); the scan knows formats only
// through the registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/endfinder.h"
#include "engine/searchtypes.h"

// The unticked scan's test of one sector, by the sector's first bytes alone:
// the tag of the file it begins ("JPG"), or nullptr. size is at least one
// byte; a test reads no more than it is given.
using TDetect = const char* (*)(const TSearchTypes& types, const std::uint8_t* sector,
                                std::size_t size);

// The checked scan's test: does a well-formed header of an enabled type begin
// at data? Its file's real extension ("JPG", "CR2", "MP4"), or nullptr.
// available: the bytes readable from data (at least kCheckWindow, or all that
// is left of the volume when that is less, so the answer never depends on how
// many sectors the scan reads at once); bytesLeft: from data to the volume's
// end. Nothing past data + available is read.
using TCheck = const char* (*)(const TSearchTypes& types, const std::uint8_t* data,
                               std::size_t available, std::uint64_t bytesLeft);

// The end finder of a file whose check gave ext; nullptr when the format
// tells no end (the file then runs to the next header).
using TMakeFinder = std::unique_ptr<TEndFinder> (*)(std::string_view ext, std::uint64_t bytesLeft,
                                                    TVolumeBytes* volume);

// Whether a sector's first bytes can begin this format's header at all,
// whatever the boxes say: a cheap look at one sector (size bytes, at least
// 512), so that only such sectors make the checked scan read on past its
// chunk for the check's window.
using TMagic = bool (*)(const std::uint8_t* sector, std::size_t size);

struct TFormat {
  const char* name;  // "jpeg", for tests and messages
  // The byte of a sector that picks this format's tests (0, or 4 for the
  // movies' "moov"/"ftyp" and the packets after a time code), and the values
  // it can have there: a sector is tested only by the formats its byte
  // picks, so a random sector costs two table look-ups.
  std::uint8_t keyOffset;
  std::string_view keyBytes;
  TDetect detect;  // nullptr: the unticked scan does not know the format
  TMagic magic;
  TCheck check;
  TMakeFinder finder;
};

// The bytes a header check may look at, when the volume holds that many.
inline constexpr std::size_t kCheckWindow = 64 * 1024;
