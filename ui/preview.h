// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures for the preview: which files can be drawn, how they are loaded, and
// the size they are drawn at in the preview area.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// The preview area's size.
inline constexpr QSize kPreviewArea{193, 129};

// Files from this size on are not drawn.
inline constexpr qint64 kPreviewSizeLimit = 1600000;

struct TPreviewPicture {
  QImage image;    // may be smaller than the picture (decoded at a reduced scale)
  QSize fullSize;  // the picture's own size
};

// Loads a picture by the file's extension, letter case ignored: JPEG through
// libjpeg, Windows bitmaps through Qt's BMP reader; every other kind has no
// decoder. False when there is no decoder or the decoder rejects the content.
bool LoadPreviewPicture(const QString& path, TPreviewPicture& picture);

// The largest size that fits the area with the aspect ratio kept, truncated to
// whole pixels.
QSize PreviewDrawSize(QSize picture, QSize area);

// The area's image: the picture scaled to its drawn size at the top-left
// corner, the rest transparent.
QImage ComposePreview(const TPreviewPicture& picture, QSize area);
