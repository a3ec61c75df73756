// SPDX-License-Identifier: GPL-3.0-or-later
// The Help tab's page of usage notes, and the opener through which it asks the
// desktop to show the help file.
#pragma once

#include <QString>
#include <functional>

class QWidget;

// The white panel with its texts, placed in the tab's frame.
QWidget* BuildHelpPanel(QWidget* frame);

// Hands a file to the desktop's opener (the program associated with its
// type); the outcome is not looked at. Tests put their own opener in.
using TDocumentOpener = std::function<void(const QString& path)>;
void OpenDocument(const QString& path);
// Installs an opener; an empty one brings back the desktop's.
void SetDocumentOpener(TDocumentOpener opener);
