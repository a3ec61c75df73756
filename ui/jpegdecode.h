// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG decoding for the preview, straight through libjpeg: decodes at the
// coarsest DCT scale that still covers the preview area, so a large photo takes
// milliseconds and a hostile header cannot make it allocate gigabytes.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>

struct TJpegPicture {
  QImage image;    // as decoded, at the chosen DCT scale (RGB32)
  QSize fullSize;  // the picture's own size, as its header gives it
};

// Bounds on the work of one decode. A progressive file may hold thousands of
// scans, each a pass of libjpeg over the whole picture, so a file of a megabyte
// can take minutes. Cameras write one scan and progressive encoders about ten,
// so 500 refuses no photo; the time bounds files with fewer but costlier scans
// (a 12-megapixel photo takes about 20 ms, its progressive form about 80).
struct TJpegLimits {
  int maxScans = 500;
  std::chrono::steady_clock::duration maxTime = std::chrono::seconds(2);
  // The clock the time is measured on; null for the steady clock.
  std::chrono::steady_clock::time_point (*now)() = nullptr;
};

// Decodes JPEG data for an area of the given size. False for data libjpeg
// rejects before the first picture row, for pictures that would be too large
// to decode even at the coarsest scale, and for pictures that need more scans
// or time than the limits allow; a picture that breaks off part way (a
// truncated file) is returned with what could be decoded.
bool DecodeJpegPreview(const std::uint8_t* data, std::size_t size, QSize area,
                       TJpegPicture& picture, const TJpegLimits& limits = {});
// The same for a file; false also when the file cannot be read.
bool DecodeJpegPreviewFile(const QString& path, QSize area, TJpegPicture& picture);
