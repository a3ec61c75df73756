#include "ui/startup.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QIcon>
#include <QStyleFactory>

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
