// SPDX-License-Identifier: GPL-3.0-or-later
// The destination folder, checked when Start is pressed, before the drive is
// read: a scan into a folder that is missing or cannot be written would only
// fail at its first file, perhaps long into the card.
#pragma once

#include <QString>

class QWidget;

// A missing folder is offered to be made ("&Ja" makes it with its parents);
// one that cannot be written is said so, with the system's reason. True when
// the scan may go on. An empty text is left to the scan, which says so.
bool DestinationReady(QWidget* parent, const QString& destination);
