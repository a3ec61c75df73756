// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/filedet.h"

#include <array>
#include <exception>

#include "engine/signature.h"

namespace {

bool IsJpeg(const std::uint8_t* s) {
  return s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF && (s[3] == 0xE0 || s[3] == 0xE1);
}

bool IsGif(const std::uint8_t* s) {
  return s[0] == 'G' && s[1] == 'I' && s[2] == 'F' && s[3] == '8' && (s[4] == '9' || s[4] == '7') &&
         s[5] == 'a';
}

bool IsPng(const std::uint8_t* s) {
  static constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (std::size_t i = 0; i < sizeof kPng; ++i) {
    if (s[i] != kPng[i]) return false;
  }
  return true;
}

// First bytes that can begin tests 1 to 6.
constexpr auto kHeaderStart = [] {
  std::array<bool, 256> starts{};
  for (int c : {0xFF, int{'B'}, int{'G'}, int{'I'}, int{'M'}, 0x89, int{'R'}}) starts[c] = true;
  return starts;
}();

bool Found(std::string& tag, const char* type) {
  tag = type;
  return true;
}

}  // namespace

bool DetectFileType(const TSearchTypes& types, const std::uint8_t* sector, std::size_t size,
                    std::string& tag) {
  try {
    if (size == 0) return false;
    // Tests 1 to 6 begin with six different first bytes, so at most one of them
    // can match a sector: one jump on that byte keeps their order's answer and
    // costs a random sector a single comparison. Each test names the bytes it
    // needs; a sector shorter than that cannot hold the pattern.
    if (kHeaderStart[sector[0]]) switch (sector[0]) {
        case 0xFF:
          if (types.JPG && size >= 4 && IsJpeg(sector)) return Found(tag, "JPG");
          break;
        case 'B':
          if (types.BMP && size >= 2 && sector[1] == 'M') return Found(tag, "BMP");
          break;
        case 'G':
          if (types.GIF && size >= 6 && IsGif(sector)) return Found(tag, "GIF");
          break;
        case 'I':
        case 'M':
          if (types.TIF && size >= 2 && sector[1] == sector[0]) return Found(tag, "TIF");
          break;
        case 0x89:
          if (types.PNG && size >= 8 && IsPng(sector)) return Found(tag, "PNG");
          break;
        case 'R':
          if (size >= 12 && MatchSignature(sector, kRiffSignature)) {
            if (types.WAV && MatchSignature(sector + 8, kWaveSignature)) return Found(tag, "WAV");
            if (types.AVI && MatchSignature(sector + 8, kAviSignature)) return Found(tag, "AVI");
            if (types.RIFF) return Found(tag, "RIFF");
          }
          break;
        default:
          break;
      }
    if (types.MOV && size >= 8 && MatchSignature(sector + 4, kQuickTimeSignature)) {
      return Found(tag, "MOV");
    }
  } catch (const std::exception&) {
    // A failing test counts as a sector without a header; the scan goes on.
  }
  return false;
}
