// SPDX-License-Identifier: GPL-3.0-or-later
// Header detection: does a sector begin a file of a type searched for?
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/searchtypes.h"

// True, with tag set to "JPG", "BMP", "GIF", "TIF", "PNG", "WAV", "AVI", "RIFF"
// or "MOV" (and, for the other camera files, "HEIC", "AVIF", "CR3", "RAF",
// "MTS" or "TS"), when the sector begins with the header of an enabled type;
// false leaves tag as it was. Looks at no more than the first 12 bytes (the
// transport streams at their first three packets).
bool DetectFileType(const TSearchTypes& types, const std::uint8_t* sector, std::size_t size,
                    std::string& tag);
