// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/startup.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QIcon>
#include <QScreen>
#include <QStyleFactory>
#include <QWidget>

namespace {

// Debian's fonts-wine ships a Tahoma-compatible face outside fontconfig's path.
const char* const kTahomaFiles[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                    "/usr/share/wine/fonts/tahomabd.ttf"};

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
