// SPDX-License-Identifier: GPL-3.0-or-later
// Header detection: does a sector begin a file of a type searched for?
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The file types searched for. The window keeps one of these current from its
// check boxes, so a box changed during a scan counts from the next sector on.
struct TSearchTypes {
  bool JPG = true;
  bool BMP = false;
  bool GIF = false;
  bool TIF = false;
  bool PNG = false;
  bool WAV = false;
  bool AVI = false;
  bool RIFF = false;
  bool MOV = false;
};

// True, with tag set to "JPG", "BMP", "GIF", "TIF", "PNG", "WAV", "AVI", "RIFF"
// or "MOV", when the sector begins with the header of an enabled type; false
// leaves tag as it was. Looks at no more than the first 12 bytes.
bool DetectFileType(const TSearchTypes& types, const std::uint8_t* sector, std::size_t size,
                    std::string& tag);
