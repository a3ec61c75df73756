// SPDX-License-Identifier: GPL-3.0-or-later
// What the plain sample card and the trap card share: byte writers, the one
// file of each other type, photos made unique per copy, and the manifest.
// Internal to the sample card's two files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/samplecard.h"

constexpr std::size_t kSector = 512;
using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t Mix(std::uint32_t x) {
  x ^= x >> 16, x *= 0x7feb352d, x ^= x >> 15, x *= 0x846ca68b, x ^= x >> 16;
  return x;
}

// Pseudo-random bytes standing for compressed video or image data.
inline Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) {
    b[i] = static_cast<std::uint8_t>(Mix(seed * 0x9E3779B9u + static_cast<std::uint32_t>(i / 4)) >>
                                     (i % 4 * 8));
  }
  return b;
}

inline void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v)), b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF), Put16(b, v >> 16);
}
inline void Put16Be(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8)), b.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32Be(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void Text(Bytes& b, const char* text) {
  b.insert(b.end(), text, text + std::strlen(text));
}

// A RIFF file: the form type and its chunks, already laid out.
inline void Append(Bytes& b, const Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
}

// An ISO media box (atom): size, type, body.
inline Bytes Atom(const char* type, const Bytes& body) {
  Bytes b;
  Put32Be(b, static_cast<std::uint32_t>(8 + body.size()));
  Text(b, type);
  Append(b, body);
  return b;
}

inline Bytes Riff(const char* form, const Bytes& body) {
  Bytes b;
  Text(b, "RIFF");
  Put32(b, static_cast<std::uint32_t>(4 + body.size()));
  Text(b, form);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}
inline void Chunk(Bytes& b, const char* id, const Bytes& data) {
  Text(b, id);
  Put32(b, static_cast<std::uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() % 2) b.push_back(0);
}

inline std::uint64_t SectorsFor(std::uint64_t size) {
  return (size + kSector - 1) / kSector;
}

// The one BMP, GIF, PNG, TIF, WAV, AVI, other RIFF and MOV file, by type tag.
std::vector<std::pair<std::string, Bytes>> OtherFiles(std::uint32_t seed);

// Offsets of the sectors after the first that would be taken for a header.
std::vector<std::size_t> HeaderSectors(const Bytes& file);

// A JPEG with a JFIF header or none (FF D8 FF DB...), and an APP1 segment
// holding app1 when given, written first after SOI.
Bytes EncodeJpegWith(int width, int height, bool jfif, const Bytes* app1, std::uint32_t seed,
                     int quality = 90, JpegScans scans = JpegScans::Baseline,
                     unsigned restartInterval = 0);

// A photo and the comment segment that makes each placed copy unique.
struct Photo {
  Bytes bytes;
  std::size_t commentAt = 0;  // offset of the 16 unique bytes
};

// Puts a comment after the first segment: 16 bytes changed per copy, then
// `padding` blanks. Returns the offset of the 16 bytes.
std::size_t InsertComment(Bytes& jpeg, std::size_t padding = 0);
void StampCopy(Photo& photo, int copy);

void WriteManifest(const std::string& path, const std::vector<SampleFile>& files);

// Ends a card image: the rest up to its size is free space (left sparse),
// then the manifest beside it. Throws std::runtime_error.
void FinishCard(std::ofstream& out, std::uint64_t bytes, const std::string& imagePath,
                const std::vector<SampleFile>& files);

std::vector<SampleFile> WriteTrapCard(const std::string& imagePath,
                                      const SampleCardOptions& options);
