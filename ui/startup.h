// SPDX-License-Identifier: GPL-3.0-or-later
// Application-wide set-up shared by the program and its window tests.
#pragma once

class QApplication;
class QWidget;

// Title, style and font (Tahoma 8 pt where the machine has it, else the
// system's sans at the same 11-pixel height).
void SetUpApplication(QApplication& app);

// Centres a top-level window on its screen.
void CentreOnScreen(QWidget& window);
