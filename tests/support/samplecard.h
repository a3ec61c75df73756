// SPDX-License-Identifier: GPL-3.0-or-later
// A sample memory card: a raw image with photos (JFIF and Exif, encoded by
// libjpeg) and one file of each other type, each at a sector boundary, with
// free space between some, and a manifest of what lies where.
//
// The trap card (SampleCardOptions::traps) is laid out as real cards fool a
// carver that trusts a sector's first bytes and cuts at the next header:
// Exif photos holding thumbnails (one starting at a sector boundary), photos
// with a sector of compressed data that begins "BM", "II" or "MM", photos
// that begin FF D8 FF DB, an MJPEG AVI with a frame at a sector boundary,
// movies whose first atom is "ftyp" (an MP4 with moov before mdat, a camera
// MOV with moov last), a HEIC still, middles of old photos in free space,
// and an empty eighth of the card after the last photo. With cameraFiles, the
// camera and phone files of camerafiles.h too, typed by their real extension:
// HEIC, AVIF, CR3, RAF, MTS, TS, MP4, MOV, M4V, 3GP, the TIFF raws (CR2, NEF,
// DNG, ORF, RW2, ARW, PEF, SRW), an OpenDML AVI, motion photos, an MPF JPEG,
// JPEGs with fill bytes, and an MP4 whose mdat claims the photo behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SampleFile {
  std::string type;  // "JPG", "BMP", "GIF", "PNG", "TIF", "WAV", "AVI", "RIFF", "MOV"
  std::uint32_t firstSector = 0;
  std::uint64_t size = 0;
  std::string sha256;
  bool whole = true;  // false: a fragment of an old file, nothing to find
  // What the file is there to test ("" for an ordinary file): "thumbnail",
  // "thumbnail-at-sector", "false-header", "no-app", "frame-at-sector",
  // "ftyp", "ftyp-moov-last", "still-ftyp", "fragment"; with camera files
  // "preview-at-sector" (an ORF or RW2 whose JPEG preview starts a sector),
  // "mdat-lies" (its mdat claims the whole photo placed right behind it),
  // "motion-photo", "motion-photo-samsung", "mpf", "opendml" (an AVI running
  // on past its first RIFF), "fill-bytes" or "fill-before-eoi".
  std::string trap;
};

struct SampleCardOptions {
  std::uint64_t bytes = 32ull << 20;  // card size, a multiple of 512
  double photoFill = 0.6;             // share of the card taken by photos
  bool fullSizePhotos = false;        // a few MB each; else small, for fast tests
  bool otherTypes = true;             // one BMP, GIF, PNG, TIF, WAV, AVI, RIFF and MOV
  bool traps = false;                 // the trap card; its trap files come regardless
  bool cameraFiles = true;            // on the trap card, the camera files too
  std::uint32_t seed = 1;
};

// Writes the image and imagePath + ".manifest" (a line per file: type,
// first sector, size, SHA-256, whole 1/0, trap or "-"); throws
// std::runtime_error. Manifests without the last two columns read as whole.
std::vector<SampleFile> WriteSampleCard(const std::string& imagePath,
                                        const SampleCardOptions& options);
std::vector<SampleFile> ReadManifest(const std::string& manifestPath);

// How EncodeJpeg lays out the coefficients: one sequential scan; libjpeg's
// usual progressive script (10 scans); or progressive with every coefficient of
// each of the 3 components sent bit by bit, one scan per bit (2112 scans, the
// most a valid script allows), as a hostile file would.
enum class JpegScans { Baseline, Progressive, EveryBit };

// restartInterval: MCUs between restart markers, 0 for none.
std::vector<std::uint8_t> EncodeJpeg(int width, int height, bool exif, std::uint32_t seed,
                                     int quality = 90, JpegScans scans = JpegScans::Baseline,
                                     unsigned restartInterval = 0);

// The card's sample file of a type other than "JPG", as WriteSampleCard lays it.
std::vector<std::uint8_t> SampleFileBytes(const std::string& type, std::uint32_t seed = 1);

// Whether a sector starting here would be taken for a file header of any type.
bool LooksLikeHeader(const std::uint8_t* sector);
