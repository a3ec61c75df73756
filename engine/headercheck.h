// SPDX-License-Identifier: GPL-3.0-or-later
// Header checks: beyond the first bytes that DetectFileType compares, does a
// sector hold a header that is well formed for its type? Used when the user
// asks for checked headers and exact ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/filedet.h"

// data: the sector's first byte; available: the bytes readable from there (the
// sector and whatever follows it in the same read, at least the sector);
// bytesLeftOfVolume: bytes from the sector's first byte to the volume's end.
// Nothing past data + available is read.

// True when data begins a well-formed header of the type tag names: "JPG",
// "BMP", "GIF", "TIF" (also the TIFF-based raw files ORF and RW2), "PNG",
// "WAV", "AVI", "RIFF" (any RIFF form) or "MOV" (a "moov" first atom, or an
// "ftyp" one naming a movie brand). False for any other tag.
bool HeaderHolds(const std::string& tag, const std::uint8_t* data, std::size_t available,
                 std::uint64_t bytesLeftOfVolume);

// DetectFileType's tests in its order and with its check-box rules, each
// pattern replaced by its type's check, which also finds JPEGs whose first
// segment is not APP0 or APP1, the raw TIFF variants and "ftyp" movies. True
// with tag set as DetectFileType would; false leaves tag as it was. A sector
// that no type can start is turned away on its first byte or two.
bool DetectCheckedFileType(const TSearchTypes& types, const std::uint8_t* data,
                           std::size_t available, std::uint64_t bytesLeftOfVolume,
                           std::string& tag);
