// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/preview.h"

#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

#include "ui/jpegdecode.h"

bool LoadPreviewPicture(const QString& path, TPreviewPicture& picture) {
  const QString extension = QFileInfo(path).suffix().toLower();
  if (extension == QLatin1String("jpg") || extension == QLatin1String("jpeg")) {
    TJpegPicture jpeg;
    if (!DecodeJpegPreviewFile(path, kPreviewArea, jpeg)) return false;
    picture.image = std::move(jpeg.image);
    picture.fullSize = jpeg.fullSize;
    return true;
  }
  if (extension == QLatin1String("bmp")) {
    // Only the BMP reader, whatever the content looks like to other readers.
    QImageReader reader(path, "bmp");
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    QImage image;
    if (!reader.read(&image) || image.isNull()) return false;
    picture.fullSize = image.size();
    picture.image = std::move(image);
    return true;
  }
  return false;
}

QSize PreviewDrawSize(QSize picture, QSize area) {
  if (picture.width() <= 0 || picture.height() <= 0) return {0, 0};
  const double w = picture.width();
  const double h = picture.height();
  const double r = w / h;
  const double areaWidth = area.width();
  const double areaHeight = area.height();
  double width = 0;
  double height = 0;
  if (w > h) {
    width = areaWidth;
    height = areaWidth / r;
    if (static_cast<int>(height) > area.height()) {
      height = areaHeight;
      width = areaHeight * r;
    }
  } else {
    height = areaHeight;
    width = areaHeight * r;
    if (static_cast<int>(width) > area.width()) {
      width = areaWidth;
      height = areaWidth / r;
    }
  }
  return {static_cast<int>(width), static_cast<int>(height)};
}

QImage ComposePreview(const TPreviewPicture& picture, QSize area) {
  QImage canvas(area, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  const QSize drawn = PreviewDrawSize(picture.fullSize, area);
  if (drawn.isEmpty() || picture.image.isNull()) return canvas;
  QPainter painter(&canvas);
  painter.drawImage(QPoint(0, 0),
                    picture.image.scaled(drawn, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  return canvas;
}
