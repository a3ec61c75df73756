// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/startup.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QStyleFactory>
#include <QWidget>

namespace {

// Debian's fonts-wine ships a Tahoma-compatible face outside fontconfig's path.
const char* const kTahomaFiles[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                    "/usr/share/wine/fonts/tahomabd.ttf"};

QString& ProgramFolderOverride() {
  static QString folder;
  return folder;
}

// How much ink a line of text in this font puts on paper.
qint64 Ink(const QFont& font) {
  const QString sample = QStringLiteral("How to use the system requirements");
  const QFontMetrics metrics(font);
  QImage image(metrics.horizontalAdvance(sample) + 4, metrics.height() + 4,
               QImage::Format_Grayscale8);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::black);
  painter.drawText(2, 2 + metrics.ascent(), sample);
  painter.end();
  qint64 ink = 0;
  for (int y = 0; y < image.height(); ++y) {
    const uchar* line = image.constScanLine(y);
    for (int x = 0; x < image.width(); ++x) ink += 255 - line[x];
  }
  return ink;
}

}  // namespace

void SetUpApplication(QApplication& app) {
  QApplication::setApplicationName(QStringLiteral("Fernhollow"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/fernhollow.png")));
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(fusion);

  for (const char* file : kTahomaFiles) QFontDatabase::addApplicationFont(QString::fromUtf8(file));
  QFont font(QStringLiteral("Tahoma"));
  if (!QFontInfo(font).exactMatch()) font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(11);
  QApplication::setFont(font);
}

void CentreOnScreen(QWidget& window) {
  if (const QScreen* screen = window.screen()) {
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
  }
}

QString ProgramFolder() {
  const QString& folder = ProgramFolderOverride();
  return folder.isEmpty() ? QApplication::applicationDirPath() : folder;
}

void SetProgramFolder(const QString& folder) {
  ProgramFolderOverride() = folder;
}

QFont BoldFont(QFont font) {
  QFont regular = font;
  regular.setBold(false);
  font.setBold(true);
  // fonts-wine's Tahoma Bold has the regular outlines, only wider spaced; its
  // bold look lives in its bitmap strikes (9 to 16 pixels), which the toolkit
  // draws only without antialiasing, with the hinted advances that go with them.
  if (Ink(font) * 10 < Ink(regular) * 12) {
    font.setStyleStrategy(QFont::NoAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
  }
  return font;
}
