// SPDX-License-Identifier: GPL-3.0-or-later
// The file types the user searches for: one box each on the Options tab, one
// name each for the command line. The table below is the only list of them;
// the boxes, the names and "all" are derived from it.
#pragma once

#include <array>

// The window keeps one of these current from its check boxes, so a box
// changed during a scan counts from the next sector on.
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
  // HEIF/AVIF stills, Canon CR3, Fujifilm RAF, MPEG transport streams.
  bool Other = false;
};

struct TSearchType {
  bool TSearchTypes::*flag;
  const char* name;  // on the command line: "jpg"
  const char* tag;   // the unticked scan's file tag and the box's name: chk + tag
};

inline constexpr std::array<TSearchType, 10> kSearchTypes{
    {{&TSearchTypes::JPG, "jpg", "JPG"},
     {&TSearchTypes::BMP, "bmp", "BMP"},
     {&TSearchTypes::GIF, "gif", "GIF"},
     {&TSearchTypes::TIF, "tif", "TIF"},
     {&TSearchTypes::PNG, "png", "PNG"},
     {&TSearchTypes::WAV, "wav", "WAV"},
     {&TSearchTypes::AVI, "avi", "AVI"},
     {&TSearchTypes::RIFF, "riff", "RIFF"},
     {&TSearchTypes::MOV, "mov", "MOV"},
     {&TSearchTypes::Other, "other", "Other"}}};
static_assert(sizeof(TSearchTypes) == kSearchTypes.size() * sizeof(bool),
              "every search type needs its row in kSearchTypes");

// Every type on, or every type off.
constexpr TSearchTypes AllSearchTypes(bool on = true) {
  TSearchTypes types{};
  for (const TSearchType& type : kSearchTypes) types.*type.flag = on;
  return types;
}
