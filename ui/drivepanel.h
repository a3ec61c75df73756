// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the drive panel.
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>

// "500.00 KB", "1.41 MB", "1.91 GB": two decimals with the given separator.
QString CapacityText(std::uint32_t totalSectors, std::uint32_t bytesPerSector,
                     QChar decimalSeparator);

// The media label for a drive kind; empty for unknown kinds and missing roots.
QString MediaText(unsigned driveType);
