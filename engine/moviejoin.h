// SPDX-License-Identifier: GPL-3.0-or-later
// Movies in two pieces. A camera writes a movie's samples first (mdat) and
// their tables last (moov), so a movie broken off by another file's header
// knows from its mdat's size where its moov must lie in the whole file. Its
// rest is looked for at the first cluster after the files in a row, then at
// the cluster boundaries after it: a candidate holds when the moov lies
// right where the mdat's size says, its tables point inside the mdat only,
// and the chunks they place after the joint are, byte for byte, where the
// tables say (each H.264/H.265 chunk's NAL unit lengths run exactly to its
// end; a motion JPEG chunk starts a JPEG). A joint is taken only when
// exactly one candidate holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "engine/fragments.h"

// A movie's first piece as carved: its length, and a way to read it.
struct TMoviePiece {
  std::uint64_t size = 0;
  std::function<bool(std::uint64_t offset, std::uint8_t* buffer, std::size_t size)> read;
};

// The rest of the movie whose first piece is given, up to its moov's end;
// nothing when its first piece is no movie that ends with its mdat cut off,
// or when no candidate or more than one holds. Reads the moov once per
// candidate that has one where it must be, and a few sectors per chunk
// checked.
std::optional<TContinuation> FindMovieRest(const TMoviePiece& first,
                                           const TContinuationSearch& search);
