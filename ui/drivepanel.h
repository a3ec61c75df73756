// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the drive panel.
#pragma once

#include <QChar>
#include <QString>
#include <cstdint>

#include "diskio/platform.h"

// "500.00 KB", "1.41 MB", "1.91 GB": two decimals with the given separator.
QString CapacityText(std::uint32_t totalSectors, std::uint32_t bytesPerSector,
                     QChar decimalSeparator);

// The media label for a drive kind; empty for unknown kinds and missing roots.
QString MediaText(unsigned driveType);

// What a drive hangs on, in words: "SD card slot", "USB"; empty when unknown.
QString BusText(TDriveBus bus);

// Which drive this is, on one line, for the drive list's tooltip and the
// panel alike: "/dev/mmcblk0 - SD card slot - SD32G", "/dev/sdb - USB - Cruzer
// Blade", "card.img - image file in /home/ann/cards". Empty without a path.
QString DeviceText(const DriveDescription& description);
