// SPDX-License-Identifier: GPL-3.0-or-later
// Small but real camera and phone files of each kind a carver meets on a
// card of 2026: movies, HEIF stills, raws, JPEGs with more than one image,
// motion photos, long AVIs. Movies and HEIF stills come from the real
// encoders (ffmpeg, heif-enc) run in a temporary folder; the raws and the
// JPEG containers are laid out here after their published layouts, with
// libjpeg previews and pseudo-random sensor data.
//
// Every file's bytes are exactly its length: its structure ends at its last
// byte. No sector (512 bytes) inside a file but the first begins like a file
// header, unless the kind says so (ORF and RW2 previews).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CameraFile {
  std::string kind;  // "mp4", "cr2", "jpg-mpf", ... one per kind
  std::string ext;   // the real extension, upper case: "MP4", "CR2", "JPG"
  std::vector<std::uint8_t> bytes;
  std::string note;  // how it was made and what it holds
};

// The kinds in a fixed order.
std::vector<std::string> CameraFileKinds();

// One kind, or nothing when its encoder is missing (*whyNot then says which).
// Encoder outputs are made once per process and are the same for the same
// tools. With handBuiltFallback, a movie whose encoder is missing is laid out
// here instead (note says so): for the trap card, which must build anywhere.
std::optional<CameraFile> MakeCameraFile(const std::string& kind, std::string* whyNot = nullptr,
                                         bool handBuiltFallback = false);

// Every kind that can be made; the others' reasons go to *skipped.
std::vector<CameraFile> CameraFiles(std::vector<std::string>* skipped = nullptr);

// A movie (moov first) whose mdat claims `extra` bytes more than the file holds,
// as a recording cut off after its sizes were written.
std::optional<CameraFile> MdatLyingMovie(std::uint32_t extra);

// A longer H.264 MP4 (moov after mdat) of a few hundred kilobytes, for
// movies in pieces; nothing without ffmpeg and libx264.
std::optional<std::vector<std::uint8_t>> LongMovie(std::uint32_t seed);

// Whether a program is on the PATH.
bool HaveTool(const std::string& name);
