// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/drivepanel.h"

#include <QFileInfo>
#include <QStringList>
#include <cmath>

#include "diskio/platform.h"

namespace {

// Two decimals of numerator / divisor, rounded half up as the fixed-point
// formatting of the user's locale does. Kilobytes and the divisors are exact in
// a double, so this is exact too.
QString TwoDecimals(double numerator, double divisor, QChar separator) {
  const auto cents = static_cast<std::int64_t>(std::floor(numerator * 100.0 / divisor + 0.5));
  return QStringLiteral("%1%2%3")
      .arg(cents / 100)
      .arg(separator)
      .arg(cents % 100, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString CapacityText(std::uint32_t totalSectors, std::uint32_t bytesPerSector, QChar separator) {
  // Extended precision holds the product exactly; ties go to the even neighbour.
  const long double exact = static_cast<long double>(totalSectors) / 1024 * bytesPerSector;
  const double kilobytes = static_cast<double>(static_cast<std::int64_t>(std::nearbyintl(exact)));
  if (kilobytes < 1024) return TwoDecimals(kilobytes, 1, separator) + QStringLiteral(" KB");
  if (kilobytes < 1048576) return TwoDecimals(kilobytes, 1024, separator) + QStringLiteral(" MB");
  return TwoDecimals(kilobytes, 1048576, separator) + QStringLiteral(" GB");
}

QString MediaText(unsigned driveType) {
  switch (driveType) {
    case DRIVE_REMOVABLE:
      return QStringLiteral("Removable");
    case DRIVE_FIXED:
      return QStringLiteral("Fixed");
    case DRIVE_REMOTE:
      return QStringLiteral("Remote");
    case DRIVE_CDROM:
      return QStringLiteral("CD-ROM");
    case DRIVE_RAMDISK:
      return QStringLiteral("RAMdisk");
    default:
      return QString();
  }
}

QString BusText(TDriveBus bus) {
  switch (bus) {
    case TDriveBus::kSdSlot:
      return QStringLiteral("SD card slot");
    case TDriveBus::kUsb:
      return QStringLiteral("USB");
    case TDriveBus::kNvme:
      return QStringLiteral("NVMe");
    case TDriveBus::kSata:
      return QStringLiteral("SATA");
    case TDriveBus::kLoop:
      return QStringLiteral("loop device");
    case TDriveBus::kVirtual:
      return QStringLiteral("virtual disk");
    case TDriveBus::kImage:
      return QStringLiteral("image file");
    case TDriveBus::kUnknown:
      break;
  }
  return QString();
}

QString DeviceText(const DriveDescription& description) {
  const QString path = QString::fromStdString(description.path);
  if (path.isEmpty()) return QString();
  // An image is known by its name; the folder comes last, where the panel
  // may cut it short.
  if (description.bus == TDriveBus::kImage) {
    const QFileInfo file(path);
    return QStringLiteral("%1 - %2 in %3")
        .arg(file.fileName(), BusText(description.bus), file.path());
  }
  QStringList parts{path};
  for (const QString& part :
       {BusText(description.bus), QString::fromStdString(description.model)}) {
    if (!part.isEmpty()) parts << part;
  }
  return parts.join(QStringLiteral(" - "));
}
