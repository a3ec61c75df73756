// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/drivepanel.h"

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
