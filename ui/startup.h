// SPDX-License-Identifier: GPL-3.0-or-later
// Application-wide set-up shared by the program and its window tests.
#pragma once

#include <QFont>
#include <QString>

class QApplication;
class QWidget;

// Title, style and font (Tahoma 8 pt where the machine has it, else the
// system's sans at the same 11-pixel height).
void SetUpApplication(QApplication& app);

// Centres a top-level window on its screen.
void CentreOnScreen(QWidget& window);

// The folder of the program's own executable, without a trailing "/".
QString ProgramFolder();
// Stands another folder in for it (tests); an empty one brings back the real.
void SetProgramFolder(const QString& folder);

// The bold face of a font as it should look: for a face whose bold outlines
// are no heavier than its regular ones, drawn from its bold bitmap strikes.
QFont BoldFont(QFont font);
