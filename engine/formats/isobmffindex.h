// SPDX-License-Identifier: GPL-3.0-or-later
// The index of an ISO media file: where a movie's sample tables (moov) or a
// still's item locations (meta/iloc) say its data lies. The end finder holds
// a file's last mdat against it, so a size field is never taken on its word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

// A movie chunk's place in its file, and how its samples can be checked:
// by NAL unit lengths (H.264/H.265 as MP4 stores them: each unit after its
// 4-byte length) or by a JPEG's start (motion JPEG); neither for others.
struct TMediaChunk {
  enum class TKind { kOther, kNalUnits, kJpeg };
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
  TKind kind = TKind::kOther;
};

struct TMediaIndex {
  bool holds = true;  // every table read made sense
  bool any = false;   // some data is pointed at
  std::uint64_t lowest = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t furthest = 0;

  // Where given, every movie chunk read is added to it.
  std::vector<TMediaChunk>* chunks = nullptr;

  // Data of length bytes at a file offset; false when it cannot lie in a file.
  bool Add(std::uint64_t offset, std::uint64_t length);
};

// A moov's body (what follows its header): false when its boxes do not tile
// it or a sample table contradicts itself. Reads nothing outside the body.
bool ReadMovieIndex(const std::uint8_t* body, std::size_t size, TMediaIndex& index);

// The same for a still's meta box (a full box: version and flags first).
bool ReadStillIndex(const std::uint8_t* body, std::size_t size, TMediaIndex& index);
