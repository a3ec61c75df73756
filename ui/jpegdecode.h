// JPEG decoding for the preview, straight through libjpeg: decodes at the
// coarsest DCT scale that still covers the preview area, so a large photo takes
// milliseconds and a hostile header cannot make it allocate gigabytes.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <cstddef>
#include <cstdint>

struct TJpegPicture {
  QImage image;    // as decoded, at the chosen DCT scale (RGB32)
  QSize fullSize;  // the picture's own size, as its header gives it
};

// Decodes JPEG data for an area of the given size. False for data libjpeg
// rejects before the first picture row, and for pictures that would be too
// large to decode even at the coarsest scale; a picture that breaks off part
// way (a truncated file) is returned with what could be decoded.
bool DecodeJpegPreview(const std::uint8_t* data, std::size_t size, QSize area,
                       TJpegPicture& picture);
// The same for a file; false also when the file cannot be read.
bool DecodeJpegPreviewFile(const QString& path, QSize area, TJpegPicture& picture);
