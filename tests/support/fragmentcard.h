// SPDX-License-Identifier: GPL-3.0-or-later
// The fragmented card: a card as a camera's file system leaves it after
// deletions, where a new file takes the first free clusters and so may lie in
// pieces around other files, old data or empty space. Every file starts on a
// cluster boundary; a split file's later pieces do too. Photos are libjpeg
// encodes (baseline and progressive, with and without restart markers), of
// 50 to 400 KB so that each spans several clusters, with ordinary whole
// photos between the split ones.
//
// The split photos, by trap:
//   "split-around-photo"     piece 1, another photo whole, piece 2 right after it;
//   "split-around-old-data"  piece 1, clusters from the middle of an old photo of
//                            the same kind (no header in them), piece 2;
//   "split-across-empty"     piece 1, a few clusters of zeros, piece 2;
//   "three-pieces"           piece 1, a photo, piece 2, a photo, piece 3;
//   "interleaved"            two photos A and B as A1 B1 A2 B2 (both so marked);
//   "overwritten"            piece 1, then a photo written over the rest: whole
//                            is 0 and its first piece is all a carver can give back;
//   "split-after-gap"        piece 1, a few whole photos, piece 2.
// The old data is listed too, whole 0, trap "fragment". Everything else is an
// ordinary whole photo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/samplecard.h"

struct TFragmentCardOptions {
  std::uint64_t bytes = 64ull << 20;  // card size, a multiple of the cluster size
  std::uint32_t clusterSectors = 64;  // 32 KiB clusters, as cameras format SD cards
  double fill = 0.85;                 // share of the card taken by files; the rest is empty
  std::uint32_t seed = 1;
};

// Where one piece of a file lies: its first sector and its length in bytes.
struct FilePiece {
  std::uint32_t sector = 0;
  std::uint64_t bytes = 0;
};

// Writes the image, imagePath + ".manifest" (as WriteSampleCard: the size
// and SHA-256 are the whole original's, firstSector its first piece's) and
// imagePath + ".pieces": a line per manifest line, in its order, of type,
// first sector, size, trap or "-", then each piece on the card as
// SECTOR+BYTES. An overwritten file's pieces add up to less than its size.
// Returns the manifest's files; throws std::runtime_error, also when the card
// is too small for every layout.
std::vector<SampleFile> WriteFragmentCard(const std::string& imagePath,
                                          const TFragmentCardOptions& options);

// The pieces of each file of a ".pieces" file, in the manifest's order.
std::vector<std::vector<FilePiece>> ReadPieces(const std::string& piecesPath);
